#include "commands/builtins/flock.h"

#include <charconv>
#include <optional>
#include <vector>

#include "kernel/machine.h"
#include "shell/command_io.h"
#include "shell/command_outcome.h"

namespace tw {
namespace {

constexpr std::string_view kPathLocking =
    "flock: path-and-command locking is not supported; use an open file descriptor\n";

std::optional<std::int32_t> parse_fd(std::string_view text) {
    std::string_view digits = text;
    if (digits.starts_with('-')) digits.remove_prefix(1);
    if (digits.empty() || digits[0] < '0' || digits[0] > '9') return std::nullopt;
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

void builtin_flock(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                   CommandIo& io) {
    std::uint8_t operation = 1;
    bool nonblocking = false;
    std::optional<std::string> operand;
    for (const std::string& arg : args) {
        if (arg == "-x" || arg == "--exclusive") operation = 1;
        else if (arg == "-s" || arg == "--shared") operation = 0;
        else if (arg == "-u" || arg == "--unlock") operation = 2;
        else if (arg == "-n" || arg == "--nonblock") nonblocking = true;
        else if (operand) {
            io.err += kPathLocking;
            outcome = CommandOutcome::done(2);
            return;
        } else {
            operand = arg;
        }
    }
    if (!operand) {
        io.err += "flock: missing file descriptor\n";
        outcome = CommandOutcome::done(2);
        return;
    }
    std::optional<std::int32_t> fd = parse_fd(*operand);
    if (!fd) {
        io.err += kPathLocking;
        outcome = CommandOutcome::done(2);
        return;
    }
    outcome = context.machine.resume_builtin(
        BuiltinContinuation{BuiltinContinuation::Flock{*fd, operation, nonblocking}});
}

}  // namespace tw
