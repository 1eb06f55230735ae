#include <fmt/format.h>

#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "kernel/vfs.h"
#include "commands/util/options.h"

namespace tw {

// Numbers the non-empty lines: the number right-aligned in six columns, a tab, the line. Empty
// lines are written empty and take no number. This command implements no option: each one is
// refused rather than ignored.
void nl_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    for (const std::string& arg : invocation.args) {
        if (arg == "--") break;
        if (arg.size() > 1 && arg[0] == '-') {
            push_message(io.err, "nl", fmt::format("unimplemented option '{}'", arg));
            step = NativeStep::finished(2);
            return;
        }
    }
    const CommandArgs args = CommandArgs::parse(invocation.args);
    LentBytes storage;
    auto contents = command_gather_input(step, invocation, io, args.operands, "nl", storage);
    if (!contents) return;
    std::uint64_t number = 1;
    for (const std::string& line : text_lines(*contents)) {
        if (line.empty()) {
            io.out += '\n';
            continue;
        }
        fmt::format_to(std::back_inserter(io.out), "{:>6}\t", number++);
        push_line(io.out, line);
    }
    step = NativeStep::finished(0);
}

}  // namespace tw
