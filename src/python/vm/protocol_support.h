// Small helpers shared by the object-protocol sources: early returns on failures, and the
// registry, meter and native charges of a runtime context.
#pragma once

#include <string>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/vm/exec_state.h"
#include "python/vm/runtime_context.h"

// Binds `var` to the value of a PyResult or returns its error.
#define TW_PY_TRY_ASSIGN(var, expr)                        \
    auto var##_r = (expr);                                 \
    if (!var##_r) return fail(std::move(var##_r.error())); \
    auto var = std::move(*var##_r)
// Returns the error of a PyStatus or PyResult.
#define TW_PY_TRY(expr) \
    if (auto tw_s = (expr); !tw_s) return fail(std::move(tw_s.error()))

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
