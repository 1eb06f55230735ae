// Early returns on failure inside functions that give a PyResult or a PyStatus.
#pragma once

// Binds `var` to the value of a PyResult expression, or returns its error.
#define TRY_ASSIGN(var, expr)                              \
    auto var##_r = (expr);                                 \
    if (!var##_r) return fail(std::move(var##_r.error())); \
    auto var = std::move(*var##_r)
// Returns the error of a failed PyResult or PyStatus expression.
#define TRY_DO(expr) \
    if (auto tw_s = (expr); !tw_s) return fail(std::move(tw_s.error()))
