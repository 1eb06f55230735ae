#include <gtest/gtest.h>

#include "kernel/meter.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/mro.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/types/slots.h"

namespace tw::py {
namespace {

struct Registry : ::testing::Test {
    Heap heap;
    TypeRegistry reg = TypeRegistry::build_builtin_types(heap.symbols, install_builtin_slots);

    std::vector<std::string> mro_names(TypeId id) {
        std::vector<std::string> out{reg.get(id).value()->name};
        for (TypeId t : reg.get(id).value()->mro) out.push_back(reg.get(t).value()->name);
        return out;
    }
    TypeId by_name(std::string_view n) {
        for (TypeId i = 0; i < reg.size(); ++i)
            if (reg.get(i).value()->name == n) return i;
        ADD_FAILURE() << n;
        return 0;
    }
    const Value* attr(TypeId t, std::string_view name) {
        auto s = heap.symbols.lookup(name);
        return s ? reg.get(t).value()->namespace_.get(*s) : nullptr;
    }
};

TEST_F(Registry, BuiltinTypesAndTheirOrder) {
    EXPECT_EQ(reg.size(), 139u);
    TypeId bool_type = py_type_id_of(heap, reg, Value::from_bool(true)).value();
    EXPECT_EQ(mro_names(bool_type), (std::vector<std::string>{"bool", "int", "object"}));
    EXPECT_EQ(mro_names(type_id(BuiltinType::NamespaceDict)),
              (std::vector<std::string>{"tarnwick.namespace_dict", "dict", "object"}));
    EXPECT_TRUE(reg.get(0).value()->mro.empty());
    EXPECT_EQ(builtin_type_name(21), "BaseException");
    EXPECT_EQ(reg.class_value(6).value(), Value::native(NativeKind::BuiltinType, 6));
    EXPECT_EQ(reg.get(139).error().message(), "invalid type reference");
    // Value kinds.
    EXPECT_EQ(mro_names(62), (std::vector<std::string>{"numpy.float64", "numpy.floating", "numpy.inexact",
                                                       "numpy.number", "numpy.generic", "float", "object"}));
    EXPECT_EQ(reg.get(64).value()->bases.back(), type_id(BuiltinType::Complex));
    EXPECT_EQ(reg.get(66).value()->name, "numpy.ufunc");
}

TEST_F(Registry, SlotsAndTheirInheritance) {
    auto kind = [&](BuiltinType t, DunderSlot s) {
        const SlotEntry* e = reg.slot(type_id(t), s).value();
        return e ? e->kind : SlotKind::Empty;
    };
    // bool answers __format__ through int; __add__ is its own shared function.
    EXPECT_EQ(reg.slot(5, DunderSlot::Format).value()->fn, reg.slot(6, DunderSlot::Format).value()->fn);
    EXPECT_EQ(reg.slot(5, DunderSlot::Add).value()->fn, reg.slot(6, DunderSlot::Add).value()->fn);
    EXPECT_EQ(kind(BuiltinType::Complex, DunderSlot::LessThan), SlotKind::RichCompare);
    EXPECT_EQ(kind(BuiltinType::Complex, DunderSlot::Equal), SlotKind::Binary);
    EXPECT_EQ(kind(BuiltinType::Tuple, DunderSlot::Hash), SlotKind::BuiltinHash);
    EXPECT_EQ(kind(BuiltinType::FrozenSet, DunderSlot::Hash), SlotKind::BuiltinHash);
    EXPECT_EQ(kind(BuiltinType::Set, DunderSlot::Hash), SlotKind::Empty);
    EXPECT_EQ(kind(BuiltinType::Range, DunderSlot::ClassGetItem), SlotKind::Empty);
    EXPECT_EQ(kind(BuiltinType::Type, DunderSlot::ClassGetItem), SlotKind::Binary);
    EXPECT_EQ(kind(BuiltinType::NamespaceDict, DunderSlot::Reversed), SlotKind::Unary);  // from dict
    // Slot wrappers for installed slots; __hash__ = None for the unhashable containers.
    const Value* add = attr(6, "__add__");
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(*add, Value::native(NativeKind::SlotWrapper, 6 * 256 + 18));
    EXPECT_EQ(py_type_name(heap, reg, *add).value(), "function");
    for (BuiltinType t : {BuiltinType::List, BuiltinType::Dict, BuiltinType::Set, BuiltinType::ByteArray})
        EXPECT_EQ(*attr(type_id(t), "__hash__"), Value::none());
    EXPECT_EQ(*attr(type_id(BuiltinType::Tuple), "__hash__"), Value::native(NativeKind::SlotWrapper, 12 * 256 + 8));
    // The exception classes inherit BaseException's slots.
    EXPECT_EQ(reg.slot(reg.exception_id_by_name("KeyError").value(), DunderSlot::Repr).value()->kind,
              SlotKind::BuiltinRepr);
}

TEST_F(Registry, ExceptionClasses) {
    ASSERT_EQ(kExceptionClasses.size(), 73u);
    for (std::size_t row = 0; row < kExceptionClasses.size(); ++row) {
        const ExceptionClassRow& r = kExceptionClasses[row];
        TypeId id = reg.exception_id_by_name(r.name).value();
        EXPECT_EQ(id, row == 0 ? 21u : 66u + row) << r.name;
        EXPECT_EQ(reg.exception_name_by_id(id).value(), r.name);
        const TypeRecord& rec = *reg.get(id).value();
        EXPECT_EQ(rec.name, r.name);
        if (row == 0) continue;
        EXPECT_EQ(rec.bases.front(), reg.exception_id_by_name(r.parent).value()) << r.name;
        EXPECT_TRUE(reg.is_subtype(id, 21).value());
        EXPECT_EQ(rec.mro.back(), 0u) << r.name;
        EXPECT_EQ(reg.class_value(id).value(), Value::native(NativeKind::ExceptionType, row));
    }
    EXPECT_EQ(mro_names(reg.exception_id_by_name("AxisError").value()),
              (std::vector<std::string>{"AxisError", "ValueError", "IndexError", "LookupError", "Exception",
                                        "BaseException", "object"}));
    EXPECT_EQ(mro_names(reg.exception_id_by_name("FileNotFoundError").value()),
              (std::vector<std::string>{"FileNotFoundError", "OSError", "Exception", "BaseException", "object"}));
    EXPECT_NE(attr(reg.exception_id_by_name("OSError").value(), "errno"), nullptr);
    EXPECT_NE(attr(21, "__dict__"), nullptr);
}

TEST_F(Registry, TypeOfEveryValueKind) {
    struct Case {
        Value v;
        const char* type;
    } cases[] = {
        {Value::try_inline_str("x"), "str"},
        {Value::from_int(1), "int"},
        {Value::from_float(1), "float"},
        {Value::none(), "NoneType"},
        {intern_static_definition(StaticDefinition::of(DefinitionTag::Ellipsis)), "ellipsis"},
        {intern_static_definition(StaticDefinition::of(DefinitionTag::NotImplemented)), "NotImplementedType"},
        {intern_static_definition(StaticDefinition::of_function(16)), "function"},
        {intern_static_definition(StaticDefinition::of_builtin_type(6)), "type"},
        {intern_static_definition(StaticDefinition::of_exception("KeyError")), "type"},
        {intern_static_definition(StaticDefinition::of(DefinitionTag::TypingList)), "native"},
        {Value::registered(19, 0), "numpy.float64"},
    };
    for (const Case& c : cases) EXPECT_EQ(py_type_name(heap, reg, c.v).value(), c.type) << c.type;
    EXPECT_EQ(py_type_id_of(heap, reg, Value::registered(24, 0)).error().message(), "invalid registered value kind");
}

TEST_F(Registry, TypeMroByC3) {
    auto add_class = [&](std::string name, std::vector<TypeId> bases) {
        TypeRecord rec;
        rec.name = std::move(name);
        rec.mro = type_mro_from_bases(reg, bases).value();
        rec.bases = std::move(bases);
        rec.origin = TypeOrigin::Program;
        return reg.append(std::move(rec));
    };
    TypeId x = add_class("X", {});
    EXPECT_EQ(x, 139u);
    TypeId a = add_class("A", {x}), b = add_class("B", {x});
    TypeId c = add_class("C", {a, b});
    EXPECT_EQ(mro_names(c), (std::vector<std::string>{"C", "A", "B", "X", "object"}));
    EXPECT_EQ(type_mro_from_bases(reg, {a, a}).error().message(), "duplicate base class");
    auto bad = type_mro_from_bases(reg, {x, a});
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "cannot create a consistent method resolution order");
    EXPECT_EQ(bad.error().detail()->class_name, "TypeError");
    EXPECT_EQ(type_mro_from_bases(reg, {type_id(BuiltinType::Int)}).value(), (std::vector<TypeId>{6, 0}));
}

TEST_F(Registry, ClassMroOfClassObjects) {
    ResourceMeter meter(MachineLimits{1000, 1 << 20, 0, 0});
    auto make = [&](std::string name, std::vector<Value> bases) {
        auto mro = py_compute_mro(heap, meter, bases);
        EXPECT_TRUE(mro) << name;
        auto rec = Box<ClassRecord>::make();
        rec->name = std::move(name);
        rec->bases = bases;
        rec->mro = *mro;
        rec->metaclass = Value::native(NativeKind::BuiltinType, 1);
        return heap.allocate_object(ClassPayload{std::move(rec)}, nullptr, meter).value();
    };
    Value x = make("X", {});
    Value a = make("A", {x}), b = make("B", {x});
    std::vector<Value> mro = py_compute_mro(heap, meter, {a, b}).value();
    EXPECT_EQ(mro, (std::vector<Value>{a, b, x}));
    EXPECT_EQ(py_compute_mro(heap, meter, {a, a}).error().message(), "duplicate base class");
    EXPECT_EQ(py_compute_mro(heap, meter, {x, a}).error().message(),
              "cannot create a consistent method resolution order");
    EXPECT_EQ(py_compute_mro(heap, meter, {Value::from_int(1)}).error().message(), "class base changed object kind");
    EXPECT_EQ(heap.type_id_of(x).value(), 1u);  // its metaclass `type`
}

}  // namespace
}  // namespace tw::py
