#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/sat.h"
#include "commands/text/line_commands.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct WcCounts {
    std::uint64_t lines = 0;
    std::uint64_t words = 0;
    std::uint64_t bytes = 0;
    std::uint64_t chars = 0;
};

constexpr std::array<bool, 256> kAsciiSpace = [] {
    std::array<bool, 256> t{};
    for (unsigned c : {0x09u, 0x0Au, 0x0Bu, 0x0Cu, 0x0Du, 0x20u}) t[c] = true;
    return t;
}();

// Counts of valid UTF-8 text: words are maximal runs of characters that are not White_Space.
void count_text(std::string_view text, WcCounts& counts) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    std::uint64_t words = 0, chars = 0, lines = 0;
    bool in_word = false;
    while (p < end) {
        const unsigned char b = *p;
        bool space;
        if (b < 0x80) {
            space = kAsciiSpace[b];
            lines += b == '\n';
            ++p;
        } else {
            space = is_white_space(next_valid_char(p));
        }
        ++chars;
        words += !space && !in_word;
        in_word = !space;
    }
    counts.lines = lines;
    counts.words = words;
    counts.chars = chars;
}

struct WcSelect {
    bool lines = false, words = false, bytes = false, chars = false;
};

// Lines and bytes need no decoding: a line feed never belongs to another character, whether
// the text is valid UTF-8 or not.
WcCounts count(std::string_view raw, const WcSelect& sel) {
    WcCounts counts;
    if (sel.words || sel.chars) {
        std::string storage;
        count_text(valid_utf8_view(raw, storage), counts);
    } else if (sel.lines) {
        counts.lines = count_byte(raw, '\n');
    }
    counts.bytes = raw.size();
    return counts;
}

void push_counts(std::string& out, const WcCounts& c, const WcSelect& sel, std::string_view name) {
    std::string line;
    auto field = [&](std::uint64_t n) {
        if (!line.empty()) line += ' ';
        line += fmt::format("{:>7}", n);
    };
    if (sel.lines) field(c.lines);
    if (sel.words) field(c.words);
    if (sel.bytes) field(c.bytes);
    if (sel.chars) field(c.chars);
    if (!name.empty()) {
        line += ' ';
        line += name;
    }
    const std::size_t first = line.find_first_not_of(" \t\n\v\f\r");
    push_line(out, first == std::string::npos ? std::string_view{} : std::string_view(line).substr(first));
}

}  // namespace

void wc_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    WcSelect sel;
    for (char32_t f : args.flags) {
        if (f == 'c') sel.bytes = true;
        else if (f == 'l') sel.lines = true;
        else if (f == 'm') sel.chars = true;
        else if (f == 'w') sel.words = true;
        else {
            push_message(io.err, "wc", "unimplemented option");
            step = NativeStep::finished(2);
            return;
        }
    }
    if (!sel.lines && !sel.words && !sel.bytes && !sel.chars) sel.lines = sel.words = sel.bytes = true;
    std::string out;
    if (args.operands.empty() && !sel.words && !sel.chars) {
        // Lines and bytes are counted as the input arrives; the counts wait in the fold state.
        Bytes local;
        Bytes& state = command_fold_state(invocation, local);
        WcCounts c;
        if (state.size() == sizeof c) std::memcpy(&c, state.data(), sizeof c);
        const bool pending = command_fold_stdin(step, invocation, io, [&](std::string_view bytes) {
            c.lines += count_byte(bytes, '\n');
            c.bytes += bytes.size();
        });
        state.assign(reinterpret_cast<const char*>(&c), sizeof c);
        if (pending) return;
        push_counts(out, c, sel, {});
        io.out += out;
        step = NativeStep::finished(0);
        return;
    }
    if (command_await_stdin(step, invocation, io, args.operands)) return;
    if (args.operands.empty()) {
        push_counts(out, count(io.in, sel), sel, {});
        io.out += out;
        step = NativeStep::finished(0);
        return;
    }
    std::int32_t status = 0;
    WcCounts total;
    Syscalls& sys = invocation.sys;
    for (std::string_view op : args.operands) {
        LentBytes contents;
        if (op == "-" || op == "/dev/stdin") {
            contents = LentBytes::borrowed(io.in);
        } else if (auto lent = sys.lend_file(sys.getcwd(), op, sys.limits().memory)) {
            contents = std::move(*lent);
        } else {
            push_message(io.err, "wc", fmt::format("{}: {}", op, error_text(lent.error())));
            status = 1;
            continue;
        }
        const WcCounts c = count(contents.view(), sel);
        total.lines = sat_add(total.lines, c.lines);
        total.words = sat_add(total.words, c.words);
        total.bytes = sat_add(total.bytes, c.bytes);
        total.chars = sat_add(total.chars, c.chars);
        push_counts(out, c, sel, op);
    }
    if (args.operands.size() > 1) push_counts(out, total, sel, "total");
    io.out += out;
    step = NativeStep::finished(status);
}

}  // namespace tw
