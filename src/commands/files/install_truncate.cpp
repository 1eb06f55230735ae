// install and truncate: write whole files with a chosen mode or a chosen size.
#include <algorithm>
#include <charconv>
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
#include "kernel/vfs_path.h"

namespace tw {
namespace {

constexpr std::uint64_t kMaxInstallReadBytes = 67108864;

// The mode of an install mode text: octal, or symbolic clauses of r, w and x applied to 0o755.
std::optional<std::uint32_t> install_mode(std::optional<std::string_view> text) {
    if (!text) return 0755u;
    if (text->empty()) return std::nullopt;
    if (text->find_first_not_of("01234567") == std::string_view::npos) {
        std::uint32_t value = 0;
        const auto [ptr, ec] = std::from_chars(text->data(), text->data() + text->size(), value, 8);
        if (ec != std::errc{} || ptr != text->data() + text->size()) return std::nullopt;
        return value & 07777u;
    }
    std::size_t start = 0;
    while (start <= text->size()) {
        const std::size_t end = std::min(text->find(',', start), text->size());
        const std::string_view clause = text->substr(start, end - start);
        start = end + 1;
        const std::size_t op = clause.find_first_of("+-=");
        if (op == std::string_view::npos) return std::nullopt;
        if (clause.substr(0, op).find_first_not_of("agou") != std::string_view::npos) return std::nullopt;
        const std::string_view letters = clause.substr(op + 1);
        if (letters.empty() || letters.find_first_not_of("rwx") != std::string_view::npos) return std::nullopt;
    }
    return apply_mode(*text, 0755);
}

bool is_exhausted(const SyscallError& error) { return error.kind == SyscallError::Kind::ResourceExhausted; }

std::int32_t install_directories(Syscalls& sys, std::span<const std::string_view> operands, std::uint32_t mode,
                                 Bytes& err) {
    if (operands.empty()) {
        push_message(err, "install", "missing operand");
        return kFileStatusFailed;
    }
    const std::string cwd = sys.getcwd();
    std::int32_t status = kFileStatusOk;
    for (std::string_view operand : operands) {
        if (!sys.charge_cpu(1)) return sys.exhausted_status();
        auto made = sys.mkdir_all(cwd, operand);
        if (made) made = sys.chmod(cwd, operand, mode);
        if (!made) {
            if (is_exhausted(made.error())) return sys.exhausted_status();
            push_cannot(err, "install", "create directory", operand, made.error());
            status = kFileStatusFailed;
        }
    }
    return status;
}

}  // namespace

std::int32_t install_command(NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    bool leading = false;
    bool directory = false;
    std::optional<std::string_view> mode_text;
    std::vector<std::string_view> operands;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        auto take_mode = [&]() -> bool {
            if (i + 1 == args.size()) return false;
            mode_text = args[++i];
            return true;
        };
        if (options_done || arg == "-" || !arg.starts_with('-')) {
            operands.push_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-D") {
            leading = true;
        } else if (arg == "-d" || arg == "--directory") {
            directory = true;
        } else if (arg == "-Dm" || arg == "-m" || arg == "--mode") {
            if (arg == "-Dm") leading = true;
            if (!take_mode()) {
                push_message(io.err, "install", "option requires an argument -- 'm'");
                return kFileStatusUsage;
            }
        } else if (arg.starts_with("-Dm")) {
            leading = true;
            mode_text = arg.substr(3);
        } else if (arg.starts_with("--mode=")) {
            mode_text = arg.substr(7);
        } else if (arg.starts_with("-m")) {
            mode_text = arg.substr(2);
        } else {
            push_message(io.err, "install", fmt::format("unimplemented option '{}'", arg));
            return kFileStatusUsage;
        }
    }
    if (leading && directory) {
        push_message(io.err, "install", "options '-D' and '-d' cannot be combined");
        return kFileStatusUsage;
    }
    const auto mode = install_mode(mode_text);
    if (!mode) {
        push_message(io.err, "install", fmt::format("invalid mode '{}'", *mode_text));
        return kFileStatusFailed;
    }
    Syscalls& sys = invocation.sys;
    if (directory) return install_directories(sys, operands, *mode, io.err);
    if (operands.size() < 2) {
        push_message(io.err, "install", "missing destination file operand");
        return kFileStatusFailed;
    }
    const std::string cwd = sys.getcwd();
    const std::string_view destination = operands.back();
    auto dest_stat = sys.stat(cwd, destination, true);
    const bool into_directory = dest_stat && stat_is_directory(*dest_stat);
    const auto sources = std::span(operands).first(operands.size() - 1);
    if (sources.size() > 1 && (!into_directory || leading)) {
        push_message(io.err, "install", fmt::format("target '{}' is not a directory", destination));
        return kFileStatusFailed;
    }
    const std::uint64_t limit = std::min(sys.limits().memory, kMaxInstallReadBytes);
    std::int32_t status = kFileStatusOk;
    for (std::string_view source : sources) {
        const std::string target = into_directory ? target_in_directory(destination, source) : std::string(destination);
        auto content = sys.read_file(cwd, source, limit);
        if (!content) {
            push_cannot(io.err, "install", "stat", source, content.error());
            status = kFileStatusFailed;
            continue;
        }
        if (!sys.charge_cpu(content->size())) return sys.exhausted_status();
        Result<void, SyscallError> written;
        if (!leading) {
            written = sys.write_file_mode(cwd, target, std::move(*content), *mode);
            if (written) written = sys.chmod(cwd, target, *mode);
        } else {
            const std::string absolute = path_join_normalize(cwd, target);
            if (auto st = sys.stat("/", absolute, true); st && stat_is_directory(*st))
                written = std::unexpected(SyscallError::is_directory());
            else
                written = sys.write_file("/", absolute, std::move(*content), *mode);
        }
        if (!written) {
            if (is_exhausted(written.error())) return sys.exhausted_status();
            push_cannot(io.err, "install", "create regular file", target, written.error());
            status = kFileStatusFailed;
        }
    }
    return status;
}

namespace {

enum class SizeAdjust : std::uint8_t { Set, Extend, Reduce };

struct TruncateSize {
    SizeAdjust adjust = SizeAdjust::Set;
    std::uint64_t bytes = 0;
};

std::optional<TruncateSize> parse_truncate_size(std::string_view text) {
    TruncateSize size;
    if (text.starts_with('+')) size.adjust = SizeAdjust::Extend, text.remove_prefix(1);
    else if (text.starts_with('-')) size.adjust = SizeAdjust::Reduce, text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t letters = text.size();
    while (letters > 0 && ((text[letters - 1] >= 'a' && text[letters - 1] <= 'z') ||
                           (text[letters - 1] >= 'A' && text[letters - 1] <= 'Z')))
        --letters;
    const std::string_view suffix = text.substr(letters);
    const auto number = parse_decimal_u64(text.substr(0, letters));
    if (!number) return std::nullopt;
    static constexpr std::pair<std::string_view, std::uint64_t> kSuffixes[] = {
        {"", 1},          {"K", 1024},        {"KiB", 1024},      {"M", 1048576},     {"MiB", 1048576},
        {"G", 1073741824}, {"GiB", 1073741824}, {"KB", 1000},       {"MB", 1000000},    {"GB", 1000000000},
    };
    for (const auto& [name, multiplier] : kSuffixes) {
        if (name != suffix) continue;
        if (__builtin_mul_overflow(*number, multiplier, &size.bytes)) return std::nullopt;
        return size;
    }
    return std::nullopt;
}

}  // namespace

std::int32_t truncate_command(NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    bool no_create = false;
    std::optional<std::string_view> size_text;
    std::vector<std::string_view> files;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (options_done || arg == "-" || !arg.starts_with('-')) {
            files.push_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-c" || arg == "--no-create") {
            no_create = true;
        } else if (arg == "-s" || arg == "--size") {
            if (i + 1 == args.size()) {
                push_message(io.err, "truncate", "option requires an argument -- 's'");
                return kFileStatusUsage;
            }
            size_text = args[++i];
        } else if (arg.starts_with("--size=")) {
            size_text = arg.substr(7);
        } else if (arg.starts_with("-s")) {
            size_text = arg.substr(2);
        } else {
            push_message(io.err, "truncate", fmt::format("unimplemented option '{}'", arg));
            return kFileStatusUsage;
        }
    }
    if (!size_text) {
        push_message(io.err, "truncate", "missing operand");
        return kFileStatusFailed;
    }
    const auto size = parse_truncate_size(*size_text);
    if (!size) {
        push_message(io.err, "truncate", fmt::format("invalid number: '{}'", *size_text));
        return kFileStatusFailed;
    }
    if (files.empty()) {
        push_message(io.err, "truncate", "missing file operand");
        return kFileStatusFailed;
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    std::int32_t status = kFileStatusOk;
    for (std::string_view file : files) {
        std::uint64_t current = 0;
        std::uint32_t mode = 0666;
        bool exists = false;
        if (auto st = sys.stat(cwd, file, true)) {
            if (!stat_is_regular(*st) || st->is_native) {
                push_message(io.err, "truncate", fmt::format("cannot open '{}': Not a file", file));
                status = kFileStatusFailed;
                continue;
            }
            current = st->size;
            mode = st->mode;
            exists = true;
        } else if (no_create) {
            continue;
        }
        std::uint64_t wanted = size->bytes;
        if (size->adjust == SizeAdjust::Extend) {
            if (__builtin_add_overflow(current, size->bytes, &wanted)) {
                push_message(io.err, "truncate", fmt::format("invalid number: '{}'", *size_text));
                status = kFileStatusFailed;
                continue;
            }
        } else if (size->adjust == SizeAdjust::Reduce) {
            wanted = sat_sub(current, size->bytes);
        }
        const std::uint64_t held = std::max(current, wanted);
        if (!sys.charge_cpu(sat_sub(wanted, current))) return sys.exhausted_status();
        if (!sys.charge_memory(held)) return sys.exhausted_status();
        Bytes content;
        if (exists) {
            auto read = sys.read_file(cwd, file, current);
            if (!read) {
                sys.release_memory(held);
                push_cannot(io.err, "truncate", "open", file, read.error());
                status = kFileStatusFailed;
                continue;
            }
            content = std::move(*read);
        }
        content.resize(wanted, '\0');
        auto written = sys.write_file_mode(cwd, file, std::move(content), mode);
        sys.release_memory(held);
        if (!written) {
            push_cannot(io.err, "truncate", "open", file, written.error());
            status = kFileStatusFailed;
        }
    }
    return status;
}

}  // namespace tw
