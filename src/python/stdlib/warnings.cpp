// The `_tarnwick_warnings` native module: where a warning was raised, for `warnings.warn`.
#include <fmt/format.h>

#include <array>
#include <limits>

#include "python/stdlib/native_rows.h"
#include "python/types/native_args.h"
#include "python/vm/call.h"

namespace tw::py {

namespace {

// caller(stacklevel): (script path, line) of the frame `stacklevel` levels above the one that
// called it (levels below 1 count as 1), or None when there is no such frame.
PyResult<Value> caller(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_positional(call, "caller", 1, 1); !ok) return fail(std::move(ok.error()));
    const Value level = call.positional[0];
    auto n = native_expect_int(rt, level, fmt::format("expected an integer index, got {}", rt.type_name(level)));
    if (!n) return fail(std::move(n.error()));
    std::uint64_t depth = 1;
    if (n->value && *n->value > 1) depth = std::uint64_t(*n->value);
    else if (!n->value && n->sign > 0) depth = std::numeric_limits<std::uint64_t>::max();
    auto location = rt.caller_location(depth);
    if (!location) return Value::none();
    auto path = rt.new_str(std::move(location->first));
    if (!path) return path;
    return rt.new_tuple({*path, Value::from_int(std::int64_t(location->second))});
}

constexpr std::array kFunctions{NativeFunction{"_tarnwick_warnings", "caller", &caller, nullptr}};

}  // namespace

extern const NativeModule kWarningsNativeModule{"_tarnwick_warnings", kFunctions, {}};

}  // namespace tw::py
