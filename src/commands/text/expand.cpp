#include "base/sat.h"
#include "commands/text/layout_args.h"
#include "commands/text/layout_commands.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {
constexpr std::uint64_t kLongRun = 65536;
}

// Turns every tab into the spaces up to the next tab stop. Every other character counts as one
// column; a line feed starts the count again.
void expand_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const auto parsed = tab_args_parse("expand", invocation.args);
    const auto input = layout_input_text(step, invocation, io, parsed, "expand");
    if (!input) return;
    const std::string& text = *input;
    const std::uint64_t tab = parsed->tab_size;
    std::uint64_t column = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\t') {
            const std::uint64_t spaces = tab - column % tab;
            // A huge tab size must not build a buffer larger than the output budget allows.
            if (spaces > kLongRun) {
                const std::uint64_t remaining = invocation.sys.output_remaining();
                if (sat_add(io.out.size(), spaces) >= remaining) {
                    invocation.sys.charge_output(sat_add(remaining, 1));
                    step = NativeStep::finished(invocation.sys.exhausted_status());
                    return;
                }
            }
            io.out.append(spaces, ' ');
            column += spaces;
            continue;
        }
        io.out += c;
        if (c == '\n') column = 0;
        else if (utf8_char_start(c)) ++column;
    }
    step = NativeStep::finished(0);
}

}  // namespace tw
