#include <fmt/format.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/text/line_commands.h"
#include "commands/util/io.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct TailCount {
    bool bytes = false;       // bytes, else lines
    bool from_start = false;  // "+N": from the N-th unit on, else the last N units
    std::uint64_t n = 10;
};

struct TailArgs {
    TailCount count;
    std::vector<std::string_view> operands;
};

// The value of -n or -c as written. Lines: one leading "+", then one leading "-", are removed;
// bytes: every leading "+" and "-". A leading "+" counts from the start.
std::optional<TailCount> parse_count_value(std::string_view value, bool bytes) {
    TailCount count;
    count.bytes = bytes;
    count.from_start = !value.empty() && value.front() == '+';
    std::string_view digits = value;
    if (bytes) {
        while (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    } else {
        if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
        if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
    }
    auto n = parse_decimal_u64(digits);
    if (!n) return std::nullopt;
    count.n = *n;
    return count;
}

// Scans the arguments; on a usage error writes the message and gives the status to finish with.
std::optional<std::int32_t> scan_tail_args(std::span<const std::string> args, TailArgs& out, Bytes& err) {
    bool ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (ended) {
            out.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            ended = true;
            continue;
        }
        if (a.size() >= 2 && a[0] == '-' && (a[1] == 'n' || a[1] == 'c')) {
            const bool bytes = a[1] == 'c';
            std::string_view value;
            if (a.size() > 2) {
                value = a.substr(2);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                push_message(err, "tail", fmt::format("option requires an argument -- '{}'", a[1]));
                return 1;
            }
            auto count = parse_count_value(value, bytes);
            if (!count) {
                push_message(err, "tail", fmt::format("invalid number of {}: {}", bytes ? "bytes" : "lines", value));
                return 1;
            }
            out.count = *count;
            continue;
        }
        if (a.size() >= 2 && a[0] == '+') {
            auto n = parse_decimal_u64(a.substr(1));
            if (!n) {
                push_message(err, "tail", fmt::format("invalid number of lines: {}", a));
                return 1;
            }
            out.count = TailCount{false, true, *n};
            continue;
        }
        if (a.size() >= 2 && a[0] == '-' && all_decimal_digits(a.substr(1))) {
            auto n = parse_decimal_u64(a.substr(1));
            if (!n) {
                push_message(err, "tail", fmt::format("invalid number of lines: {}", a));
                return 1;
            }
            out.count = TailCount{false, false, *n};
            continue;
        }
        if (a == "-f" || a == "-F") {
            push_message(err, "tail", "unimplemented follow mode");
            return 2;
        }
        if (a.size() >= 2 && a[0] == '-') {
            push_message(err, "tail", fmt::format("unimplemented option '{}'", a));
            return 2;
        }
        out.operands.push_back(a);
    }
    return std::nullopt;
}

// The part of `data` that the count selects.
std::string_view tail_select(std::string_view data, const TailCount& count) {
    if (count.bytes) {
        if (count.from_start) {
            const std::uint64_t skip = count.n <= 1 ? 0 : count.n - 1;
            return skip >= data.size() ? std::string_view{} : data.substr(skip);
        }
        return count.n >= data.size() ? data : data.substr(data.size() - count.n);
    }
    if (count.from_start) {
        std::uint64_t skip = count.n <= 1 ? 0 : count.n - 1;
        std::size_t pos = 0;
        while (skip > 0 && pos < data.size()) {
            const std::size_t nl = data.find('\n', pos);
            if (nl == std::string_view::npos) return {};
            pos = nl + 1;
            --skip;
        }
        return data.substr(pos);
    }
    if (count.n == 0) return {};
    // Walk back over line ends: the last line may lack its own.
    std::size_t end = data.size();
    if (end > 0 && data[end - 1] == '\n') --end;
    std::uint64_t wanted = count.n;
    std::size_t start = end;
    while (start > 0) {
        const std::size_t nl = data.rfind('\n', start - 1);
        if (nl == std::string_view::npos) return data;
        if (--wanted == 0) return data.substr(nl + 1);
        start = nl;
    }
    return data;
}

}  // namespace

void tail_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    TailArgs args;
    if (auto status = scan_tail_args(invocation.args, args, io.err)) {
        step = NativeStep::finished(*status);
        return;
    }
    if (args.operands.empty()) args.operands.push_back("-");
    bool reads_stdin = false;
    for (std::string_view op : args.operands) reads_stdin = reads_stdin || op == "-";
    if (reads_stdin) {
        if (auto s = command_read_stdin(invocation, io)) {
            step = *s;
            return;
        }
    }
    const bool headers = args.operands.size() >= 2;
    bool printed_header = false;
    std::int32_t status = 0;
    for (std::string_view op : args.operands) {
        Bytes file;
        std::string_view data;
        if (op == "-") {
            data = io.in;
        } else {
            auto read = command_read_file(invocation.sys, op);
            if (!read) {
                push_message(io.err, "tail", fmt::format("{}: {}", op, error_text(read.error())));
                status = 1;
                continue;
            }
            file = std::move(*read);
            data = file;
        }
        if (headers) {
            if (printed_header) io.out += '\n';
            printed_header = true;
            io.out += fmt::format("==> {} <==\n", op);
        }
        io.out += tail_select(data, args.count);
    }
    step = NativeStep::finished(status);
}

}  // namespace tw
