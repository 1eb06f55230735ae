#include "shell/launch.h"

#include "kernel/machine.h"
#include "shell/parser.h"

namespace tw {

Result<void, std::string> Machine::launch_command(Pid pid, std::vector<std::string> argv, std::string_view word,
                                                  bool keep_argv0) {
    return std::unexpected(std::string("command launch is not available"));
}

Result<void, std::string> Machine::launch_argv(Pid pid, const std::vector<std::string>& argv) {
    return launch_command(pid, argv, argv.empty() ? std::string_view() : std::string_view(argv[0]), false);
}

Result<void, std::string> Machine::exec_argv(Pid pid, const std::vector<std::string>& argv) {
    return launch_argv(pid, argv);
}

Result<void, std::string> Machine::exec_reset(Pid pid) { return {}; }

Result<ShellCommandPtr, std::int32_t> Machine::parse_source(std::string_view source, Bytes& err) {
    return std::unexpected(2);
}

}  // namespace tw
