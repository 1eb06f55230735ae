#include "commands/text/layout_args.h"

#include <fmt/format.h>

#include "commands/text/text_lines.h"
#include "commands/util/text.h"

namespace tw {

Result<WidthArgs, std::string> width_args_parse(std::string_view name, std::span<const std::string> args,
                                                std::uint64_t default_width) {
    WidthArgs parsed;
    parsed.width = default_width;
    const auto take_width = [&](std::string_view text) -> Result<void, std::string> {
        auto width = parse_decimal_u64(text);
        if (!width) return std::unexpected(fmt::format("{}: invalid width: {}", name, text));
        parsed.width = *width;
        return {};
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-w" || arg == "--width") {
            if (i + 1 >= args.size()) return std::unexpected(fmt::format("{}: option requires an argument", name));
            if (auto r = take_width(args[++i]); !r) return std::unexpected(r.error());
        } else if (arg.starts_with("--width=")) {
            if (auto r = take_width(arg.substr(8)); !r) return std::unexpected(r.error());
        } else if (arg.size() > 1 && arg[0] == '-') {
            return std::unexpected(fmt::format("{}: unsupported option '{}'", name, arg));
        } else {
            parsed.operands.push_back(arg);
        }
    }
    if (parsed.width == 0) return std::unexpected(fmt::format("{}: width must be positive", name));
    return parsed;
}

Result<TabArgs, std::string> tab_args_parse(std::string_view name, std::span<const std::string> args) {
    TabArgs parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-a" || arg == "--all") {
            parsed.all_blanks = true;
        } else if (arg == "-t" || arg == "--tabs") {
            if (i + 1 >= args.size()) return std::unexpected(fmt::format("{}: option requires an argument", name));
            const std::string_view text = args[++i];
            auto size = parse_decimal_u64(text);
            if (!size) return std::unexpected(fmt::format("{}: invalid tab size: {}", name, text));
            parsed.tab_size = *size;
        } else if (arg.starts_with("--tabs=")) {
            auto size = parse_decimal_u64(arg.substr(7));
            if (!size) return std::unexpected(fmt::format("{}: invalid tab size", name));
            parsed.tab_size = *size;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return std::unexpected(fmt::format("{}: unsupported option '{}'", name, arg));
        } else {
            parsed.operands.push_back(arg);
        }
    }
    if (parsed.tab_size == 0) return std::unexpected(fmt::format("{}: tab size must be positive", name));
    return parsed;
}

}  // namespace tw
