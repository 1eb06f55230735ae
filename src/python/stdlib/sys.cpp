// The `_sys` native module: the facts of the running program (its arguments, the module search
// path, the standard streams, the module table) and `exit`. The stored module `sys` builds the
// usual API on it.
#include <fmt/format.h>

#include <array>

#include "python/objects/descriptors.h"
#include "python/stdlib/native_rows.h"
#include "python/vm/builtins_io.h"
#include "python/vm/call.h"
#include "python/vm/runtime_context.h"

namespace tw::py {

namespace {

PyResult<Value> sys_exit(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_positional(call, "sys.exit", 0, 1); !ok) return fail(std::move(ok.error()));
    return fail(builtin_exit(rt.context(), call));
}

PyResult<Value> sys_modules(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_positional(call, "sys.modules", 0, 0); !ok) return fail(std::move(ok.error()));
    return rt.sys_modules();
}

PyResult<Value> sys_argv(NativeRuntime& rt) {
    const auto argv = rt.context().argv;
    return rt.new_str_list(std::vector<std::string>(argv.begin(), argv.end()));
}
PyResult<Value> sys_path(NativeRuntime& rt) { return rt.search_path_list(); }
PyResult<Value> sys_stdin(NativeRuntime& rt) { return rt.static_value(4); }
PyResult<Value> sys_stdout(NativeRuntime& rt) { return rt.static_value(6); }
PyResult<Value> sys_stderr(NativeRuntime& rt) { return rt.static_value(7); }

constexpr std::array kFunctions{
    NativeFunction{"sys", "exit", &sys_exit, nullptr},
    NativeFunction{"sys", "modules", &sys_modules, nullptr},
};

constexpr std::array kConstants{
    text_constant("version", "3.14.0 (tarnwick)"),
    text_constant("version_info", "(3, 14, 0, 'final', 0)"),
    text_constant("executable", "/usr/bin/python3.14"),
    text_constant("prefix", "/usr"),
    int_constant("maxsize", INT64_MAX),
    lazy_constant("argv", &sys_argv),
    lazy_constant("path", &sys_path),
    lazy_constant("stdin", &sys_stdin),
    lazy_constant("stdout", &sys_stdout),
    lazy_constant("stderr", &sys_stderr),
};

}  // namespace

extern const NativeModule kSysNativeModule{"_sys", kFunctions, kConstants};

}  // namespace tw::py
