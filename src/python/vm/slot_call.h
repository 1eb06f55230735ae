// Calling one dunder slot of a value's type: builtin slot functions, native method rows and the
// methods program classes define, answered alike. The result is the slot's value, or none when
// the type does not implement the slot (or its function answers "not applicable"), so that the
// caller can fall back to the reflected operation or to a default.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/types.h"

namespace tw::py {

struct RuntimeContext;

// Calls slot `slot` of the receiver's type with `args` after the receiver.
PyResult<std::optional<Value>> invoke_slot_wrapper(RuntimeContext& ctx, Value receiver, DunderSlot slot,
                                                   std::string_view dunder, std::vector<Value> args);
// The same with the slot's own dunder name.
inline PyResult<std::optional<Value>> invoke_slot(RuntimeContext& ctx, Value receiver, DunderSlot slot,
                                                  std::vector<Value> args = {}) {
    return invoke_slot_wrapper(ctx, receiver, slot, dunder_name(slot), std::move(args));
}
// Whether the receiver's type fills the slot.
PyResult<bool> has_slot(RuntimeContext& ctx, Value receiver, DunderSlot slot);

}  // namespace tw::py
