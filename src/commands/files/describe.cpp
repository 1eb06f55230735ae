// stat and file: describe nodes from their metadata or their content.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/utf8.h"
#include "commands/files/file_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr std::string_view kStatDirectives = "BFNUYabgnosu%";
constexpr std::uint64_t kMaxFileReadBytes = 67108864;

std::string_view kind_text(const FileStat& st) {
    if (stat_is_directory(st)) return "directory";
    if (stat_is_symlink(st)) return "symbolic link";
    return st.is_native ? "native executable" : "regular file";
}

std::string expand_format(std::string_view format, const FileStat& st, std::string_view operand) {
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            out.push_back(format[i]);
            continue;
        }
        const char d = format[++i];
        switch (d) {
        case 's': fmt::format_to(std::back_inserter(out), "{}", st.size); break;
        case 'b': fmt::format_to(std::back_inserter(out), "{}", st.blocks); break;
        case 'B': out += "512"; break;
        case 'o': out += "4096"; break;
        case 'n':
        case 'N': out += operand; break;
        case 'a': fmt::format_to(std::back_inserter(out), "{:o}", st.mode & 07777u); break;
        case 'U': out += "root"; break;
        case 'u': fmt::format_to(std::back_inserter(out), "{}", st.uid); break;
        case 'g': fmt::format_to(std::back_inserter(out), "{}", st.gid); break;
        case 'Y': fmt::format_to(std::back_inserter(out), "{}", st.mtime_ms / 1000); break;
        case 'F': out += kind_text(st); break;
        default: out.push_back('%'); break;  // "%%"
        }
    }
    return out;
}

}  // namespace

std::int32_t stat_command(NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    std::optional<std::string_view> format;
    bool follow = false;
    std::vector<std::string_view> operands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-c" || arg == "--format") {
            format = i + 1 < args.size() ? std::optional<std::string_view>(args[++i]) : std::nullopt;
        } else if (arg.starts_with("--format=")) {
            format = std::string_view(arg).substr(9);
        } else if (arg.starts_with("--printf=")) {
            format = std::string_view(arg).substr(9);
        } else if (arg == "-L" || arg == "--dereference") {
            follow = true;
        } else if (arg.starts_with('-')) {
            push_message(io.err, "stat", fmt::format("unimplemented option '{}'", arg));
            return kFileStatusUsage;
        } else {
            operands.push_back(arg);
        }
    }
    if (operands.empty()) {
        push_message(io.err, "stat", "missing operand");
        return kFileStatusFailed;
    }
    if (format) {
        for (std::size_t i = 0; i + 1 < format->size(); ++i) {
            if ((*format)[i] != '%') continue;
            const char d = (*format)[++i];
            if (kStatDirectives.find(d) == std::string_view::npos) {
                push_message(io.err, "stat", fmt::format("unimplemented format directive '%{}'", d));
                return kFileStatusUsage;
            }
        }
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    for (std::string_view operand : operands) {
        auto st = sys.stat(cwd, operand, follow);
        if (!st) {
            push_failure(io.err, "stat", st.error());
            return kFileStatusFailed;
        }
        if (format) {
            push_line(io.out, expand_format(*format, *st, operand));
        } else {
            push_line(io.out, fmt::format("  File: {}", operand));
            push_line(io.out, fmt::format("  Size: {}", st->size));
        }
    }
    return kFileStatusOk;
}

std::int32_t file_command(NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option("file", args, "", io.err)) return kFileStatusUsage;
    if (args.operands.empty()) {
        push_message(io.err, "file", "missing operand");
        return kFileStatusFailed;
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    const std::uint64_t limit = std::min(sys.limits().memory, kMaxFileReadBytes);
    std::int32_t status = kFileStatusOk;
    for (std::string_view operand : args.operands) {
        std::string description;
        if (auto bytes = sys.lend_file(cwd, operand, limit)) {
            description = bytes->size() == 0 ? "empty" : utf8_valid(bytes->view()) ? "ASCII text" : "data";
        } else if (auto st = sys.stat(cwd, operand, false); st && stat_is_directory(*st)) {
            description = "directory";
        } else {
            description = fmt::format("cannot open ({})", error_text(bytes.error()));
            status = kFileStatusFailed;
        }
        push_line(io.out, fmt::format("{}: {}", operand, description));
    }
    return status;
}

}  // namespace tw
