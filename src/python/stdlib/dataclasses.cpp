// The `_dataclasses` native module: marks a class as a data class, so that calling it fills the
// annotated fields from the arguments.
#include <array>

#include "python/stdlib/native_rows.h"
#include "python/vm/call.h"

namespace tw::py {

namespace {

PyResult<Value> mark_dataclass(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_positional(call, "mark_dataclass", 1, 1); !ok) return fail(std::move(ok.error()));
    const Value cls = call.positional[0];
    auto category = rt.value_category(cls);
    if (!category) return fail(std::move(category.error()));
    if (*category != ValueCategory::Class) return fail(PyError::type_error("expected a class"));
    if (auto marked = rt.mark_dataclass(cls); !marked) return fail(std::move(marked.error()));
    return cls;
}

constexpr std::array kFunctions{NativeFunction{"_dataclasses", "mark_dataclass", &mark_dataclass, nullptr}};

}  // namespace

extern const NativeModule kDataclassesNativeModule{"_dataclasses", kFunctions, {}};

}  // namespace tw::py
