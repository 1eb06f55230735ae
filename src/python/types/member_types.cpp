// enum.Enum members (name, value, repr, str, hash), the property class's setter and accessors,
// and iterator.__iter__ (the generator methods come with the generator machinery).
#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/number/hash.h"
#include "python/objects/value_access.h"
#include "python/types/mapping_support.h"
#include "python/types/native_args.h"
#include "python/vm/call.h"
#include "python/vm/try.h"

namespace tw::py {

using namespace mapargs;

namespace {

// ---- enum members -------------------------------------------------------------------------------

PyResult<Value> enum_member_attribute(NativeRuntime& rt, Value member, std::string_view name) {
    TRY_ASSIGN(v, rt.getattr_optional(member, name));
    if (!v) return fail(PyError::exception("AttributeError", fmt::format("enum member has no {}", name)));
    return *v;
}

PyResult<Value> enum_name(NativeRuntime& rt, Value member) { return enum_member_attribute(rt, member, "_name_"); }
PyResult<Value> enum_value(NativeRuntime& rt, Value member) { return enum_member_attribute(rt, member, "_value_"); }

PyResult<std::string> enum_member_name(NativeRuntime& rt, Value member) {
    TRY_ASSIGN(name, enum_member_attribute(rt, member, "_name_"));
    TRY_ASSIGN(text, str_view(rt.heap(), name));
    if (!text) return fail(PyError::type_error("enum member name must be a string"));
    return std::string(*text);
}

constexpr NativeProperty kEnumProperties[] = {
    {"enum.Enum", "name", enum_name},
    {"enum.Enum", "value", enum_value},
};
constexpr NativeClass kEnumClass{"enum.Enum", {}, kEnumProperties};

// ---- property -----------------------------------------------------------------------------------

PyResult<PropertyPayload> expect_property(NativeRuntime& rt, Value v) {
    const HeapSlot* s = rt.heap().get_if_object(v);
    const auto* p = s ? std::get_if<PropertyPayload>(&s->object) : nullptr;
    if (!p) return fail(PyError::type_error("expected property"));
    return *p;
}

bool has_part(const Value& v) { return v.is_present() && !v.is_none(); }

PyResult<Value> property_fget(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(p, expect_property(rt, self));
    return has_part(p.first) ? p.first : Value::none();
}

PyResult<Value> property_fset(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(p, expect_property(rt, self));
    return has_part(p.second) ? p.second : Value::none();
}

PyResult<Value> property_setter(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(check(c, "property.setter", 1, 1));
    TRY_ASSIGN(p, expect_property(rt, self));
    return rt.heap().allocate_object(PropertyPayload{p.first, c.positional[0]}, rt.roots(), rt.meter());
}

PyResult<Value> property_isabstract(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(p, expect_property(rt, self));
    for (const Value& accessor : {p.first, p.second}) {
        if (!has_part(accessor)) continue;
        TRY_ASSIGN(flag, rt.getattr_optional(accessor, "__isabstractmethod__"));
        if (!flag) continue;
        TRY_ASSIGN(t, rt.is_true(*flag));
        if (t) return Value::from_bool(true);
    }
    return Value::from_bool(false);
}

constexpr NativeFunction kPropertyMethods[] = {{"property", "setter", nullptr, property_setter}};
constexpr NativeProperty kPropertyProperties[] = {
    {"property", "fget", property_fget},
    {"property", "fset", property_fset},
    {"property", "__isabstractmethod__", property_isabstract},
};
constexpr NativeClass kPropertyClass{"property", kPropertyMethods, kPropertyProperties};

// ---- iterators ---------------------------------------------------------------------------------

PyResult<Value> identity_iter(NativeRuntime&, Value self, NativeCall c) {
    TRY_DO(check(c, "__iter__", 0, 0));
    return self;
}

constexpr NativeFunction kIteratorMethods[] = {{"iterator", "__iter__", nullptr, identity_iter}};
constexpr NativeClass kIteratorClass{"iterator", kIteratorMethods, {}};

}  // namespace

const NativeClass& enum_native_class() { return kEnumClass; }
const NativeClass& property_native_class() { return kPropertyClass; }
const NativeClass& iterator_native_class() { return kIteratorClass; }

SlotValue enum_repr(NativeRuntime& rt, Value self) {
    const std::string cls = rt.type_name(self);
    TRY_ASSIGN(name, enum_member_name(rt, self));
    TRY_ASSIGN(value, enum_member_attribute(rt, self, "_value_"));
    TRY_ASSIGN(value_text, rt.repr(value));
    TRY_ASSIGN(text, rt.new_str(fmt::format("<{}.{}: {}>", cls, name, value_text)));
    return std::optional(text);
}

SlotValue enum_str(NativeRuntime& rt, Value self) {
    const std::string cls = rt.type_name(self);
    TRY_ASSIGN(name, enum_member_name(rt, self));
    TRY_ASSIGN(text, rt.new_str(fmt::format("{}.{}", cls, name)));
    return std::optional(text);
}

SlotValue enum_hash(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(name, enum_member_name(rt, self));
    return std::optional(Value::from_int(py_hash_str(name)));
}

PyResult<std::optional<std::string>> enum_member_text(NativeRuntime& rt, Value self, DunderSlot slot) {
    const HeapSlot* s = rt.heap().get_if_object(self);
    if (!s || s->kind() != HeapObjectKind::Object || s->type_id < kFirstProgramType) return std::optional<std::string>();
    TRY_ASSIGN(is_enum, rt.types().is_subtype(s->type_id, type_id(BuiltinType::Enum)));
    if (!is_enum) return std::optional<std::string>();
    TRY_ASSIGN(text, slot == DunderSlot::Repr ? enum_repr(rt, self) : enum_str(rt, self));
    TRY_ASSIGN(view, str_view(rt.heap(), *text));
    return std::optional(std::string(*view));
}

}  // namespace tw::py
