// The `_collections` native module: the `defaultdict` constructor, a dict carrying the factory
// that subscription calls for a missing key.
#include <fmt/format.h>

#include <array>

#include "python/objects/descriptors.h"
#include "python/stdlib/native_rows.h"
#include "python/vm/call.h"

namespace tw::py {

namespace {

PyResult<Value> defaultdict(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_positional(call, "defaultdict", 1, 1); !ok) return fail(std::move(ok.error()));
    const Value factory = call.positional[0];
    if (!rt.is_callable(factory))
        return fail(PyError::type_error(fmt::format("expected a callable, got {}", rt.type_name(factory))));
    return rt.new_defaultdict(factory);
}

constexpr std::array kFunctions{NativeFunction{"_collections", "defaultdict", &defaultdict, nullptr}};

}  // namespace

extern const NativeModule kCollectionsNativeModule{"_collections", kFunctions, {}};

}  // namespace tw::py
