// The `_sys` native module: the facts of the running program (its arguments, the module search
// path, the standard streams, the module table) and `exit`. The stored module `sys` builds the
// usual API on it.
#include <fmt/format.h>

#include <array>
#include <limits>

#include "python/objects/descriptors.h"
#include "python/stdlib/native_rows.h"
#include "python/types/native_args.h"
#include "python/vm/protocols.h"
#include "python/vm/call.h"
#include "python/vm/runtime_context.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

PyResult<Value> sys_exit(NativeRuntime& rt, NativeCall call) {
    TRY_DO(expect_positional(call, "sys.exit", 0, 1));
    const Value code = call.positional.empty() ? Value::none() : call.positional[0];
    if (code.is_none()) return fail(PyError::exit(0));
    TRY_ASSIGN(category, rt.value_category(code));
    if (category == ValueCategory::Int || category == ValueCategory::Bool) {
        const std::optional<std::int64_t> n = code.is_bool() ? std::optional<std::int64_t>(code.as_bool()) : rt.to_i64(code);
        const bool fits = n && *n >= std::numeric_limits<std::int32_t>::min() && *n <= std::numeric_limits<std::int32_t>::max();
        return fail(PyError::exit(fits ? std::int32_t(*n) : 1));
    }
    // Any other value is a message for the user: its text goes to standard error.
    TRY_ASSIGN(text, rt.to_str(code));
    TRY_DO(python_write_stdio(rt.context(), 2, text + "\n"));
    return fail(PyError::exit(1));
}

PyResult<Value> sys_modules(NativeRuntime& rt, NativeCall call) {
    if (auto ok = expect_positional(call, "sys.modules", 0, 0); !ok) return fail(std::move(ok.error()));
    return rt.sys_modules();
}

// The `__name__` of the module of the frame `depth` levels above the caller.
PyResult<Value> sys_getframemodulename(NativeRuntime& rt, NativeCall call) {
    constexpr std::string_view kName = "_getframemodulename";
    for (const auto& [keyword, value] : call.keywords)
        if (keyword != "depth")
            return fail(PyError::type_error(fmt::format("{}() got an unexpected keyword argument '{}'", kName, keyword)));
    TRY_ASSIGN(keyword_depth, native_keyword_value(call.keywords, kName, "depth"));
    const std::size_t given = call.positional.size() + (keyword_depth ? 1 : 0);
    if (given > 1) return fail(PyError::type_error(fmt::format("{}() takes at most 1 argument ({} given)", kName, given)));
    std::uint64_t depth = 0;
    const std::optional<Value> argument = keyword_depth ? keyword_depth : call.positional.empty()
                                                                            ? std::optional<Value>()
                                                                            : std::optional(call.positional[0]);
    if (argument) {
        TRY_ASSIGN(category, rt.value_category(*argument));
        if (category != ValueCategory::Int && category != ValueCategory::Bool)
            return fail(PyError::type_error(
                fmt::format("'{}' object cannot be interpreted as an integer", rt.type_name(*argument))));
        const std::optional<std::int64_t> n = rt.to_i64(*argument);
        // A depth beyond 64 bits is above every frame; a negative one is the caller's.
        depth = !n ? std::numeric_limits<std::uint64_t>::max() : *n < 0 ? 0 : std::uint64_t(*n);
    }
    return rt.frame_module_name(depth).value_or(Value::none());
}

PyResult<Value> sys_active_exception(NativeRuntime& rt, NativeCall call) {
    TRY_DO(expect_positional(call, "sys.exception", 0, 0));
    return rt.active_exception().value_or(Value::none());
}

PyResult<std::string> module_name(NativeRuntime& rt, Value name) {
    TRY_ASSIGN(text, rt.to_string(name));
    if (!text) return fail(PyError::type_error("module names must be strings"));
    return std::move(*text);
}

PyResult<Value> sys_set_module(NativeRuntime& rt, NativeCall call) {
    TRY_DO(expect_positional(call, "sys.modules.__setitem__", 2, 2));
    TRY_ASSIGN(name, module_name(rt, call.positional[0]));
    TRY_DO(rt.set_module(name, call.positional[1]));
    return Value::none();
}

PyResult<Value> sys_remove_module(NativeRuntime& rt, NativeCall call) {
    TRY_DO(expect_positional(call, "sys.modules.__delitem__", 1, 1));
    TRY_ASSIGN(name, module_name(rt, call.positional[0]));
    return Value::from_bool(rt.remove_module(name));
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
    NativeFunction{"sys", "_getframemodulename", &sys_getframemodulename, nullptr},
    NativeFunction{"sys", "active_exception", &sys_active_exception, nullptr},
    NativeFunction{"sys", "modules", &sys_modules, nullptr},
    NativeFunction{"sys", "set_module", &sys_set_module, nullptr},
    NativeFunction{"sys", "remove_module", &sys_remove_module, nullptr},
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
