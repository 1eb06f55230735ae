// du: space of files and trees, walked depth first with an explicit stack of frames.
#include <deque>
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

struct DuOptions {
    bool all = false;
    bool summarize = false;
    bool total = false;
    bool apparent = false;
    DuUnit unit = DuUnit::Kib;
    std::optional<std::uint64_t> max_depth;
};

Result<std::uint64_t, std::string> parse_max_depth(std::string_view text) {
    if (auto value = parse_decimal_u64(text)) return *value;
    return std::unexpected(fmt::format("invalid maximum depth '{}'", text));
}

// The options and operands, or the message after "du: ".
Result<DuOptions, std::string> parse_du_options(std::span<const std::string> args,
                                                std::vector<std::string_view>& operands) {
    DuOptions o;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || !arg.starts_with('-')) {
            operands.push_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (arg.starts_with("--")) {
            const std::string_view body = std::string_view(arg).substr(2);
            if (body == "all") o.all = true;
            else if (body == "summarize") o.summarize = true;
            else if (body == "total") o.total = true;
            else if (body == "apparent-size") o.apparent = true;
            else if (body == "bytes") o.apparent = true, o.unit = DuUnit::Bytes;
            else if (body == "human-readable") o.unit = DuUnit::Human;
            else if (body.starts_with("max-depth=")) {
                auto depth = parse_max_depth(body.substr(10));
                if (!depth) return std::unexpected(std::move(depth.error()));
                o.max_depth = *depth;
            } else {
                return std::unexpected(fmt::format("unrecognized option '{}'", arg));
            }
        } else {
            for (std::size_t k = 1; k < arg.size(); ++k) {
                switch (arg[k]) {
                case 'a': o.all = true; break;
                case 'b': o.apparent = true, o.unit = DuUnit::Bytes; break;
                case 'c': o.total = true; break;
                case 'h': o.unit = DuUnit::Human; break;
                case 'k': o.unit = DuUnit::Kib; break;
                case 's': o.summarize = true; break;
                case 'd': {
                    std::string_view value;
                    if (k + 1 < arg.size()) value = std::string_view(arg).substr(k + 1);
                    else if (i + 1 < args.size()) value = args[++i];
                    else return std::unexpected(std::string("option requires an argument -- 'd'"));
                    auto depth = parse_max_depth(value);
                    if (!depth) return std::unexpected(std::move(depth.error()));
                    o.max_depth = *depth;
                    k = arg.size();
                    break;
                }
                default: return std::unexpected(fmt::format("invalid option -- '{}'", arg[k]));
                }
            }
        }
    }
    if (o.summarize && o.all) return std::unexpected(std::string("cannot both summarize and show all entries"));
    return o;
}

std::uint64_t node_size(const FileStat& st, bool apparent) { return apparent ? st.size : sat_mul(st.blocks, 512); }

// One directory being walked.
struct DuFrame {
    std::string path;
    std::deque<std::string> names;
    std::uint64_t depth = 0;
    std::uint64_t size = 0;
};

std::string plain_description(const SyscallError& error) {
    if (const VfsError* e = error.vfs_error()) return std::string(VfsError::description(e->kind));
    return error_text(error);
}

}  // namespace

std::string format_du_size(std::uint64_t bytes, DuUnit unit) {
    if (unit == DuUnit::Bytes) return fmt::format("{}", bytes);
    if (unit == DuUnit::Kib) return fmt::format("{}", bytes / 1024 + (bytes % 1024 != 0 ? 1 : 0));
    if (bytes < 1024) return fmt::format("{}", bytes);
    static constexpr char kSuffixes[] = {'K', 'M', 'G', 'T', 'P', 'E'};
    std::uint64_t scale = 1024;
    for (std::size_t i = 0; i < std::size(kSuffixes); ++i) {
        const bool last = i + 1 == std::size(kSuffixes);
        const std::uint64_t next = sat_mul(scale, 1024);
        if (next > bytes || last) {
            const unsigned __int128 scaled = static_cast<unsigned __int128>(bytes) * 10;
            const auto tenths = static_cast<std::uint64_t>(scaled / scale + (scaled % scale != 0 ? 1 : 0));
            if (tenths < 100) return fmt::format("{}.{}{}", tenths / 10, tenths % 10, kSuffixes[i]);
            const std::uint64_t whole = bytes / scale + (bytes % scale != 0 ? 1 : 0);
            if (whole <= 1023 || last) return fmt::format("{}{}", whole, kSuffixes[i]);
        }
        scale = next;
    }
    return fmt::format("{}", bytes);
}

std::int32_t du_command(NativeInvocation& invocation, CommandIo& io) {
    std::vector<std::string_view> operands;
    auto parsed = parse_du_options(invocation.args, operands);
    if (!parsed) {
        push_message(io.err, "du", parsed.error());
        return kFileStatusFailed;
    }
    const DuOptions& o = *parsed;
    if (operands.empty()) operands.push_back(".");
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    std::int32_t status = kFileStatusOk;
    std::uint64_t grand_total = 0;
    auto within_depth = [&](std::uint64_t depth) { return !o.max_depth || depth <= *o.max_depth; };
    auto print = [&](std::uint64_t size, std::string_view path) {
        push_line(io.out, fmt::format("{}\t{}", format_du_size(size, o.unit), path));
    };
    auto read_names = [&](std::string_view path) {
        auto names = sys.read_dir(cwd, path);
        if (names) return std::deque<std::string>(std::make_move_iterator(names->begin()),
                                                  std::make_move_iterator(names->end()));
        push_message(io.err, "du", fmt::format("cannot read directory '{}': {}", path, error_text(names.error())));
        status = kFileStatusFailed;
        return std::deque<std::string>{};
    };

    for (std::string_view operand : operands) {
        auto st = sys.stat(cwd, operand, false);
        if (!st) {
            push_message(io.err, "du", fmt::format("cannot access '{}': {}", operand, plain_description(st.error())));
            status = kFileStatusFailed;
            continue;
        }
        if (!stat_is_directory(*st)) {
            const std::uint64_t size = node_size(*st, o.apparent);
            grand_total = sat_add(grand_total, size);
            print(size, operand);
            continue;
        }
        std::vector<DuFrame> stack;
        stack.push_back({std::string(operand), read_names(operand), 0, node_size(*st, o.apparent)});
        while (!stack.empty()) {
            DuFrame& top = stack.back();
            if (top.names.empty()) {
                DuFrame done = std::move(top);
                stack.pop_back();
                if (o.summarize ? done.depth == 0 : within_depth(done.depth)) print(done.size, done.path);
                if (stack.empty()) grand_total = sat_add(grand_total, done.size);
                else stack.back().size = sat_add(stack.back().size, done.size);
                continue;
            }
            const std::string name = std::move(top.names.front());
            top.names.pop_front();
            if (!sys.charge_cpu(1)) return sys.exhausted_status();
            const std::string child = target_in_directory(top.path, name);
            auto child_stat = sys.stat(cwd, child, false);
            if (!child_stat) continue;
            const std::uint64_t depth = top.depth + 1;
            const std::uint64_t size = node_size(*child_stat, o.apparent);
            if (stat_is_directory(*child_stat)) {
                auto names = read_names(child);
                stack.push_back({child, std::move(names), depth, size});
                continue;
            }
            top.size = sat_add(top.size, size);
            if (!o.summarize && o.all && within_depth(depth)) print(size, child);
        }
    }
    if (o.total) print(grand_total, "total");
    return status;
}

}  // namespace tw
