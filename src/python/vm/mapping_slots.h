// The engine's entries to the mapping and set slot functions of the builtin types, for code that
// holds a runtime context rather than the native runtime handle.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/types/mapping_types.h"

namespace tw::py {

struct RuntimeContext;

PyResult<std::optional<MappingPairs>> mapping_view(RuntimeContext& ctx, Value v);
PyResult<std::optional<Value>> call_mapping_slot(RuntimeContext& ctx, Value self, DunderSlot slot,
                                                 std::span<const Value> args);
PyResult<std::optional<std::string>> enum_member_text(RuntimeContext& ctx, Value self, DunderSlot slot);

}  // namespace tw::py
