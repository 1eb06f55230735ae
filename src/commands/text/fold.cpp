#include "commands/text/layout_args.h"
#include "commands/text/layout_commands.h"
#include "commands/util/text.h"

namespace tw {

// Breaks every line after each WIDTH characters (a tab counts as one); no breaking at spaces.
void fold_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const auto parsed = width_args_parse("fold", invocation.args, 80);
    const auto input = layout_input_text(step, invocation, io, parsed, "fold");
    if (!input) return;
    const std::string& text = *input;
    const std::uint64_t width = parsed->width;
    for_each_piece(text, '\n', [&](std::string_view line, bool terminated) {
        if (line.empty()) {
            io.out += '\n';
            return;
        }
        std::uint64_t in_chunk = 0;
        for (std::size_t i = 0; i < line.size(); ++i) {
            io.out += line[i];
            const bool char_ends = i + 1 == line.size() || utf8_char_start(line[i + 1]);
            if (char_ends && ++in_chunk == width) {
                io.out += '\n';
                in_chunk = 0;
            }
        }
        if (in_chunk > 0) io.out += '\n';
        if (!terminated) io.out.pop_back();
    });
    step = NativeStep::finished(0);
}

}  // namespace tw
