#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::size_t kSuffixNames = 26 * 26;

struct SplitSettings {
    std::uint64_t lines = 1000;
    std::uint64_t bytes = 0;
    bool byte_mode = false;
    std::vector<std::string_view> operands;
};

Result<SplitSettings, std::string> parse_split_args(std::span<const std::string> args) {
    SplitSettings settings;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-l" || arg == "-b") {
            const auto count = i + 1 < args.size() ? parse_decimal_u64(args[++i]) : std::nullopt;
            if (!count || *count == 0)
                return std::unexpected(arg == "-l" ? "invalid line count" : "invalid byte count");
            if (arg == "-l") {
                settings.lines = *count;
            } else {
                settings.bytes = *count;
                settings.byte_mode = true;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return std::unexpected(fmt::format("unsupported option '{}'", arg));
        } else {
            settings.operands.push_back(arg);
        }
    }
    if (settings.operands.size() > 2) return std::unexpected("extra operand");
    return settings;
}

std::vector<std::string_view> chunks_of(std::string_view input, const SplitSettings& settings) {
    std::vector<std::string_view> chunks;
    if (settings.byte_mode) {
        for (std::size_t at = 0; at < input.size(); at += std::min<std::uint64_t>(settings.bytes, input.size() - at))
            chunks.push_back(input.substr(at, std::min<std::uint64_t>(settings.bytes, input.size() - at)));
        return chunks;
    }
    std::size_t start = 0;
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] != '\n' || ++count < settings.lines) continue;
        chunks.push_back(input.substr(start, i + 1 - start));
        start = i + 1;
        count = 0;
    }
    if (start < input.size()) chunks.push_back(input.substr(start));
    return chunks;
}

}  // namespace

// Cuts the input into files PREFIXaa, PREFIXab, ... of a number of lines or of bytes each.
void split_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    auto parsed = parse_split_args(invocation.args);
    if (!parsed) {
        push_message(io.err, "split", parsed.error());
        step = NativeStep::finished(1);
        return;
    }
    const SplitSettings& settings = *parsed;
    const std::string_view input_name = settings.operands.empty() ? "-" : settings.operands[0];
    const std::string_view prefix = settings.operands.size() > 1 ? settings.operands[1] : "x";
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    Bytes file_bytes;
    std::string_view input;
    if (input_name == "-") {
        if (auto s = command_read_stdin(invocation, io)) {
            step = *s;
            return;
        }
        input = io.in;
    } else {
        auto bytes = command_read_file(sys, input_name);
        if (!bytes) {
            push_message(io.err, "split", fmt::format("{}: {}", input_name, error_text(bytes.error())));
            step = NativeStep::finished(1);
            return;
        }
        file_bytes = std::move(*bytes);
        input = file_bytes;
    }

    const std::uint64_t length = input.size();
    const std::uint64_t memory = sat_add(sat_mul(2, length), sat_mul(24, std::min<std::uint64_t>(length, kSuffixNames)));
    if (!sys.charge_cpu(length) || !sys.charge_memory(memory)) {
        step = NativeStep::finished(sys.exhausted_status());
        return;
    }
    const std::uint32_t mode = 0666u & ~static_cast<std::uint32_t>(sys.umask());
    const std::vector<std::string_view> chunks = chunks_of(input, settings);
    std::int32_t status = 0;
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        if (k == kSuffixNames) {
            push_message(io.err, "split", "output file suffixes exhausted");
            status = 1;
            break;
        }
        const std::string name = fmt::format("{}{}{}", prefix, static_cast<char>('a' + k / 26), static_cast<char>('a' + k % 26));
        auto written = sys.write_file_mode(cwd, name, Bytes(chunks[k]), mode);
        if (!written) {
            push_message(io.err, "split", fmt::format("{}: {}", name, error_text(written.error())));
            status = 1;
            break;
        }
    }
    sys.release_memory(memory);
    step = NativeStep::finished(status);
}

}  // namespace tw
