// Static descriptors of what native code contributes to the Python world: native modules
// (function and constant rows), the methods and properties of builtin types (native classes),
// and the registered value kinds of the numeric array library. The tables are read-only process
// data; Python values refer to a row through its interned static definition.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/value.h"

namespace tw::py {

class NativeRuntime;  // the interface native code reaches the interpreter through

// The arguments of a native call: positional values and (name, value) keyword pairs.
struct NativeCall {
    std::vector<Value> positional;
    std::vector<std::pair<std::string, Value>> keywords;
};

using NativeModuleFn = PyResult<Value> (*)(NativeRuntime& rt, NativeCall call);
using NativeMethodFn = PyResult<Value> (*)(NativeRuntime& rt, Value receiver, NativeCall call);
using NativeGetterFn = PyResult<Value> (*)(NativeRuntime& rt, Value receiver);

struct NativeFunction {
    std::string_view owner;  // module or class name, for representations
    std::string_view name;
    // Module functions use `module_handler`; methods and class methods `method_handler` (a class
    // method receives the class value as its receiver).
    NativeModuleFn module_handler = nullptr;
    NativeMethodFn method_handler = nullptr;
};

struct NativeProperty {
    std::string_view owner;
    std::string_view name;
    NativeGetterFn getter = nullptr;
};

struct ValueKindDef;
using LazyBuilderFn = PyResult<Value> (*)(NativeRuntime& rt);

enum class ConstantTag : std::uint64_t { Int = 0, Float = 1, Str = 2, Lazy = 3, TypeRef = 4 };

struct NativeConstant {
    ConstantTag tag = ConstantTag::Int;
    std::string_view name;
    std::int64_t int_value = 0;
    double float_value = 0;
    std::string_view text;
    LazyBuilderFn builder = nullptr;
    const ValueKindDef* kind = nullptr;  // TypeRef
    std::uint64_t index = 0;             // TypeRef: the payload
};

// A native module and a native class share one shape: a name, function rows, and member rows
// (constants for a module, properties for a class).
struct NativeModule {
    std::string_view name;
    std::span<const NativeFunction> functions;
    std::span<const NativeConstant> constants;
};
struct NativeClass {
    std::string_view name;
    std::span<const NativeFunction> functions;
    std::span<const NativeProperty> properties;
};

// Operator functions of a value kind: a Value, not applicable (nullopt) or an error.
using KindUnaryFn = PyResult<std::optional<Value>> (*)(NativeRuntime& rt, Value self);
using KindBinaryFn = PyResult<std::optional<Value>> (*)(NativeRuntime& rt, Value self, Value other);
using KindScalarFn = std::optional<Value> (*)(const ValueKindDef& def, std::uint64_t payload);

// The forty optional operator functions, in this order.
inline constexpr std::array<std::string_view, 40> kValueKindOperators = {
    "__repr__",  "__str__",      "__bool__",     "__getitem__", "__pos__",      "__neg__",  "__invert__",
    "__abs__",   "__add__",      "__radd__",     "__sub__",     "__rsub__",     "__mul__",  "__rmul__",
    "__truediv__", "__rtruediv__", "__floordiv__", "__rfloordiv__", "__mod__",  "__rmod__", "__divmod__",
    "__rdivmod__", "__pow__",    "__rpow__",     "__lshift__",  "__rlshift__",  "__rshift__", "__rrshift__",
    "__and__",   "__rand__",     "__xor__",      "__rxor__",    "__or__",       "__ror__",  "__eq__",
    "__ne__",    "__lt__",       "__le__",       "__gt__",      "__ge__",
};

// A function pointer of any signature, cast back to its own type where it is called.
using AnyFn = void (*)();

struct ValueKindBase {
    enum Tag : std::uint64_t { Kind = 0, Float = 1, Complex = 2 } tag = Kind;
    const ValueKindDef* kind = nullptr;
};

struct ValueKindDef {
    std::string_view name;
    NativeModuleFn constructor = nullptr;
    std::span<const NativeFunction> methods;
    std::span<const NativeProperty> properties;
    std::span<const ValueKindBase> bases;
    // Unary for __repr__, __str__, __bool__, __pos__, __neg__, __invert__, __abs__; binary for the
    // rest. Null entries are inherited.
    std::array<AnyFn, 40> operators{};
    NativeModuleFn call_hook = nullptr;
    KindScalarFn scalar_hook = nullptr;
};

// The 24 value kinds in registration order; kind k is type identity 43 + k. Built once.
const std::vector<const ValueKindDef*>& value_kind_list();
// Entry k, or null when k is not below 24.
const ValueKindDef* value_kind_at(std::uint64_t k);

}  // namespace tw::py
