// cmp: byte equality of two files.
#include <fmt/format.h>

#include "commands/diff/diff_commands.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {

std::int32_t cmp_command(NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (args.operands.size() < 2) return 2;
    Syscalls& sys = invocation.sys;
    Bytes contents[2];
    for (int i = 0; i < 2; ++i) {
        auto bytes = command_read_file(sys, args.operands[i]);
        if (!bytes) {
            push_message(io.err, "cmp", fmt::format("{}: {}", args.operands[i], error_text(bytes.error())));
            return 2;
        }
        contents[i] = std::move(*bytes);
    }
    if (contents[0] == contents[1]) return 0;
    push_line(io.err, fmt::format("{} {} differ", args.operands[0], args.operands[1]));
    return 1;
}

}  // namespace tw
