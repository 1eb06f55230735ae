// The `_sys` native module: the facts of the running program (its arguments, the module search
// path, the standard streams, the module table) and `exit`. The stored module `sys` builds the
// usual API on it.
#include <fmt/format.h>

#include <array>

#include "python/objects/descriptors.h"
#include "python/vm/builtins_io.h"
#include "python/vm/call.h"
#include "python/vm/runtime_context.h"

namespace tw::py {

namespace {

PyStatus expect_arguments(const NativeCall& call, std::string_view name, std::size_t low, std::size_t high) {
    if (call.positional.size() < low || call.positional.size() > high)
        return fail(PyError::type_error(
            fmt::format("{}() expected {}..={} positional arguments, got {}", name, low, high, call.positional.size())));
    if (!call.keywords.empty())
        return fail(PyError::type_error(fmt::format("{}() does not accept keyword arguments", name)));
    return {};
}

PyResult<Value> sys_exit(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_arguments(call, "sys.exit", 0, 1); !ok) return fail(std::move(ok.error()));
    return fail(builtin_exit(rt.context(), call));
}

PyResult<Value> sys_modules(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_arguments(call, "sys.modules", 0, 0); !ok) return fail(std::move(ok.error()));
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

NativeConstant text(std::string_view name, std::string_view value) {
    NativeConstant c;
    c.tag = ConstantTag::Str;
    c.name = name;
    c.text = value;
    return c;
}
NativeConstant lazy(std::string_view name, LazyBuilderFn builder) {
    NativeConstant c;
    c.tag = ConstantTag::Lazy;
    c.name = name;
    c.builder = builder;
    return c;
}
NativeConstant integer(std::string_view name, std::int64_t value) {
    NativeConstant c;
    c.tag = ConstantTag::Int;
    c.name = name;
    c.int_value = value;
    return c;
}

const std::array kConstants{
    text("version", "3.14.0 (tarnwick)"),
    text("version_info", "(3, 14, 0, 'final', 0)"),
    text("executable", "/usr/bin/python3.14"),
    text("prefix", "/usr"),
    integer("maxsize", INT64_MAX),
    lazy("argv", &sys_argv),
    lazy("path", &sys_path),
    lazy("stdin", &sys_stdin),
    lazy("stdout", &sys_stdout),
    lazy("stderr", &sys_stderr),
};

}  // namespace

extern const NativeModule kSysNativeModule{"_sys", kFunctions, kConstants};

}  // namespace tw::py
