// The str, bytes and bytearray rows that walk any iterable or look values up through the engine:
// str.join, bytes.join, bytearray.join and str.translate.
#pragma once

#include <optional>
#include <string_view>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"

namespace tw::py {

struct RuntimeContext;
class TypeRegistry;
class Symbols;

// Attaches join to str, bytes and bytearray, and translate to str.
void attach_text_rows(TypeRegistry& registry, Symbols& symbols);

// The result of calling the named conversion method (__index__, __float__) of a value whose class
// defines it; nothing when it has none. Builtin values are not asked.
PyResult<std::optional<Value>> call_number_method(RuntimeContext& ctx, Value v, std::string_view name);

}  // namespace tw::py
