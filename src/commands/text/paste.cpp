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

// The delimiter list of -d: its characters in order, with the escapes \t, \n, \\ and \0 (no
// delimiter); any other escaped character stands for itself.
std::vector<std::string> delimiter_list(std::string_view text) {
    std::vector<std::string> list;
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t c = utf8_next_char(text, pos);
        std::string item;
        if (c == U'\\' && pos < text.size()) {
            c = utf8_next_char(text, pos);
            if (c == U't') c = U'\t';
            else if (c == U'n') c = U'\n';
            if (c != U'0') utf8_append(item, c);
        } else {
            utf8_append(item, c);
        }
        list.push_back(std::move(item));
    }
    return list;
}

}  // namespace

// Sets the lines of its inputs side by side, joined by the delimiters of the list in turn. The
// "-" operands share standard input: each takes its next line in turn.
void paste_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    std::vector<std::string> delimiters{"\t"};
    std::vector<std::string_view> operands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-d") {
            if (i + 1 < args.size()) delimiters = delimiter_list(args[++i]);
        } else if (arg.starts_with("-d")) {
            delimiters = delimiter_list(arg.substr(2));
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
    std::vector<bool> shared;  // the column reads from the one standard-input cursor
    std::vector<std::string> stdin_lines;
    bool stdin_split = false;
    for (std::string_view operand : operands) {
        if (operand == "-") {
            if (!stdin_split) {
                read_so_far = sat_add(read_so_far, io.in.size());
                stdin_lines = text_lines(io.in);
                stdin_split = true;
            }
            columns.emplace_back();
            shared.push_back(true);
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
        shared.push_back(false);
    }
    // A row is written while any input still has a line for it.
    const std::size_t shared_count = static_cast<std::size_t>(std::ranges::count(shared, true));
    std::size_t rows = 0;
    for (std::size_t c = 0; c < columns.size(); ++c)
        if (!shared[c]) rows = std::max(rows, columns[c].size());
    if (shared_count > 0) rows = std::max(rows, (stdin_lines.size() + shared_count - 1) / shared_count);
    std::uint64_t delimiter_bytes = 0;
    for (const std::string& d : delimiters) delimiter_bytes = std::max<std::uint64_t>(delimiter_bytes, d.size());
    std::uint64_t total = sat_mul(rows, sat_add(1, sat_mul(columns.size(), delimiter_bytes)));
    for (const auto& column : columns)
        for (const std::string& line : column) total = sat_add(total, line.size());
    for (const std::string& line : stdin_lines) total = sat_add(total, line.size());
    if (!command_output_fits(sys, io.out, total)) {
        step = NativeStep::finished(sys.exhausted_status());
        return;
    }
    std::size_t next_stdin = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c > 0 && !delimiters.empty()) io.out += delimiters[(c - 1) % delimiters.size()];
            if (shared[c]) {
                if (next_stdin < stdin_lines.size()) io.out += stdin_lines[next_stdin++];
            } else if (r < columns[c].size()) {
                io.out += columns[c][r];
            }
        }
        io.out += '\n';
    }
    step = NativeStep::finished(0);
}

}  // namespace tw
