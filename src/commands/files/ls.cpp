// ls: names one per line, or the fixed long layout (constant owner, group, link count and date).
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "commands/files/file_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

struct LsOptions {
    bool long_form = false;
    bool all = false;         // -a: hidden names, "." and ".."
    bool almost_all = false;  // -A: hidden names only
    bool recursive = false;
    bool directory = false;   // -d: operands themselves
};

std::string_view trim_trailing_slashes(std::string_view text) {
    while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
    return text;
}

std::string permission_text(std::uint32_t mode) {
    std::string text(9, '-');
    static constexpr char kLetters[] = {'r', 'w', 'x'};
    for (int i = 0; i < 9; ++i)
        if (mode & (0400u >> i)) text[static_cast<std::size_t>(i)] = kLetters[i % 3];
    return text;
}

void filter_names(std::vector<std::string>& names, const LsOptions& options) {
    if (options.all) {
        names.insert(names.begin(), {".", ".."});
        return;
    }
    if (options.almost_all) return;
    std::erase_if(names, [](const std::string& name) { return name.starts_with('.'); });
}

// Prints one listing: the entries of a directory (directory mode, with the total line in the long
// form) or a single operand (operand mode).
void print_listing(Syscalls& sys, std::string_view cwd, std::string_view dir_text,
                   const std::vector<std::string>& names, bool long_form, bool operand_mode, Bytes& out) {
    if (!long_form) {
        for (const std::string& name : names) push_line(out, name);
        return;
    }
    std::uint64_t total = 0;
    std::vector<std::string> lines;
    lines.reserve(names.size());
    const std::string_view trimmed = dir_text == "/" ? std::string_view{} : trim_trailing_slashes(dir_text);
    for (const std::string& name : names) {
        std::string path;
        if (name.starts_with('/')) {
            path = name;
        } else if (name == ".") {
            path = dir_text;
        } else if (name == "..") {
            const std::string dir = path_join_normalize(cwd, dir_text);
            path = std::string(vfs_parent_path(dir).value_or("/"));
        } else {
            path = fmt::format("{}/{}", trimmed, name);
        }
        char type = '-';
        std::uint32_t mode = 0644;
        std::uint64_t size = 0;
        std::string arrow;
        if (auto st = sys.stat(cwd, path, false)) {
            if (stat_is_directory(*st)) type = 'd';
            if (stat_is_symlink(*st)) {
                type = 'l';
                arrow = fmt::format(" -> {}", st->link_target.value_or(""));
            }
            mode = st->mode;
            size = st->size;
            total = sat_add(total, st->blocks - st->blocks / 2);
        }
        lines.push_back(fmt::format("{}{} 1 root root {:>6} Jan  1 00:00 {}{}", type, permission_text(mode), size,
                                    name, arrow));
    }
    if (!operand_mode) push_line(out, fmt::format("total {}", total));
    for (const std::string& line : lines) push_line(out, line);
}

// Whether any "/"-separated component of a relative path begins with ".".
bool has_hidden_component(std::string_view relative) {
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        if (end > start && relative[start] == '.') return true;
        start = end + 1;
    }
    return false;
}

// The listings below a directory operand, in walk order. False when the walk failed or a work
// charge was refused (`charge_refused` tells which).
bool list_recursively(Syscalls& sys, std::string_view cwd, std::string_view operand, const LsOptions& options,
                      Bytes& out, bool& charge_refused) {
    const std::string base = path_join_normalize(cwd, operand);
    auto walk = sys.walk_tree(cwd, operand);
    if (!walk) return false;
    if (!sys.charge_cpu(walk->size())) {
        charge_refused = true;
        return false;
    }
    const std::string_view shown = operand == "/" ? std::string_view{} : trim_trailing_slashes(operand);
    for (std::size_t i = 1; i < walk->size(); ++i) {
        const std::string& path = (*walk)[i];
        auto st = sys.stat("/", path, false);
        if (!st || !stat_is_directory(*st)) continue;
        std::string_view relative = path;
        if (relative.starts_with(base)) relative.remove_prefix(base.size());
        while (relative.starts_with('/')) relative.remove_prefix(1);
        if (!options.all && !options.almost_all && has_hidden_component(relative)) continue;
        const std::string display = fmt::format("{}/{}", shown, relative);
        auto names = sys.read_dir("/", path);
        std::vector<std::string> entries = names ? std::move(*names) : std::vector<std::string>{};
        filter_names(entries, options);
        push_line(out, "");
        push_line(out, fmt::format("{}:", display));
        print_listing(sys, cwd, display, entries, options.long_form, false, out);
    }
    return true;
}

}  // namespace

std::int32_t ls_command(NativeInvocation& invocation, CommandIo& io) {
    Syscalls& sys = invocation.sys;
    LsOptions options;
    std::vector<std::string_view> operands;
    bool options_done = false;
    for (const std::string& arg : invocation.args) {
        if (options_done || arg == "-" || !arg.starts_with('-')) {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg.starts_with("--")) {
            push_message(io.err, "ls", fmt::format("unimplemented option '{}'", arg));
            return kFileStatusUsage;
        }
        for (char c : std::string_view(arg).substr(1)) {
            switch (c) {
            case 'l': options.long_form = true; break;
            case 'a': options.all = true; break;
            case 'A': options.almost_all = true; break;
            case 'R': options.recursive = true; break;
            case 'd': options.directory = true; break;
            case '1': break;
            default:
                push_message(io.err, "ls", fmt::format("unimplemented option '-{}'", std::string(1, c)));
                return kFileStatusUsage;
            }
        }
    }
    const std::string cwd = sys.getcwd();
    if (operands.empty()) operands.push_back(cwd);
    const bool headers = operands.size() > 1 || options.recursive;

    std::int32_t status = kFileStatusOk;
    for (std::string_view operand : operands) {
        auto print_operand = [&] {
            if (!sys.stat(cwd, operand, false)) {
                push_message(io.err, "ls", fmt::format("cannot access '{}': No such file or directory", operand));
                status = kFileStatusUsage;
                return;
            }
            print_listing(sys, cwd, ".", {std::string(operand)}, options.long_form, true, io.out);
        };
        if (options.directory) {
            print_operand();
            continue;
        }
        auto st = sys.stat(cwd, operand, true);
        if (!st || !stat_is_directory(*st)) {
            print_operand();
            continue;
        }
        auto names = sys.read_dir(cwd, operand);
        if (!names) {
            push_failure(io.err, "ls", names.error());
            status = kFileStatusUsage;
            continue;
        }
        filter_names(*names, options);
        if (headers) push_line(io.out, fmt::format("{}:", operand));
        print_listing(sys, cwd, operand, *names, options.long_form, false, io.out);
        if (!options.recursive) continue;
        bool charge_refused = false;
        if (!list_recursively(sys, cwd, operand, options, io.out, charge_refused)) {
            if (charge_refused) return sys.exhausted_status();
            status = kFileStatusUsage;
        }
    }
    return status;
}

}  // namespace tw
