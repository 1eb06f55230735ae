#include <algorithm>

#include "base/utf8.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "commands/util/options.h"

namespace tw {

// Each line's characters in reverse order; a line keeps its line feed, or its lack of one. A
// carriage return is an ordinary character here.
void rev_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    Bytes storage;
    auto contents = command_gather_input(step, invocation, io, args.operands, "rev", storage);
    if (!contents) return;
    const std::string_view text = *contents;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const bool has_newline = end != std::string_view::npos;
        if (!has_newline) end = text.size();
        std::u32string chars = utf8_chars(utf8_lossy(text.substr(start, end - start)));
        std::reverse(chars.begin(), chars.end());
        for (char32_t c : chars) utf8_append(io.out, c);
        if (has_newline) io.out += '\n';
        start = end + 1;
    }
    step = NativeStep::finished(0);
}

}  // namespace tw
