#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

// The permutation shuf applies: a Fisher-Yates shuffle driven by a fixed 32-bit linear
// congruential generator, so equal inputs always come out in the same order.
void shuf_permute(std::vector<std::string>& lines) {
    std::uint32_t state = 0x9E3779B9u;
    for (std::size_t i = lines.size(); i >= 2; --i) {
        state = state * 1664525u + 1013904223u;
        const std::size_t j = state % i;
        std::swap(lines[i - 1], lines[j]);
    }
}

}  // namespace

// Writes the lines of its input in a fixed pseudo-random order, or the first COUNT of them.
void shuf_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    std::optional<std::uint64_t> head_count;
    std::vector<std::string_view> operands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-n" || arg == "--head-count") {
            head_count = i + 1 < args.size() ? parse_decimal_u64(args[++i]) : std::nullopt;
            if (!head_count) {
                push_message(io.err, "shuf", "invalid line count");
                step = NativeStep::finished(1);
                return;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            push_message(io.err, "shuf", fmt::format("unsupported option '{}'", arg));
            step = NativeStep::finished(1);
            return;
        } else {
            operands.push_back(arg);
        }
    }
    if (operands.size() > 1) {
        push_message(io.err, "shuf", "extra operand");
        step = NativeStep::finished(1);
        return;
    }
    LentBytes storage;
    auto contents = command_gather_input(step, invocation, io, operands, "shuf", storage);
    if (!contents) return;
    if (!invocation.sys.charge_cpu(contents->size())) {
        step = NativeStep::finished(invocation.sys.exhausted_status());
        return;
    }
    std::vector<std::string> lines = text_lines(*contents);
    shuf_permute(lines);
    const std::size_t count = head_count ? std::min<std::uint64_t>(*head_count, lines.size()) : lines.size();
    for (std::size_t i = 0; i < count; ++i) push_line(io.out, lines[i]);
    step = NativeStep::finished(0);
}

}  // namespace tw
