#include "commands/registry/local_handlers.h"

#include <fmt/format.h>

#include "kernel/machine.h"
#include "shell/command_io.h"
#include "shell/command_outcome.h"

namespace tw {

std::int32_t builtin_pwd(BuiltinContext& context, std::span<const std::string>, CommandIo& io) {
    io.out += context.machine.states.active().cwd;
    io.out += '\n';
    return 0;
}

void builtin_eval(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                  CommandIo& io) {
    std::string source;
    std::size_t length = args.empty() ? 0 : args.size() - 1;
    for (const std::string& arg : args) length += arg.size();
    source.reserve(length);
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) source += ' ';
        source += args[i];
    }
    auto program = context.machine.parse_source(source, io.err);
    outcome = program ? CommandOutcome::run_program(std::move(*program)) : CommandOutcome::done(program.error());
}

std::int32_t unsupported_command_handler(BuiltinContext& context, std::span<const std::string>, CommandIo& io) {
    fmt::format_to(std::back_inserter(io.err), "{}: not implemented in tarnwick\n",
                   context.name);
    return 127;
}

}  // namespace tw
