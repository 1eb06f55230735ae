// chmod, chown and chgrp: permission bits and ownership. The machine has no user database: "root"
// is 0 and every other name 1000.
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "commands/files/file_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

std::optional<std::uint32_t> parse_u32(std::string_view text, int base) {
    std::uint32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

bool only_octal_digits(std::string_view text) {
    return text.find_first_not_of("01234567") == std::string_view::npos;
}

std::optional<std::uint32_t> parse_owner_id(std::string_view text) {
    if (text.empty()) return std::nullopt;
    if (text.find_first_not_of("0123456789") == std::string_view::npos)
        if (auto n = parse_u32(text, 10)) return n;
    return text == "root" ? 0u : 1000u;
}

// The paths one operand stands for: itself, or with `recursive` its whole tree.
Result<std::vector<std::string>, SyscallError> operand_paths(Syscalls& sys, std::string_view cwd,
                                                             std::string_view operand, bool recursive) {
    if (!recursive) return std::vector<std::string>{path_join_normalize(cwd, operand)};
    auto walk = sys.walk_tree(cwd, operand);
    if (!walk) return walk;
    if (!sys.charge_cpu(walk->size())) return std::unexpected(SyscallError::resource_exhausted());
    return walk;
}

}  // namespace

std::uint32_t apply_mode(std::string_view text, std::uint32_t current) {
    if (!text.empty() && only_octal_digits(text)) {
        if (auto value = parse_u32(text, 8)) return *value & 07777u;
        return current;
    }
    std::uint32_t mode = current;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        const std::string_view clause = text.substr(start, end - start);
        start = end + 1;
        const std::size_t op = clause.find_first_of("+-=");
        if (op == std::string_view::npos) continue;
        const std::string_view who = clause.substr(0, op);
        std::uint32_t mask = 0;
        if (who.empty() || who.find('a') != std::string_view::npos) {
            mask = 0777;
        } else {
            for (char c : who) mask |= c == 'u' ? 0700u : c == 'g' ? 0070u : c == 'o' ? 0007u : 0u;
        }
        std::uint32_t bits = 0;
        for (char c : clause.substr(op + 1)) bits |= c == 'r' ? 0444u : c == 'w' ? 0222u : c == 'x' ? 0111u : 0u;
        switch (clause[op]) {
        case '+': mode |= mask & bits; break;
        case '-': mode &= ~(mask & bits); break;
        default: mode = (mode & ~mask) | (bits & mask); break;
        }
    }
    return mode;
}

std::int32_t chmod_command(NativeInvocation& invocation, CommandIo& io) {
    bool recursive = false;
    std::optional<std::string_view> mode_text;
    std::vector<std::string_view> files;
    for (const std::string& arg : invocation.args) {
        if (arg == "-R" || arg == "--recursive") {
            recursive = true;
        } else if (!mode_text && !arg.starts_with('/') &&
                   (only_octal_digits(arg) || arg.find_first_of("+-=") != std::string::npos)) {
            mode_text = arg;
        } else {
            files.push_back(arg);
        }
    }
    if (!mode_text) {
        push_message(io.err, "chmod", "missing operand");
        return kFileStatusFailed;
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    std::int32_t status = kFileStatusOk;
    for (std::string_view file : files) {
        auto paths = operand_paths(sys, cwd, file, recursive);
        if (!paths) {
            if (paths.error().kind == SyscallError::Kind::ResourceExhausted) return sys.exhausted_status();
            push_failure(io.err, "chmod", paths.error());
            status = kFileStatusFailed;
            continue;
        }
        for (const std::string& path : *paths) {
            auto st = sys.stat("/", path, true);
            const std::uint32_t mode = apply_mode(*mode_text, st ? st->mode : 0644u);
            if (auto changed = sys.chmod("/", path, mode); !changed) {
                push_failure(io.err, "chmod", changed.error());
                status = kFileStatusFailed;
            }
        }
    }
    return status;
}

std::int32_t chown_command(NativeInvocation& invocation, CommandIo& io) {
    const std::string_view name = invocation.name;
    const bool is_chgrp = vfs_file_name(name) == "chgrp";
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option(name, args, "R", io.err)) return kFileStatusUsage;
    if (args.operands.empty()) {
        push_message(io.err, name, "missing operand");
        return kFileStatusFailed;
    }
    const std::string_view spec = args.operands.front();
    std::optional<std::uint32_t> owner;
    std::optional<std::uint32_t> group;
    if (is_chgrp) {
        if (spec.find(':') != std::string_view::npos) {
            push_message(io.err, "chgrp", fmt::format("invalid group '{}'", spec));
            return kFileStatusFailed;
        }
        group = parse_owner_id(spec);
    } else if (const std::size_t colon = spec.find(':'); colon != std::string_view::npos) {
        owner = parse_owner_id(spec.substr(0, colon));
        group = parse_owner_id(spec.substr(colon + 1));
    } else {
        owner = parse_owner_id(spec);
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    const bool recursive = args.has_flag('R');
    std::int32_t status = kFileStatusOk;
    for (std::string_view file : std::span(args.operands).subspan(1)) {
        auto paths = operand_paths(sys, cwd, file, recursive);
        if (!paths) {
            if (paths.error().kind == SyscallError::Kind::ResourceExhausted) return sys.exhausted_status();
            push_failure(io.err, name, paths.error());
            status = kFileStatusFailed;
            continue;
        }
        for (const std::string& path : *paths) {
            if (auto changed = sys.chown("/", path, owner, group); !changed) {
                push_failure(io.err, name, changed.error());
                status = kFileStatusFailed;
            }
        }
    }
    return status;
}

}  // namespace tw
