// The interpreter and the test runner are reached from here only. The test runner is not built
// yet: it answers the way an unimplemented command does.
#include "commands/python_tools/python_launch.h"

#include <fmt/format.h>

#include "commands/python_tools/pip.h"
#include "python/mod/python_command.h"
#include "shell/command_io.h"

namespace tw {
namespace {

std::int32_t not_available(std::string_view name, Bytes& err) {
    fmt::format_to(std::back_inserter(err), "{}: not implemented in tarnwick\n", name);
    return 127;
}

// `python -m pip` and `python -m pytest` reach these commands. This file is linked whenever the
// commands are, so the registration is in place before any machine runs Python.
const bool kModuleCommandsRegistered = [] {
    py::register_python_module_command("pip", &pip_command_run);
    py::register_python_module_command("pytest", &run_pytest_tool);
    return true;
}();

}  // namespace

std::int32_t run_python_tool(Machine& m, std::span<const std::string> argv, Bytes input, Bytes& out, Bytes& err) {
    // The interpreter runs to its end here, with the command's whole input as its standard input.
    return py::run_python_sync(m, argv, out, err, std::move(input));
}

std::int32_t run_pytest_tool(Machine&, std::span<const std::string>, Bytes&, Bytes& err) {
    return not_available("pytest", err);
}

std::int32_t pytest_builtin(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    return run_pytest_tool(context.machine, args, io.out, io.err);
}

}  // namespace tw
