#include "python/objects/types.h"

#include <algorithm>

#include "base/panic.h"
#include "base/sat.h"
#include "python/front/definitions.h"
#include "python/objects/mro.h"

namespace tw::py {

namespace {

constexpr std::uint16_t code(DunderSlot s, std::uint8_t arity) { return std::uint16_t(std::uint16_t(arity) << 8 | std::uint8_t(s)); }
constexpr std::uint8_t kAny = 255;

constexpr std::array<std::string_view, kBuiltinTypeCount> kBuiltinNames = {
    "object", "type", "NoneType", "ellipsis", "NotImplementedType", "bool", "int", "float", "str", "bytes",
    "bytearray", "list", "tuple", "dict", "set", "frozenset", "range", "function", "module", "iterator",
    "generator", "BaseException", "native", "re.Pattern", "re.Match", "tarnwick.stream",
    "tarnwick.environment", "tarnwick.namespace_dict", "dict_keys", "dict_values", "dict_items",
    "mappingproxy", "argparse.ArgumentParser", "pytest.raises", "property", "numpy.ndarray", "complex",
    "slice", "GenericAlias", "enum.Enum", "unittest.TestCase", "staticmethod", "classmethod",
};

// The slots whose native method rows become NativeMethod slot entries.
constexpr DunderSlot kMethodSlots[] = {DunderSlot::Call,   DunderSlot::New,    DunderSlot::Init,
                                       DunderSlot::Iter,   DunderSlot::Next,   DunderSlot::Format,
                                       DunderSlot::ClassGetItem, DunderSlot::InitSubclass};

PyResult<Value> dict_getter_stub(NativeRuntime&, Value) {
    return fail(PyError::unsupported("__dict__ of this object is not implemented"));
}

// The `__dict__` property that BaseException gets (owner `object`, the getter shared with
// type.__dict__ and module.__dict__).
const NativeProperty kObjectDictProperty{"object", "__dict__", dict_getter_stub};

PyResult<Value> os_error_attribute_stub(NativeRuntime&, Value) {
    return fail(PyError::unsupported("OSError attributes are not implemented"));
}

// The attributes an OSError reads from its arguments.
const NativeProperty kOsErrorProperties[] = {
    {"OSError", "errno", os_error_attribute_stub},
    {"OSError", "strerror", os_error_attribute_stub},
    {"OSError", "filename", os_error_attribute_stub},
    {"OSError", "filename2", os_error_attribute_stub},
};

}  // namespace

#define S(name, slot, arity) DunderSlotRow{name, code(DunderSlot::slot, arity)}
const std::array<DunderSlotRow, kDunderSlotCount> kDunderSlots = {{
    S("__call__", Call, kAny), S("__new__", New, kAny), S("__init__", Init, kAny),
    S("__getattribute__", GetAttribute, 1), S("__setattr__", SetAttribute, 2), S("__repr__", Repr, 0),
    S("__str__", String, 0), S("__bool__", Bool, 0), S("__hash__", Hash, 0), S("__iter__", Iter, 0),
    S("__next__", Next, 0), S("__len__", Length, 0), S("__getitem__", GetItem, 1),
    S("__setitem__", SetItem, 2), S("__pos__", Positive, 0), S("__neg__", Negative, 0),
    S("__invert__", Invert, 0), S("__abs__", Absolute, 0), S("__add__", Add, 1),
    S("__radd__", ReflectedAdd, 1), S("__sub__", Subtract, 1), S("__rsub__", ReflectedSubtract, 1),
    S("__mul__", Multiply, 1), S("__rmul__", ReflectedMultiply, 1), S("__matmul__", MatrixMultiply, 1),
    S("__rmatmul__", ReflectedMatrixMultiply, 1), S("__pow__", Power, 1), S("__rpow__", ReflectedPower, 1),
    S("__truediv__", Divide, 1), S("__rtruediv__", ReflectedDivide, 1), S("__floordiv__", FloorDivide, 1),
    S("__rfloordiv__", ReflectedFloorDivide, 1), S("__mod__", Remainder, 1),
    S("__rmod__", ReflectedRemainder, 1), S("__divmod__", DivMod, 1), S("__rdivmod__", ReflectedDivMod, 1),
    S("__lshift__", LeftShift, 1), S("__rlshift__", ReflectedLeftShift, 1), S("__rshift__", RightShift, 1),
    S("__rrshift__", ReflectedRightShift, 1), S("__and__", BitwiseAnd, 1),
    S("__rand__", ReflectedBitwiseAnd, 1), S("__xor__", BitwiseXor, 1), S("__rxor__", ReflectedBitwiseXor, 1),
    S("__or__", BitwiseOr, 1), S("__ror__", ReflectedBitwiseOr, 1), S("__eq__", Equal, 1),
    S("__ne__", NotEqual, 1), S("__lt__", LessThan, 1), S("__le__", LessEqual, 1),
    S("__gt__", GreaterThan, 1), S("__ge__", GreaterEqual, 1), S("__contains__", Contains, 1),
    S("__delitem__", DeleteItem, 1), S("__format__", Format, 1), S("__reversed__", Reversed, 0),
    S("__delattr__", DeleteAttribute, 1), S("__class_getitem__", ClassGetItem, 1),
    S("__init_subclass__", InitSubclass, kAny), S("__iadd__", InplaceAdd, 1),
    S("__isub__", InplaceSubtract, 1), S("__imul__", InplaceMultiply, 1),
    S("__imatmul__", InplaceMatrixMultiply, 1), S("__ipow__", InplacePower, 1),
    S("__itruediv__", InplaceDivide, 1), S("__ifloordiv__", InplaceFloorDivide, 1),
    S("__imod__", InplaceRemainder, 1), S("__ilshift__", InplaceLeftShift, 1),
    S("__irshift__", InplaceRightShift, 1), S("__iand__", InplaceBitwiseAnd, 1),
    S("__ixor__", InplaceBitwiseXor, 1), S("__ior__", InplaceBitwiseOr, 1),
}};
#undef S

std::string_view dunder_slot_enumerator(DunderSlot s) {
    static constexpr std::array<std::string_view, kDunderSlotCount> kNames = {
    "Call", "New", "Init", "GetAttribute", "SetAttribute", "Repr",
    "String", "Bool", "Hash", "Iter", "Next", "Length",
    "GetItem", "SetItem", "Positive", "Negative", "Invert", "Absolute",
    "Add", "ReflectedAdd", "Subtract", "ReflectedSubtract", "Multiply", "ReflectedMultiply",
    "MatrixMultiply", "ReflectedMatrixMultiply", "Power", "ReflectedPower", "Divide", "ReflectedDivide",
    "FloorDivide", "ReflectedFloorDivide", "Remainder", "ReflectedRemainder", "DivMod", "ReflectedDivMod",
    "LeftShift", "ReflectedLeftShift", "RightShift", "ReflectedRightShift", "BitwiseAnd", "ReflectedBitwiseAnd",
    "BitwiseXor", "ReflectedBitwiseXor", "BitwiseOr", "ReflectedBitwiseOr", "Equal", "NotEqual",
    "LessThan", "LessEqual", "GreaterThan", "GreaterEqual", "Contains", "DeleteItem",
    "Format", "Reversed", "DeleteAttribute", "ClassGetItem", "InitSubclass", "InplaceAdd",
    "InplaceSubtract", "InplaceMultiply", "InplaceMatrixMultiply", "InplacePower", "InplaceDivide", "InplaceFloorDivide",
    "InplaceRemainder", "InplaceLeftShift", "InplaceRightShift", "InplaceBitwiseAnd", "InplaceBitwiseXor", "InplaceBitwiseOr",
    };
    return kNames[std::size_t(s)];
}

std::string_view builtin_type_enumerator(TypeId index) {
    static constexpr std::array<std::string_view, kBuiltinTypeCount> kNames = {
    "Object", "Type", "None", "Ellipsis", "NotImplemented", "Bool",
    "Int", "Float", "String", "Bytes", "ByteArray", "List",
    "Tuple", "Dict", "Set", "FrozenSet", "Range", "Function",
    "Module", "Iterator", "Generator", "Exception", "Native", "Regex",
    "Match", "Stream", "Environment", "NamespaceDict", "DictKeys", "DictValues",
    "DictItems", "MappingProxy", "ArgumentParser", "RaisesContext", "Property", "Array",
    "Complex", "Slice", "GenericAlias", "Enum", "TestCase", "StaticMethod",
    "ClassMethod",
    };
    expect(index < kBuiltinTypeCount, "builtin type handle is in range");
    return kNames[index];
}

std::string_view builtin_type_name(TypeId index) {
    expect(index < kBuiltinTypeCount, "builtin type handle is in range");
    return kBuiltinNames[index];
}

std::uint64_t TypeRecord::modeled_size() const {
    std::uint64_t n = sat_add(64, name.size());
    n = sat_add(n, sat_mul(4, bases.size()));
    n = sat_add(n, sat_mul(4, mro.size()));
    n = sat_add(n, sat_mul(48, namespace_.entries().size()));
    std::uint64_t declared_count = 0;
    for (const SlotEntry& e : declared) declared_count += !e.empty();
    return sat_add(n, sat_mul(24, declared_count));
}

PyResult<const TypeRecord*> TypeRegistry::get(TypeId id) const {
    if (id >= records_.size()) return fail(PyError::unsupported("invalid type reference"));
    return &records_[id];
}

PyResult<bool> TypeRegistry::is_subtype(TypeId type, TypeId base) const {
    auto rec = get(type);
    if (!rec) return fail(std::move(rec.error()));
    if (type == base) return true;
    const auto& mro = (*rec)->mro;
    return std::find(mro.begin(), mro.end(), base) != mro.end();
}

PyResult<Value> TypeRegistry::class_value(TypeId id) const {
    auto rec = get(id);
    if (!rec) return fail(std::move(rec.error()));
    if ((*rec)->class_value.is_absent()) return fail(PyError::unsupported("type construction is incomplete"));
    return (*rec)->class_value;
}

TypeId TypeRegistry::append(TypeRecord record) {
    expect(records_.size() < 0xFFFFFFFFull, "too many registered types");
    modeled_size_ = sat_add(modeled_size_, record.modeled_size());
    records_.push_back(std::move(record));
    return TypeId(records_.size() - 1);
}

std::optional<TypeId> TypeRegistry::exception_id_by_name(std::string_view name) const {
    if (auto it = exception_ids_.find(name); it != exception_ids_.end()) return it->second;
    return std::nullopt;
}

std::optional<std::string_view> TypeRegistry::exception_name_by_id(TypeId id) const {
    if (auto it = exception_names_.find(id); it != exception_names_.end()) return it->second;
    return std::nullopt;
}

void TypeRegistry::attach_native_class(Symbols& symbols, TypeId id, const NativeClass& cls) {
    TypeRecord& rec = records_[id];
    for (const NativeFunction& row : cls.functions)
        rec.namespace_.insert(symbols.intern_static(row.name),
                              intern_static_definition(StaticDefinition::of_native_method(&row)));
    for (const NativeProperty& row : cls.properties)
        rec.namespace_.insert(symbols.intern_static(row.name),
                              intern_static_definition(StaticDefinition::of_getter(&row)));
}

void TypeRegistry::attach_class_method(Symbols& symbols, TypeId id, const NativeFunction& row) {
    records_[id].namespace_.insert(symbols.intern_static(row.name),
                                   intern_static_definition(StaticDefinition::of_native_class_method(&row)));
}

void TypeRegistry::add_slot_wrappers(TypeId id) {
    TypeRecord& rec = records_[id];
    for (std::size_t s = 0; s < kDunderSlotCount; ++s) {
        SlotKind k = rec.declared[s].kind;
        if (k == SlotKind::Empty || k == SlotKind::Callable || k == SlotKind::NativeMethod) continue;
        if (rec.namespace_.get(dunder_symbols_[s])) continue;
        rec.namespace_.insert(dunder_symbols_[s],
                              intern_static_definition(StaticDefinition::of_slot_wrapper(std::uint8_t(s), id)));
    }
}

void TypeRegistry::set_declared(TypeId id, const SlotTable& declared) {
    TypeRecord& rec = records_[id];
    const std::uint64_t before = rec.modeled_size();
    rec.declared = declared;
    rec.resolved = declared;
    modeled_size_ = sat_add(sat_sub(modeled_size_, before), rec.modeled_size());
}

void TypeRegistry::resolve_from_mro(TypeId id) {
    TypeRecord& rec = records_[id];
    for (std::size_t s = 0; s < kDunderSlotCount; ++s) {
        if (!rec.resolved[s].empty()) continue;
        for (TypeId t : rec.mro)
            if (!records_[t].resolved[s].empty()) {
                rec.resolved[s] = records_[t].resolved[s];
                break;
            }
    }
}

TypeRegistry TypeRegistry::build_builtin_types(Symbols& symbols, SlotInstaller install_slots,
                                               ClassAttacher attach_classes) {
    TypeRegistry reg;
    // 1. The dunder names.
    for (std::size_t s = 0; s < kDunderSlotCount; ++s) reg.dunder_symbols_[s] = symbols.intern_static(kDunderSlots[s].name);

    // 2. The builtin types.
    const TypeId object = type_id(BuiltinType::Object);
    for (TypeId id = 0; id < kBuiltinTypeCount; ++id) {
        TypeRecord rec;
        rec.name = std::string(kBuiltinNames[id]);
        if (id == type_id(BuiltinType::Bool)) {
            rec.bases = {type_id(BuiltinType::Int)};
            rec.mro = {type_id(BuiltinType::Int), object};
        } else if (id == type_id(BuiltinType::NamespaceDict)) {
            rec.bases = {type_id(BuiltinType::Dict)};
            rec.mro = {type_id(BuiltinType::Dict), object};
        } else if (id != object) {
            rec.bases = {object};
            rec.mro = {object};
        }
        rec.class_value = intern_static_definition(StaticDefinition::of_builtin_type(id));
        rec.origin = TypeOrigin::Builtin;
        reg.records_.push_back(std::move(rec));
    }

    // 3. Native classes: the method and property rows of the builtin types.
    if (attach_classes) attach_classes(reg, symbols);

    // 4. The namespace dict shares dict's namespace.
    reg.records_[type_id(BuiltinType::NamespaceDict)].namespace_ = reg.records_[type_id(BuiltinType::Dict)].namespace_;

    // 5. Slots from native method rows.
    for (TypeRecord& rec : reg.records_)
        for (DunderSlot s : kMethodSlots) {
            const Value* v = rec.namespace_.get(reg.dunder_symbols_[std::size_t(s)]);
            if (!v || !v->is_native() || v->native_kind() != NativeKind::NativeMethod) continue;
            if (const NativeFunction* row = definition_registry_get(v->native_index()))
                rec.resolved[std::size_t(s)] = SlotEntry::native_method(row);
        }

    // 6. The builtin slot functions.
    if (install_slots) install_slots(reg);

    // 7. Declared tables; bool declares only its bitwise slots.
    for (TypeRecord& rec : reg.records_) rec.declared = rec.resolved;
    {
        TypeRecord& b = reg.records_[type_id(BuiltinType::Bool)];
        SlotTable own{};
        if (install_slots)
            for (DunderSlot s : {DunderSlot::Invert, DunderSlot::BitwiseAnd, DunderSlot::ReflectedBitwiseAnd,
                                 DunderSlot::BitwiseXor, DunderSlot::ReflectedBitwiseXor, DunderSlot::BitwiseOr,
                                 DunderSlot::ReflectedBitwiseOr}) {
                expect(!b.resolved[std::size_t(s)].empty(), "bool slot installed");
                own[std::size_t(s)] = b.resolved[std::size_t(s)];
            }
        b.declared = own;
    }

    // 8. Inheritance along the MRO, from declared entries.
    for (TypeRecord& rec : reg.records_)
        for (std::size_t s = 0; s < kDunderSlotCount; ++s) {
            if (!rec.resolved[s].empty()) continue;
            for (TypeId t : rec.mro)
                if (!reg.records_[t].declared[s].empty()) {
                    rec.resolved[s] = reg.records_[t].declared[s];
                    break;
                }
        }

    // 9. Slot wrappers.
    for (TypeId id = 0; id < kBuiltinTypeCount; ++id) reg.add_slot_wrappers(id);

    // 10. Unhashable containers.
    const Symbol hash = reg.dunder_symbols_[std::size_t(DunderSlot::Hash)];
    for (BuiltinType t : {BuiltinType::List, BuiltinType::Dict, BuiltinType::Set, BuiltinType::ByteArray})
        reg.records_[type_id(t)].namespace_.insert(hash, Value::none());

    // 11. The size of the builtin records.
    for (const TypeRecord& rec : reg.records_) reg.modeled_size_ = sat_add(reg.modeled_size_, rec.modeled_size());

    // 12. Value kinds.
    for (const ValueKindDef* def : value_kind_list()) {
        TypeRecord rec;
        rec.name = std::string(def->name);
        for (const ValueKindBase& base : def->bases) {
            if (base.tag == ValueKindBase::Kind) {
                auto it = std::find(reg.value_kinds_.begin(), reg.value_kinds_.end(), base.kind);
                expect(it != reg.value_kinds_.end(), "value kind bases are registered first");
                rec.bases.push_back(kFirstValueKindType + TypeId(it - reg.value_kinds_.begin()));
            } else {
                rec.bases.push_back(type_id(base.tag == ValueKindBase::Float ? BuiltinType::Float : BuiltinType::Complex));
            }
        }
        if (rec.bases.empty()) rec.bases = {object};
        std::vector<std::vector<TypeId>> seqs;
        for (TypeId b : rec.bases) {
            std::vector<TypeId> seq{b};
            seq.insert(seq.end(), reg.records_[b].mro.begin(), reg.records_[b].mro.end());
            seqs.push_back(std::move(seq));
        }
        seqs.push_back(rec.bases);
        auto mro = c3_merge_type_ids(std::move(seqs));
        expect(mro.has_value(), "value kind bases have a consistent MRO");
        rec.mro = std::move(*mro);
        static constexpr DunderSlot kUnaryOps[] = {DunderSlot::Repr, DunderSlot::String, DunderSlot::Bool,
                                                   DunderSlot::Positive, DunderSlot::Negative, DunderSlot::Invert,
                                                   DunderSlot::Absolute};
        for (std::size_t i = 0; i < def->operators.size(); ++i) {
            if (!def->operators[i]) continue;
            std::size_t slot = 0;
            while (kDunderSlots[slot].name != kValueKindOperators[i]) ++slot;
            bool unary = std::find(std::begin(kUnaryOps), std::end(kUnaryOps), DunderSlot(slot)) != std::end(kUnaryOps);
            rec.declared[slot] = {unary ? SlotKind::Unary : SlotKind::Binary, 0, {}, nullptr, def->operators[i]};
        }
        if (install_slots)
            rec.declared[std::size_t(DunderSlot::Format)] =
                reg.records_[type_id(BuiltinType::Int)].resolved[std::size_t(DunderSlot::Format)];
        rec.resolved = rec.declared;
        rec.class_value = intern_static_definition(StaticDefinition::of_value_kind(def));
        rec.origin = TypeOrigin::ValueKind;
        TypeId id = TypeId(reg.records_.size());
        reg.records_.push_back(std::move(rec));
        reg.resolve_from_mro(id);
        reg.attach_native_class(symbols, id, NativeClass{def->name, def->methods, def->properties});
        reg.add_slot_wrappers(id);
        reg.modeled_size_ = sat_add(reg.modeled_size_, reg.records_[id].modeled_size());
        reg.value_kinds_.push_back(def);
    }

    // 13. BaseException.
    {
        const TypeId base = type_id(BuiltinType::Exception);
        TypeRecord& rec = reg.records_[base];
        std::uint64_t before = rec.modeled_size();
        rec.class_value = intern_static_definition(StaticDefinition::of_exception("BaseException"));
        rec.namespace_.insert(symbols.intern_static("__dict__"),
                              intern_static_definition(StaticDefinition::of_getter(&kObjectDictProperty)));
        reg.modeled_size_ = sat_add(sat_sub(reg.modeled_size_, before), rec.modeled_size());
        reg.exception_ids_.emplace(kExceptionClasses[0].name, base);
        reg.exception_names_.emplace(base, kExceptionClasses[0].name);
    }

    // 14. The exception classes.
    for (std::size_t row = 1; row < kExceptionClasses.size(); ++row) {
        const ExceptionClassRow& r = kExceptionClasses[row];
        expect(!r.parent.empty(), "non-root exception has a parent");
        TypeRecord rec;
        rec.name = std::string(r.name);
        rec.bases.push_back(reg.exception_ids_.at(r.parent));
        if (!r.second_base.empty()) rec.bases.push_back(reg.exception_ids_.at(r.second_base));
        auto mro = type_mro_from_bases(reg, rec.bases);
        expect(mro.has_value(), "exception MRO is valid");
        rec.mro = std::move(*mro);
        rec.class_value = intern_static_definition(StaticDefinition::of_exception(r.name));
        rec.origin = TypeOrigin::Builtin;
        TypeId id = reg.append(std::move(rec));
        reg.resolve_from_mro(id);
        if (r.name == "OSError") {
            std::uint64_t before = reg.records_[id].modeled_size();
            reg.attach_native_class(symbols, id, NativeClass{"OSError", {}, kOsErrorProperties});
            reg.modeled_size_ = sat_add(sat_sub(reg.modeled_size_, before), reg.records_[id].modeled_size());
        }
        reg.exception_ids_.emplace(r.name, id);
        reg.exception_names_.emplace(id, r.name);
    }
    return reg;
}

}  // namespace tw::py
