#include <string>
#include <vector>

#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct CommArgs {
    bool show[3] = {true, true, true};
    std::vector<std::string_view> operands;
};

// comm's own reading of its arguments: any argument of two or more characters that begins with a
// dash (before "--") is a cluster of option letters, so "-12" suppresses columns 1 and 2 (the
// general splitter would take it for a negative number). Letters other than 1, 2 and 3, and long
// options, are ignored.
CommArgs parse_comm_args(std::span<const std::string> args) {
    CommArgs parsed;
    bool ended = false;
    for (const std::string& arg : args) {
        const std::string_view a = arg;
        if (ended || a.size() < 2 || a[0] != '-') {
            parsed.operands.push_back(a);
        } else if (a == "--") {
            ended = true;
        } else if (a[1] != '-') {
            for (char c : a.substr(1))
                if (c >= '1' && c <= '3') parsed.show[c - '1'] = false;
        }
    }
    return parsed;
}

}  // namespace

// Compares two line lists in one merge: lines only in the first (column 1), only in the second
// (column 2), in both (column 3). Each shown column is indented by one tab per shown column
// before it.
void comm_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const CommArgs args = parse_comm_args(invocation.args);
    if (args.operands.size() < 2) {
        push_message(io.err, "comm", "missing operand");
        step = NativeStep::finished(1);
        return;
    }
    const std::string_view operands[2] = {args.operands[0], args.operands[1]};
    if (command_await_stdin(step, invocation, io, operands)) return;
    std::vector<std::string> lists[2];
    for (int k = 0; k < 2; ++k) {
        LentBytes storage;
        const auto contents = command_gather_input(step, invocation, io, std::span(&operands[k], 1), "comm", storage);
        if (!contents) return;
        lists[k] = text_lines(*contents);
    }
    std::string prefix[3];
    for (int c = 1; c < 3; ++c) prefix[c] = prefix[c - 1] + (args.show[c - 1] ? "\t" : "");
    const auto write = [&](int column, const std::string& line) {
        if (!args.show[column]) return;
        io.out += prefix[column];
        push_line(io.out, line);
    };
    const auto& a = lists[0];
    const auto& b = lists[1];
    std::size_t i = 0, j = 0;
    while (i < a.size()) {
        if (j < b.size() && !(a[i] < b[j])) {
            if (b[j] < a[i]) {
                write(1, b[j++]);
            } else {
                write(2, a[i]);
                ++i, ++j;
            }
        } else {
            write(0, a[i++]);
        }
    }
    while (j < b.size()) write(1, b[j++]);
    step = NativeStep::finished(0);
}

}  // namespace tw
