// The option scanners shared by the layout commands: a line width (fold, fmt) and a tab size
// (expand, unexpand). Error texts begin with the command's name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

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

}  // namespace tw
