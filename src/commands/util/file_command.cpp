#include "commands/util/file_command.h"

#include <fmt/format.h>

#include "base/utf8.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

bool report_unimplemented_option(std::string_view command, std::span<const char32_t> flags,
                                 std::string_view allowed,
                                 std::span<const std::pair<std::string_view, std::string_view>> long_options,
                                 Bytes& err) {
    for (char32_t flag : flags) {
        if (flag < 0x80 && allowed.find(static_cast<char>(flag)) != std::string_view::npos) continue;
        std::string letter;
        utf8_append(letter, flag);
        push_message(err, command, fmt::format("unimplemented option '-{}'", letter));
        return true;
    }
    if (!long_options.empty()) {
        push_message(err, command, fmt::format("unimplemented option '--{}'", long_options.front().first));
        return true;
    }
    return false;
}

bool report_unimplemented_option(std::string_view command, const CommandArgs& args, std::string_view allowed,
                                 Bytes& err) {
    return report_unimplemented_option(command, args.flags, allowed, args.long_options, err);
}

std::string operand_path(Syscalls& sys, std::string_view operand) {
    return path_join_normalize(sys.getcwd(), operand);
}

Result<FileStat, SyscallError> stat_operand(Syscalls& sys, std::string_view operand, bool follow) {
    return sys.stat(sys.getcwd(), operand, follow);
}

std::string target_in_directory(std::string_view directory, std::string_view source) {
    while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
    while (source.size() > 1 && source.back() == '/') source.remove_suffix(1);
    const std::string_view name = vfs_file_name(source);
    if (directory == "/") return fmt::format("/{}", name);
    return fmt::format("{}/{}", directory, name);
}

void push_cannot(Bytes& err, std::string_view command, std::string_view verb, std::string_view operand,
                 const SyscallError& error) {
    push_message(err, command, fmt::format("cannot {} '{}': {}", verb, operand, error_text(error)));
}

void push_failure(Bytes& err, std::string_view command, const SyscallError& error) {
    push_message(err, command, error_text(error));
}

std::optional<std::int32_t> charge_work(Syscalls& sys, std::uint64_t units) {
    if (sys.charge_cpu(units)) return std::nullopt;
    return sys.exhausted_status();
}

}  // namespace tw
