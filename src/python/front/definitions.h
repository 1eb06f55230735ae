// Static definitions: references to the native things compiled into the module (native modules,
// functions, methods, getters, value kinds, slot wrappers, builtin functions and types, the
// builtin exception classes and a few singletons), and their compact native handles.
//
// `intern_static_definition` turns a definition into a native handle Value (kind byte, index).
// Row references are interned in process-wide registries, each behind a read-write lock, so the
// same row yields the same handle in every machine of the process for the life of the process.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "python/heap/value.h"

namespace tw::py {

struct NativeModule;
struct NativeFunction;
struct NativeProperty;
struct ValueKindDef;

enum class DefinitionTag : std::uint8_t {
    Module = 0,
    Function = 1,
    BuiltinType = 2,
    NativeFunction = 3,
    NativeMethod = 4,
    NativeClassMethod = 5,
    SlotWrapper = 6,
    NativeGetter = 7,
    ValueKind = 8,
    Stream = 9,
    Environment = 10,
    ExceptionType = 11,
    TypingList = 12,
    Ellipsis = 13,
    NotImplemented = 14,
    NoReceiver = 15,
};

struct StaticDefinition {
    DefinitionTag tag = DefinitionTag::NoReceiver;
    const NativeModule* module = nullptr;      // Module
    const NativeFunction* function = nullptr;  // NativeFunction, NativeMethod, NativeClassMethod
    const NativeProperty* getter = nullptr;    // NativeGetter
    const ValueKindDef* value_kind = nullptr;  // ValueKind
    // Function: the builtin function id; BuiltinType: the type identity; Stream: the stream
    // number; SlotWrapper: the slot number.
    std::uint32_t number = 0;
    std::uint32_t owner = 0;   // SlotWrapper: the owner type identity
    std::string_view name;     // ExceptionType: the class name

    static StaticDefinition of_module(const NativeModule* m) { return {DefinitionTag::Module, m}; }
    static StaticDefinition of_function(std::uint8_t id) {
        StaticDefinition d{DefinitionTag::Function};
        d.number = id;
        return d;
    }
    static StaticDefinition of_builtin_type(std::uint32_t id) {
        StaticDefinition d{DefinitionTag::BuiltinType};
        d.number = id;
        return d;
    }
    static StaticDefinition of_native_function(const NativeFunction* f) {
        return {DefinitionTag::NativeFunction, nullptr, f};
    }
    static StaticDefinition of_native_method(const NativeFunction* f) {
        return {DefinitionTag::NativeMethod, nullptr, f};
    }
    static StaticDefinition of_native_class_method(const NativeFunction* f) {
        return {DefinitionTag::NativeClassMethod, nullptr, f};
    }
    static StaticDefinition of_slot_wrapper(std::uint8_t slot, std::uint32_t owner) {
        StaticDefinition d{DefinitionTag::SlotWrapper};
        d.number = slot;
        d.owner = owner;
        return d;
    }
    static StaticDefinition of_getter(const NativeProperty* p) {
        StaticDefinition d{DefinitionTag::NativeGetter};
        d.getter = p;
        return d;
    }
    static StaticDefinition of_value_kind(const ValueKindDef* k) {
        StaticDefinition d{DefinitionTag::ValueKind};
        d.value_kind = k;
        return d;
    }
    static StaticDefinition of_stream(std::uint8_t n) {
        StaticDefinition d{DefinitionTag::Stream};
        d.number = n;
        return d;
    }
    static StaticDefinition of_exception(std::string_view name) {
        StaticDefinition d{DefinitionTag::ExceptionType};
        d.name = name;
        return d;
    }
    static StaticDefinition of(DefinitionTag payload_free) { return {payload_free}; }

    friend bool operator==(const StaticDefinition&, const StaticDefinition&) = default;
};

// The native handle of a definition. Broken invariants: "every builtin function has a name",
// "exception type must come from the closed exception table".
Value intern_static_definition(const StaticDefinition& d);
// The handle kind of each definition tag.
NativeKind native_kind_of(DefinitionTag tag);
// The shared registry of native methods and class methods.
std::uint32_t definition_registry_intern(const NativeFunction* row);

// The row at a registry position, or null when the position does not exist.
const NativeFunction* definition_registry_get(std::uint64_t index);
const NativeModule* module_registry_get(std::uint64_t index);
const NativeFunction* native_function_registry_get(std::uint64_t index);
const NativeProperty* native_getter_registry_get(std::uint64_t index);
const ValueKindDef* value_kind_registry_get(std::uint64_t index);

// The builtin function table: 38 rows of name and builtin function id.
struct BuiltinFunctionRow {
    std::string_view name;
    std::uint8_t id;
};
inline constexpr std::size_t kBuiltinFunctionRows = 38;
extern const std::array<BuiltinFunctionRow, kBuiltinFunctionRows> kBuiltinFunctions;
// The name of the first row with the id ("exit" for 4, which "quit" shares); a broken invariant
// when no row has it.
std::string_view builtin_function_name(std::uint8_t id);
// The enumerator name of a builtin function id, for debug texts: "Print", ..., "Vars".
std::string_view builtin_function_enumerator(std::uint8_t id);

// The closed exception table: 73 rows. An empty parent marks the root; an empty second base
// marks none. The flag tells whether the class is bound in builtins.
struct ExceptionClassRow {
    std::string_view name;
    std::string_view module;
    std::string_view parent;
    std::string_view second_base;
    std::uint64_t builtins_flag;
};
inline constexpr std::size_t kExceptionClassRows = 73;
extern const std::array<ExceptionClassRow, kExceptionClassRows> kExceptionClasses;
// Linear search from row 0; null when absent.
const ExceptionClassRow* exception_class_by_name(std::string_view name);
std::optional<std::uint32_t> exception_class_row(std::string_view name);

}  // namespace tw::py
