#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

// With -t, aligns the cells of each line in columns two spaces apart; cells are separated by runs
// of white space, or by the -s character. Without -t the input is copied unchanged.
void column_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    bool table = false;
    std::optional<char32_t> separator;
    std::vector<std::string_view> operands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-t" || arg == "--table") {
            table = true;
        } else if (arg == "-s" || arg == "--separator") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                push_message(io.err, "column", "missing separator");
                step = NativeStep::finished(1);
                return;
            }
            std::size_t pos = 0;
            separator = utf8_next_char(args[++i], pos);
        } else if (arg.size() > 1 && arg[0] == '-') {
            push_message(io.err, "column", fmt::format("unsupported option '{}'", arg));
            step = NativeStep::finished(1);
            return;
        } else {
            operands.push_back(arg);
        }
    }
    LentBytes storage;
    auto contents = command_gather_input(step, invocation, io, operands, "column", storage);
    if (!contents) return;
    if (!table) {
        io.out += *contents;
        step = NativeStep::finished(0);
        return;
    }
    std::vector<std::vector<std::string>> rows;
    std::vector<std::size_t> widths;
    for (const std::string& line : text_lines(*contents)) {
        std::vector<std::string> cells;
        if (separator) {
            cells = split_to_fields(line, *separator);
        } else {
            for (std::string_view word : split_whitespace(line)) cells.emplace_back(word);
        }
        if (widths.size() < cells.size()) widths.resize(cells.size(), 0);
        for (std::size_t c = 0; c < cells.size(); ++c) widths[c] = std::max(widths[c], utf8_char_count(cells[c]));
        rows.push_back(std::move(cells));
    }
    // One wide cell pads every other row out to its width, so the table can be far larger than
    // its input: its size is checked against the output budget before it is built.
    std::uint64_t total = 0;
    for (const auto& cells : rows) {
        total = sat_add(total, 1);
        for (std::size_t c = 0; c < cells.size(); ++c) {
            total = sat_add(total, cells[c].size());
            if (c + 1 < cells.size()) total = sat_add(total, widths[c] - utf8_char_count(cells[c]) + 2);
        }
    }
    if (!command_output_fits(invocation.sys, io.out, total)) {
        step = NativeStep::finished(invocation.sys.exhausted_status());
        return;
    }
    for (const auto& cells : rows) {
        for (std::size_t c = 0; c < cells.size(); ++c) {
            io.out += cells[c];
            if (c + 1 < cells.size()) io.out.append(widths[c] - utf8_char_count(cells[c]) + 2, ' ');
        }
        io.out += '\n';
    }
    step = NativeStep::finished(0);
}

}  // namespace tw
