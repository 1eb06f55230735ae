// str.format and the printf-style % of str, over the value protocols.
#pragma once

#include <optional>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"

namespace tw::py {

class NativeRuntime;
class TypeRegistry;
class Symbols;

// The __mod__ slot of str: text % values (not applicable when self is not a str).
PyResult<std::optional<Value>> str_percent_slot(NativeRuntime& rt, Value self, Value operand);
// The str.format row (a class of its own, attached to str beside the other rows).
const NativeClass& str_format_native_class();
// Attaches the str.format row to str.
void attach_str_format_rows(TypeRegistry& registry, Symbols& symbols);

}  // namespace tw::py
