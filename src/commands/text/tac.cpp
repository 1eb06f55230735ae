#include <string>
#include <string_view>
#include <vector>

#include "commands/text/line_commands.h"
#include "commands/util/io.h"
#include "commands/util/options.h"

namespace tw {

namespace {

// The lines of `text` (valid UTF-8): split at line feeds, one carriage return before each line
// feed dropped; a last line without a line feed counts, an empty piece after the last one does not.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        std::string_view line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = nl + 1;
    }
    return lines;
}

}  // namespace

void tac_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    Bytes contents;
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
