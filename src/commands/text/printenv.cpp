#include <string>
#include <string_view>

#include "commands/text/line_commands.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {

std::map<std::string, std::string, std::less<>> exported_environment(const NativeInvocation& invocation) {
    std::map<std::string, std::string, std::less<>> env;
    for (const std::string& entry : invocation.sys.environment()) {
        const std::size_t eq = entry.find('=');
        if (eq == std::string::npos) env.try_emplace(entry);
        else env.try_emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

std::int32_t printenv_command(NativeInvocation& invocation, CommandIo& io) {
    if (invocation.args.empty()) {
        for (const std::string& entry : invocation.sys.environment()) push_line(io.out, entry);
        return 0;
    }
    const auto env = exported_environment(invocation);
    std::int32_t status = 0;
    for (const std::string& name : invocation.args) {
        auto it = env.find(name);
        if (it != env.end()) push_line(io.out, it->second);
        else status = 1;
    }
    return status;
}

}  // namespace tw
