#include <algorithm>

#include "base/utf8.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "kernel/vfs.h"
#include "commands/util/options.h"
#include "commands/util/text.h"

namespace tw {

// Each line's characters in reverse order; a line keeps its line feed, or its lack of one. A
// carriage return is an ordinary character here.
void rev_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    LentBytes storage;
    auto contents = command_gather_input(step, invocation, io, args.operands, "rev", storage);
    if (!contents) return;
    for_each_piece(*contents, '\n', [&](std::string_view line, bool terminated) {
        std::u32string chars = utf8_chars(utf8_lossy(line));
        std::reverse(chars.begin(), chars.end());
        for (char32_t c : chars) utf8_append(io.out, c);
        if (terminated) io.out += '\n';
    });
    step = NativeStep::finished(0);
}

}  // namespace tw
