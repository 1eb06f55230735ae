#include "python/objects/value_access.h"

#include "base/panic.h"
#include "kernel/meter.h"
#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/objects/types.h"

namespace tw::py {

std::optional<StaticDefinition> decode_native_handle(const Value& v) {
    if (!v.is_native()) return std::nullopt;
    const std::uint64_t index = v.native_index();
    auto must = [](const auto* row) {
        expect(row != nullptr, "native handle names an interned definition");
        return row;
    };
    switch (v.native_kind()) {
        case NativeKind::Module: return StaticDefinition::of_module(must(module_registry_get(index)));
        case NativeKind::Function:
            expect(index < kBuiltinFunctionRows, "builtin function handle is in range");
            return StaticDefinition::of_function(kBuiltinFunctions[index].id);
        case NativeKind::BuiltinType:
            expect(index < kBuiltinTypeCount, "builtin type handle is in range");
            return StaticDefinition::of_builtin_type(std::uint32_t(index));
        case NativeKind::NativeFunction:
            return StaticDefinition::of_native_function(must(native_function_registry_get(index)));
        case NativeKind::NativeMethod: return StaticDefinition::of_native_method(must(definition_registry_get(index)));
        case NativeKind::Stream: return StaticDefinition::of_stream(std::uint8_t(index > 3 ? 3 : index));
        case NativeKind::Environment: return StaticDefinition::of(DefinitionTag::Environment);
        case NativeKind::ExceptionType:
            expect(index < kExceptionClassRows, "invalid private exception-type handle");
            return StaticDefinition::of_exception(kExceptionClasses[index].name);
        case NativeKind::TypingList: return StaticDefinition::of(DefinitionTag::TypingList);
        case NativeKind::ValueKind: return StaticDefinition::of_value_kind(must(value_kind_registry_get(index)));
        case NativeKind::NativeGetter: return StaticDefinition::of_getter(must(native_getter_registry_get(index)));
        case NativeKind::Ellipsis: return StaticDefinition::of(DefinitionTag::Ellipsis);
        case NativeKind::NotImplemented: return StaticDefinition::of(DefinitionTag::NotImplemented);
        case NativeKind::NativeClassMethod:
            return StaticDefinition::of_native_class_method(must(definition_registry_get(index)));
        case NativeKind::SlotWrapper:
            expect((index & 0xFF) < kDunderSlotCount, "invalid private slot index");
            return StaticDefinition::of_slot_wrapper(std::uint8_t(index & 0xFF), std::uint32_t(index >> 8));
        case NativeKind::NoReceiver: return StaticDefinition::of(DefinitionTag::NoReceiver);
    }
    unreachable("invalid private native-value tag");
}

PyResult<TypeId> py_type_id_of(const Heap& heap, const TypeRegistry& registry, const Value& v) {
    if (v.is_inline_str()) return type_id(BuiltinType::String);
    switch (Tag(v.tag())) {
        case Tag::Int: return type_id(BuiltinType::Int);
        case Tag::Float: return type_id(BuiltinType::Float);
        case Tag::Bool: return type_id(BuiltinType::Bool);
        case Tag::None: return type_id(BuiltinType::None);
        case Tag::Object: return heap.type_id_of(v);
        case Tag::Registered:
            if (v.registered_kind() < registry.value_kinds().size()) return kFirstValueKindType + v.registered_kind();
            return fail(PyError::unsupported("invalid registered value kind"));
        case Tag::Native: {
            switch (decode_native_handle(v)->tag) {
                case DefinitionTag::Module: return type_id(BuiltinType::Module);
                case DefinitionTag::Function:
                case DefinitionTag::NativeFunction:
                case DefinitionTag::NativeMethod:
                case DefinitionTag::SlotWrapper: return type_id(BuiltinType::Function);
                case DefinitionTag::BuiltinType:
                case DefinitionTag::ValueKind:
                case DefinitionTag::ExceptionType: return type_id(BuiltinType::Type);
                case DefinitionTag::Stream: return type_id(BuiltinType::Stream);
                case DefinitionTag::Environment: return type_id(BuiltinType::Environment);
                case DefinitionTag::Ellipsis: return type_id(BuiltinType::Ellipsis);
                case DefinitionTag::NotImplemented: return type_id(BuiltinType::NotImplemented);
                default: return type_id(BuiltinType::Native);
            }
        }
        default: return fail(PyError::unsupported("invalid Python value tag"));
    }
}

PyResult<std::string> py_type_name(const Heap& heap, const TypeRegistry& registry, const Value& v) {
    auto id = py_type_id_of(heap, registry, v);
    if (!id) return fail(std::move(id.error()));
    auto rec = registry.get(*id);
    if (!rec) return fail(std::move(rec.error()));
    return (*rec)->name;
}

PyResult<std::optional<Value>> instance_class_value(Heap& heap, const TypeRegistry& registry, const Value& v) {
    const HeapSlot* slot = heap.get_if_object(v);
    if (!slot) {
        if (v.is_object()) return fail(PyError::unsupported(Heap::stale_reference_message()));
        return std::optional<Value>();
    }
    if (slot->kind() == HeapObjectKind::Class) return std::optional<Value>();
    auto rec = registry.get(slot->type_id);
    if (!rec) return fail(std::move(rec.error()));
    if ((*rec)->origin != TypeOrigin::Program) return std::optional<Value>();
    if ((*rec)->class_value.is_absent())
        return fail(PyError::unsupported("instance of a class whose construction is incomplete"));
    return std::optional(heap.clone_value((*rec)->class_value));
}

PyResult<std::optional<std::string>> value_to_owned_string(const Heap& heap, const Value& v) {
    auto view = str_view(heap, v);
    if (!view) return fail(std::move(view.error()));
    if (!*view) return std::optional<std::string>();
    return std::optional(std::string(**view));
}

PyStatus python_charge_work(ResourceMeter& meter, std::uint64_t units) {
    if (!meter.charge_cpu(units)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
    return {};
}

std::optional<RegisteredParts> registered_parts(const Heap& heap, const Value& v) {
    std::uint8_t kind;
    std::uint64_t payload;
    if (v.is_registered()) {
        kind = v.registered_kind();
        payload = v.registered_payload();
    } else if (const HeapSlot* slot = heap.get_if_object(v)) {
        auto* r = std::get_if<RegisteredPayload>(&slot->object);
        if (!r) return std::nullopt;
        kind = r->kind;
        payload = r->payload[0];
    } else {
        return std::nullopt;
    }
    const ValueKindDef* def = value_kind_at(kind);
    if (!def || !def->scalar_hook) return std::nullopt;
    auto plain = def->scalar_hook(*def, payload);
    if (!plain) return std::nullopt;
    return RegisteredParts{def, *plain};
}

const Value* namespace_get_by_name(const Namespace& ns, const Symbols& symbols, std::string_view name) {
    auto s = symbols.lookup(name);
    return s ? ns.get(*s) : nullptr;
}

NumericView py_numeric_view(const Heap& heap, const Value& v) {
    NumericView out;
    Value plain = v;
    const HeapSlot* boxed = heap.get_if_object(v);
    const bool registered = v.is_registered() || (boxed && boxed->kind() == HeapObjectKind::Registered);
    if (registered) {
        auto parts = registered_parts(heap, v);
        if (!parts) return out;
        plain = parts->plain;
    }
    switch (Tag(plain.tag())) {
        case Tag::Int: out.kind = NumericView::Small, out.small = plain.as_int(); return out;
        case Tag::Bool: out.kind = NumericView::Small, out.small = plain.as_bool(); return out;
        case Tag::Float: out.kind = NumericView::Float, out.real = plain.as_float(); return out;
        default: break;
    }
    const HeapSlot* slot = heap.get_if_object(plain);
    if (!slot) return out;
    if (auto* b = std::get_if<BigIntPayload>(&slot->object)) {
        if (b->value->fits_i64()) out.kind = NumericView::Small, out.small = b->value->to_i64();
        else if (registered && mpz_sgn(b->value->get()) > 0 && mpz_fits_ulong_p(b->value->get()))
            out.kind = NumericView::U64, out.u64 = mpz_get_ui(b->value->get());
        else out.kind = NumericView::Big, out.big = b->value.get();
    } else if (auto* c = std::get_if<ComplexPayload>(&slot->object)) {
        out.kind = NumericView::Complex, out.real = c->real, out.imag = c->imag;
    } else if (auto* f = std::get_if<FloatPayload>(&slot->object)) {
        out.kind = NumericView::Float, out.real = f->value;
    }
    return out;
}

bool py_int_exceeds_str_digits(const BigInt& magnitude) {
    std::uint64_t bits = magnitude.bit_length();
    if (bits < 14285) return false;
    if (bits >= 14291) return true;
    std::string digits = magnitude.to_decimal();
    std::size_t n = digits.size() - (digits[0] == '-');
    return n >= 4301;
}

}  // namespace tw::py
