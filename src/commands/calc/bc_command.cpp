#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "commands/calc/bc_lang.h"
#include "commands/calc/calc_commands.h"
#include "commands/util/io.h"
#include "commands/util/text.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::uint64_t kFileLimit = std::uint64_t{1} << 24;

void append_lossy(std::string& source, std::string_view bytes) {
    std::string storage;
    source += valid_utf8_view(bytes, storage);
}

}  // namespace

void bc_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    if (auto s = command_read_stdin(invocation, io)) {
        step = *s;
        return;
    }
    Syscalls& sys = invocation.sys;
    auto finish = [&](std::int32_t status) { step = NativeStep::finished(status); };

    std::vector<std::string_view> files;
    for (const std::string& arg : invocation.args) {
        if (arg == "-l" || arg == "--mathlib") {
            push_line(io.err, "bc: -l (math library) is not supported in tarnwick");
            return finish(2);
        }
        if (arg == "-q" || arg == "--quiet") continue;
        if (arg.starts_with('-')) {
            push_line(io.err, fmt::format("bc: unsupported option '{}'", arg));
            return finish(2);
        }
        files.push_back(arg);
    }

    std::string source;
    if (!files.empty()) {
        const std::string cwd = sys.getcwd();
        for (std::string_view file : files) {
            auto bytes = sys.read_file(cwd, file, kFileLimit);
            if (!bytes) {
                push_line(io.err, fmt::format("bc: {}: {}", file, error_text(bytes.error())));
                return finish(1);
            }
            append_lossy(source, *bytes);
            source.push_back('\n');
        }
    }
    append_lossy(source, io.in);
    if (!sys.charge_cpu(sat_add(source.size(), 1))) return finish(sys.exhausted_status());

    auto tokens = bc_tokenize(source);
    if (!tokens) {
        push_line(io.err, fmt::format("bc: syntax error: {}", tokens.error()));
        return finish(1);
    }
    BcParser parser(std::move(*tokens));
    std::vector<BcStmt> program;
    parser.skip_separators();
    while (!parser.at_end()) {
        auto stmt = parser.parse_statement();
        if (!stmt) {
            push_line(io.err, fmt::format("bc: syntax error: {}", stmt.error()));
            return finish(1);
        }
        program.push_back(std::move(*stmt));
        parser.skip_separators();
    }

    BcInterpreter interpreter(sys);
    for (const BcStmt& stmt : program) {
        BcFlow flow = interpreter.execute(stmt, io.out);
        if (flow.kind == BcFlow::Kind::Quit) break;
        if (flow.kind != BcFlow::Kind::Error) continue;
        if (flow.error.exhausted) return finish(sys.exhausted_status());
        push_line(io.err, fmt::format("Runtime error (func=(main)): {}", flow.error.message));
    }
    finish(0);
}

}  // namespace tw
