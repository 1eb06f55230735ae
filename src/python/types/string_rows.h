// Early returns of the str, bytes and bytearray method rows: the value of a result, or its error
// returned from the enclosing row.
#pragma once

#define TW_TRY(decl, expr)                                        \
    auto decl##_r = (expr);                                       \
    if (!decl##_r) return fail(std::move(decl##_r.error()));      \
    auto decl = std::move(*decl##_r)
#define TW_CHECK(expr)                                                       \
    do {                                                                     \
        if (auto tw_s = (expr); !tw_s) return fail(std::move(tw_s.error())); \
    } while (0)
