#include <string>
#include <string_view>
#include <vector>

#include "commands/text/line_commands.h"
#include "commands/util/io.h"
#include "kernel/vfs.h"
#include "commands/util/options.h"
#include "commands/util/text.h"

namespace tw {

void tac_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    LentBytes contents;
    const auto content = command_gather_input(step, invocation, io, args.operands, "tac", contents);
    if (!content) return;
    std::string storage;
    const std::string_view text = valid_utf8_view(*content, storage);
    const std::vector<std::string_view> lines = split_lines(text);
    io.out.reserve(io.out.size() + text.size() + 1);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) push_line(io.out, *it);
    step = NativeStep::finished(0);
}

}  // namespace tw
