// Small helpers shared by the object-protocol sources: the registry, the meter and the native
// charges of a runtime context, and the early-return macros.
#pragma once

#include <string>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/vm/exec_state.h"
#include "python/vm/runtime_context.h"
#include "python/vm/try.h"

namespace tw::py::protocol {

inline TypeRegistry& types_of(RuntimeContext& ctx) { return ctx.interpreter->types; }
inline ResourceMeter& meter_of(RuntimeContext& ctx) { return ctx.machine.meter; }

// A native allocation refunded when the current runtime scope ends.
inline PyStatus charge_native(RuntimeContext& ctx, std::uint64_t bytes) {
    if (!meter_of(ctx).charge_memory(bytes)) return fail(PyError::resource(std::string(kMemoryLimitText)));
    ctx.heap.record_native_charge(bytes);
    return {};
}

}  // namespace tw::py::protocol
