#include "commands/text/layout_args.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/text.h"

namespace tw {

// Refills paragraphs (separated by two line feeds) greedily to WIDTH characters; the input's own
// line breaks and indentation do not survive. Paragraphs are written one empty line apart.
void fmt_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const auto parsed = width_args_parse("fmt", invocation.args, 75);
    const auto input = layout_input_text(step, invocation, io, parsed, "fmt");
    if (!input) return;
    const std::string& text = *input;
    const std::uint64_t width = parsed->width;
    // Empty input has no paragraph at all (and writes nothing).
    std::size_t start = 0;
    bool first = true;
    while (!text.empty() && start <= text.size()) {
        std::size_t end = text.find("\n\n", start);
        if (end == std::string::npos) end = text.size();
        if (!first) io.out += '\n';
        first = false;
        std::uint64_t line_length = 0;
        for (std::string_view word : split_whitespace(std::string_view(text).substr(start, end - start))) {
            const std::uint64_t length = utf8_char_count(word);
            if (line_length > 0 && line_length + 1 + length <= width) {
                io.out += ' ';
                line_length += 1 + length;
            } else {
                if (line_length > 0) io.out += '\n';
                line_length = length;
            }
            io.out += word;
        }
        io.out += '\n';
        start = end + 2;
    }
    step = NativeStep::finished(0);
}

}  // namespace tw
