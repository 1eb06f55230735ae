// date (the machine's wall clock, always UTC) and sync.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "commands/system/system_commands.h"
#include "commands/system/timestamp.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr std::string_view kDefaultFormat = "%a %b %e %H:%M:%S UTC %Y";

std::int32_t date_refuse(CommandIo& io, std::string_view message) {
    push_message(io.err, "date", message);
    return 1;
}

}  // namespace

std::int32_t date_command(NativeInvocation& invocation, CommandIo& io) {
    // Only -u (and its long names) and one +FORMAT are modelled; every option that would read
    // another time (-d, -r, -s, ...) is refused rather than ignored.
    std::optional<std::string_view> format;
    bool options_done = false;
    for (const std::string& arg : invocation.args) {
        const std::string_view a = arg;
        if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && a.starts_with("--") ) {
            if (a == "--utc" || a == "--universal") continue;
            return date_refuse(io, fmt::format("unimplemented option '{}'", a.substr(0, a.find('='))));
        } else if (!options_done && a.size() > 1 && a.front() == '-') {
            for (char c : a.substr(1)) {
                if (c != 'u') return date_refuse(io, fmt::format("unimplemented option '-{}'", c));
            }
        } else if (a.starts_with('+')) {
            if (format) return date_refuse(io, fmt::format("extra operand '{}'", a));
            format = a.substr(1);
        } else {
            return date_refuse(io, fmt::format("unimplemented operand '{}'", a));
        }
    }
    auto now = invocation.sys.wall_time_ns();
    if (!now) {
        push_failure(io.err, "date", now.error());
        return 1;
    }
    auto text = format_timestamp(*now, format.value_or(kDefaultFormat));
    if (!text) return date_refuse(io, text.error());
    push_line(io.out, *text);
    return 0;
}

std::int32_t sync_command(NativeInvocation&, CommandIo&) { return 0; }

}  // namespace tw
