// Value access and type identity: the type of a value, the decoding of native handles, string
// views, numeric views and the charge of interpreter work. These are on every operation's path:
// they never allocate, and the builtin cases are one branch on the tag.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/front/definitions.h"
#include "python/heap/error.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Heap;
class TypeRegistry;
class BigInt;
class Namespace;
class Symbols;
struct ValueKindDef;

// The decoded form of a native handle Value, or none for other values. Broken invariants:
// "internal error: entered unreachable code: invalid private native-value tag", "native handle
// names an interned definition", "builtin function handle is in range", "builtin type handle is
// in range", "invalid private exception-type handle", "invalid private slot index".
std::optional<StaticDefinition> decode_native_handle(const Value& v);

// The TypeId of a value; errors: a stale handle, "invalid registered value kind".
PyResult<TypeId> py_type_id_of(const Heap& heap, const TypeRegistry& registry, const Value& v);
// The name of the value's type.
PyResult<std::string> py_type_name(const Heap& heap, const TypeRegistry& registry, const Value& v);
// The class object of an instance of a program class; none for other values; "instance of a
// class whose construction is incomplete".
PyResult<std::optional<Value>> instance_class_value(Heap& heap, const TypeRegistry& registry, const Value& v);

// An owned copy of a str value's text; none for other values.
PyResult<std::optional<std::string>> value_to_owned_string(const Heap& heap, const Value& v);

// "resource limit exceeded while executing Python" when the CPU budget refuses.
PyStatus python_charge_work(ResourceMeter& meter, std::uint64_t units);

// The kind descriptor and the plain builtin value of a registered value (inline, or boxed in a
// heap Registered object), through the kind's scalar hook; none for other values, for kinds beyond
// the list and for kinds without a scalar hook.
struct RegisteredParts {
    const ValueKindDef* kind;
    Value plain;
};
std::optional<RegisteredParts> registered_parts(const Heap& heap, const Value& v);

// The value bound to `name` in a namespace when the name is interned (nothing is interned).
const Value* namespace_get_by_name(const Namespace& ns, const Symbols& symbols, std::string_view name);

struct NumericView {
    enum Kind : std::uint8_t { None, Small, Big, U64, Float, Complex } kind = None;
    std::int64_t small = 0;
    std::uint64_t u64 = 0;
    const BigInt* big = nullptr;
    double real = 0, imag = 0;
};
// Ints, bools, floats, heap big ints (Small when they fit), heap complexes and floats; registered
// values through their kind's scalar hook.
NumericView py_numeric_view(const Heap& heap, const Value& v);

// Whether the decimal form of a magnitude has more than 4300 digits.
bool py_int_exceeds_str_digits(const BigInt& magnitude);

}  // namespace tw::py
