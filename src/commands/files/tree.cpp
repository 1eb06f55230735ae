// tree: a directory drawn with box-drawing connectors, walked with an explicit stack.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "commands/files/file_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr std::string_view kTee = "\u251c\u2500\u2500";     // ├──
constexpr std::string_view kCorner = "\u2514\u2500\u2500";  // └──
constexpr std::string_view kBar = "\u2502   ";             // │ and three spaces
constexpr std::string_view kBlank = "    ";

// One directory being drawn.
struct TreeFrame {
    std::string path;
    std::string prefix;
    std::uint64_t depth = 0;
    std::vector<std::string> names;
    std::size_t next = 0;
};

struct TreeCounts {
    std::uint64_t directories = 0;
    std::uint64_t files = 0;
};

// Draws everything below the directory `root`. 0, or the status to end with (1 after an
// unreadable entry, 137 after a refused charge).
std::int32_t tree_walk(Syscalls& sys, std::string_view cwd, std::string_view root, std::optional<std::uint64_t> level,
                       bool all, TreeCounts& counts, Bytes& out, Bytes& err) {
    std::vector<TreeFrame> stack;
    auto open = [&](std::string path, std::string prefix, std::uint64_t depth) -> bool {
        auto names = sys.read_dir(cwd, path);
        if (!names) {
            push_message(err, "tree", fmt::format("{}: {}", path, error_text(names.error())));
            return false;
        }
        if (!all) std::erase_if(*names, [](const std::string& n) { return n.starts_with('.'); });
        stack.push_back({std::move(path), std::move(prefix), depth, std::move(*names), 0});
        return true;
    };
    if (!open(std::string(root), "", 1)) return kFileStatusFailed;
    while (!stack.empty()) {
        TreeFrame& frame = stack.back();
        if (frame.next == frame.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::string& name = frame.names[frame.next++];
        const bool last = frame.next == frame.names.size();
        if (!sys.charge_cpu(1)) return sys.exhausted_status();
        const std::string child = target_in_directory(frame.path, name);
        auto st = sys.stat(cwd, child, false);
        if (!st) {
            push_message(err, "tree", fmt::format("{}: {}", child, error_text(st.error())));
            return kFileStatusFailed;
        }
        std::string line = fmt::format("{}{} {}", frame.prefix, last ? kCorner : kTee, name);
        if (stat_is_symlink(*st)) fmt::format_to(std::back_inserter(line), " -> {}", st->link_target.value_or(""));
        push_line(out, line);
        if (!stat_is_directory(*st)) {
            counts.files = sat_add(counts.files, 1);
            continue;
        }
        counts.directories = sat_add(counts.directories, 1);
        if (level && *level <= frame.depth) continue;
        std::string prefix = fmt::format("{}{}", frame.prefix, last ? kBlank : kBar);
        const std::uint64_t depth = frame.depth + 1;
        if (!open(child, std::move(prefix), depth)) return kFileStatusFailed;
    }
    return kFileStatusOk;
}

}  // namespace

std::int32_t tree_command(NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    bool all = false;
    std::optional<std::uint64_t> level;
    std::vector<std::string_view> operands;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg == "-" || !arg.starts_with('-')) {
            operands.push_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-a" || arg == "--all") {
            all = true;
        } else if (arg == "-L" || arg == "--level") {
            if (i + 1 == args.size()) {
                push_message(io.err, "tree", "option requires an argument -- 'L'");
                return kFileStatusUsage;
            }
            const auto value = parse_decimal_u64(args[++i]);
            if (!value || *value == 0) {
                push_message(io.err, "tree", "invalid level, must be greater than 0");
                return kFileStatusUsage;
            }
            level = *value;
        } else {
            push_message(io.err, "tree", fmt::format("unimplemented option '{}'", arg));
            return kFileStatusUsage;
        }
    }
    if (operands.size() > 1) {
        push_message(io.err, "tree", "too many operands");
        return kFileStatusUsage;
    }
    const std::string_view root = operands.empty() ? std::string_view(".") : operands.front();
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    auto st = sys.stat(cwd, root, false);
    if (!st) {
        push_message(io.err, "tree", fmt::format("{}: {}", root, error_text(st.error())));
        return kFileStatusFailed;
    }
    push_line(io.out, root);
    TreeCounts counts;
    if (stat_is_directory(*st)) {
        if (const std::int32_t status = tree_walk(sys, cwd, root, level, all, counts, io.out, io.err); status != 0)
            return status;
    } else {
        counts.files = 1;
    }
    push_line(io.out, "");
    push_line(io.out, fmt::format("{} director{}, {} file{}", counts.directories,
                                  counts.directories == 1 ? "y" : "ies", counts.files, counts.files == 1 ? "" : "s"));
    return kFileStatusOk;
}

}  // namespace tw
