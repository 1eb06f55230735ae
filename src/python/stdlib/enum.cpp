// The `enum` module: its one name, `Enum`, is the runtime's builtin enumeration class; a class
// statement with it as a base makes the members.
#include <array>

#include "python/stdlib/native_rows.h"
#include "python/vm/call.h"

namespace tw::py {

namespace {

PyResult<Value> enum_class(NativeRuntime& rt) { return rt.static_value(1); }

constexpr std::array kConstants{lazy_constant("Enum", &enum_class)};

}  // namespace

extern const NativeModule kEnumNativeModule{"enum", {}, kConstants};

}  // namespace tw::py
