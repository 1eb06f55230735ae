// The checks every native function makes of its arguments first, with their fixed messages.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/bigint.h"
#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"

namespace tw::py {

class NativeRuntime;

// TypeError "{}() does not accept keyword arguments" when there are any.
PyStatus native_reject_keywords(bool has_keywords, std::string_view name);
// TypeError "{}() expected {}..={} positional arguments, got {}".
PyStatus native_check_positional_arity(std::size_t count, std::string_view name, std::size_t minimum,
                                       std::size_t maximum);
// TypeError "{}() keyword argument {} is not implemented" for the first keyword not accepted.
PyStatus native_reject_unsupported_keywords(std::span<const std::pair<std::string, Value>> keywords,
                                            std::string_view name, std::span<const std::string_view> accepted);
// The value passed under a keyword; TypeError "{}() got multiple values for keyword {}".
PyResult<std::optional<Value>> native_keyword_value(std::span<const std::pair<std::string, Value>> keywords,
                                                    std::string_view name, std::string_view keyword);

// An owned copy of a str, or TypeError "expected a string, got {}".
PyResult<std::string> native_expect_str(NativeRuntime& rt, Value v);
// native_expect_callable is in number_runtime.h: it asks the engine's callable test.

// A real number: a 64-bit integer, a big integer or a float (no __float__ or __index__).
using RealNumber = std::variant<std::int64_t, tw::BigInt, double>;
// TypeError "must be real number, not {}" for anything else, complex included.
PyResult<RealNumber> native_expect_real(NativeRuntime& rt, Value v);

// An integer argument: its value when it fits 64 bits, else its sign (too large to fit).
struct NativeInt {
    std::optional<std::int64_t> value;
    int sign = 0;  // of a value that does not fit
};
// TypeError with the caller's message for a value that is no integer.
PyResult<NativeInt> native_expect_int(NativeRuntime& rt, Value v, std::string_view message);

}  // namespace tw::py
