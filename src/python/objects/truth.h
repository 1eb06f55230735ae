// Small operations the object model shares with the virtual machine: the truth of builtin values
// without calling methods, the exception class a raised value stands for, the error of an invalid
// int literal, and the representation of a str.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/heap/error.h"
#include "python/heap/value.h"

namespace tw::py {

class Heap;
class TypeRegistry;

// True or false when the value's kind decides it, none when a method must be asked (instances,
// classes, functions... are the caller's: they give "invalid Python value tag"). A stale handle is
// an error.
PyResult<std::optional<bool>> py_truth_fast(const Heap& heap, const Value& v);

// The builtin exception class name a value denotes: a native exception-type handle, or a class
// object whose type derives from an exception class; none otherwise.
std::optional<std::string_view> exception_identity(const Heap& heap, const TypeRegistry& registry, const Value& v);

// The Python repr of a str: quotes chosen as Python does, escapes for the quote, backslash and
// control characters.
std::string py_str_repr(std::string_view text);

// ValueError "invalid literal for int() with base {}: {}".
PyError py_int_parse_error(std::string_view text, std::uint32_t base);

}  // namespace tw::py
