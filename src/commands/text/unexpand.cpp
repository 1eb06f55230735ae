#include "commands/text/layout_args.h"
#include "commands/text/layout_commands.h"
#include "commands/util/text.h"

namespace tw {

// Turns runs of spaces that reach a tab stop into tabs: only the leading blanks of each line, or
// with -a every run. A tab of the input ends the leading blanks and moves the column to its tab
// stop, so later stops are found where they show.
void unexpand_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const auto parsed = tab_args_parse("unexpand", invocation.args);
    const auto input = layout_input_text(step, invocation, io, parsed, "unexpand");
    if (!input) return;
    const std::string& text = *input;
    const std::uint64_t tab = parsed->tab_size;
    const bool all = parsed->all_blanks;
    std::uint64_t column = 0;
    std::uint64_t pending = 0;
    bool converting = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' && (converting || all)) {
            ++column;
            ++pending;
            if (column % tab == 0) {
                io.out += '\t';
                pending = 0;
            }
            continue;
        }
        io.out.append(pending, ' ');
        pending = 0;
        io.out += c;
        if (c == '\t') column += tab - column % tab;
        else if (utf8_char_start(c)) ++column;
        converting = c == '\n';
        if (converting) column = 0;
    }
    io.out.append(pending, ' ');
    step = NativeStep::finished(0);
}

}  // namespace tw
