#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

// The first character of a delimiter text; a tab for an empty text.
char32_t first_char_or_tab(std::string_view text) {
    if (text.empty()) return U'\t';
    std::size_t pos = 0;
    return utf8_next_char(text, pos);
}

}  // namespace

// Sets the lines of its inputs side by side, joined by one delimiter character. "-" stands for
// all of standard input, each time it is named.
void paste_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    char32_t delimiter = U'\t';
    std::vector<std::string_view> operands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-d") {
            if (i + 1 < args.size()) delimiter = first_char_or_tab(args[++i]);
        } else if (arg.starts_with("-d")) {
            delimiter = first_char_or_tab(arg.substr(2));
        } else if (arg.size() > 1 && arg[0] == '-') {
            push_message(io.err, "paste", fmt::format("unimplemented option '{}'", arg));
            step = NativeStep::finished(2);
            return;
        } else {
            operands.push_back(arg);
        }
    }
    const bool wants_stdin = operands.empty() || std::ranges::find(operands, "-") != operands.end();
    if (wants_stdin) {
        if (auto s = command_read_stdin(invocation, io)) {
            step = *s;
            return;
        }
    }
    if (operands.empty()) {
        io.out += io.in;
        step = NativeStep::finished(0);
        return;
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    const std::uint64_t memory_limit = sys.limits().memory;
    std::uint64_t read_so_far = 0;
    std::vector<std::vector<std::string>> columns;
    for (std::string_view operand : operands) {
        if (operand == "-") {
            read_so_far = sat_add(read_so_far, io.in.size());
            columns.push_back(text_lines(io.in));
            continue;
        }
        auto bytes = sys.read_file(cwd, operand, sat_sub(memory_limit, read_so_far));
        if (!bytes) {
            push_message(io.err, "paste", fmt::format("{}: {}", operand, error_text(bytes.error())));
            step = NativeStep::finished(1);
            return;
        }
        read_so_far = sat_add(read_so_far, bytes->size());
        columns.push_back(text_lines(*bytes));
    }
    std::size_t rows = 0;
    for (const auto& column : columns) rows = std::max(rows, column.size());
    std::string separator;
    utf8_append(separator, delimiter);
    // Every "-" takes all of standard input again, so the output can be far larger than what was
    // read: its size is checked against the output budget before it is built.
    std::uint64_t total = sat_mul(rows, sat_add(1, sat_mul(columns.size() - (columns.empty() ? 0 : 1), separator.size())));
    for (const auto& column : columns)
        for (const std::string& line : column) total = sat_add(total, line.size());
    if (!command_output_fits(sys, io.out, total)) {
        step = NativeStep::finished(sys.exhausted_status());
        return;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c > 0) io.out += separator;
            if (r < columns[c].size()) io.out += columns[c][r];
        }
        io.out += '\n';
    }
    step = NativeStep::finished(0);
}

}  // namespace tw
