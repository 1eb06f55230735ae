// The option scanners shared by the layout commands: a line width (fold, fmt) and a tab size
// (expand, unexpand). Error texts begin with the command's name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/utf8.h"
#include "commands/util/io.h"
#include "kernel/vfs.h"

namespace tw {

struct WidthArgs {
    std::uint64_t width = 0;
    std::vector<std::string_view> operands;
};
// "-w N", "--width N", "--width=N"; the last one wins; default `default_width`.
Result<WidthArgs, std::string> width_args_parse(std::string_view name, std::span<const std::string> args,
                                                std::uint64_t default_width);

struct TabArgs {
    std::uint64_t tab_size = 8;
    bool all_blanks = false;
    std::vector<std::string_view> operands;
};
// "-a", "--all", "-t N", "--tabs N", "--tabs=N".
Result<TabArgs, std::string> tab_args_parse(std::string_view name, std::span<const std::string> args);

// The input of a layout command as text (invalid UTF-8 replaced by U+FFFD), once `parsed` holds its
// arguments. Nothing when the handler must answer `step` at once: Finished(1) after the message of
// refused arguments, or what `command_gather_input` answers.
template <typename Args>
std::optional<std::string> layout_input_text(NativeStep& step, NativeInvocation& invocation, CommandIo& io,
                                             const Result<Args, std::string>& parsed, std::string_view name) {
    if (!parsed) {
        push_line(io.err, parsed.error());
        step = NativeStep::finished(1);
        return std::nullopt;
    }
    LentBytes storage;
    const auto contents = command_gather_input(step, invocation, io, parsed->operands, name, storage);
    if (!contents) return std::nullopt;
    return utf8_lossy(*contents);
}

}  // namespace tw
