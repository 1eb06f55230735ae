#include "commands/sed/sed_command.h"

#include <fmt/format.h>

#include <array>
#include <vector>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/sed/engine.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::string_view kName = "sed";
constexpr std::string_view kUsage =
    "usage: sed [OPTIONS] SCRIPT [FILE...]\nsupported: -n -E -r -e SCRIPT -f FILE -i -s -z\n";

enum Option : int { InPlace = 1, Quiet, Extended, Expression, ScriptFile, Separate, NullData, Help };

// -E has no long name of its own; it shares the row id (and long name) of -r.
constexpr std::array<OptionSpec, 10> kOptions{{
    {"in-place", U'i', OptionValue::Optional, InPlace},
    {"quiet", U'n', OptionValue::None, Quiet},
    {"silent", 0, OptionValue::None, Quiet},
    {"regexp-extended", U'r', OptionValue::None, Extended},
    {"regexp-extended", U'E', OptionValue::None, Extended},
    {"expression", U'e', OptionValue::Required, Expression},
    {"file", U'f', OptionValue::Required, ScriptFile},
    {"separate", U's', OptionValue::None, Separate},
    {"null-data", U'z', OptionValue::None, NullData},
    {"help", 0, OptionValue::None, Help},
}};

NativeStep fail(CommandIo& io, std::string_view message, std::int32_t status) {
    push_message(io.err, kName, message);
    return NativeStep::finished(status);
}

// Everything the command line says, with the script parsed.
struct SedSetup {
    std::vector<SedCommand> commands;
    std::vector<std::string_view> files;  // the operands left after the script
    SedRunOptions run;
    bool in_place = false;
};

// Reads the options and parses the script. A failure is the step to answer (its message written).
Result<SedSetup, NativeStep> setup(NativeInvocation& inv, CommandIo& io) {
    auto scanned = scan_options(inv.args, kOptions);
    if (!scanned) return std::unexpected(fail(io, scanned.error(), 2));
    if (scanned->has(Help)) {
        io.out += kUsage;
        return std::unexpected(NativeStep::finished(0));
    }
    SedSetup s;
    bool extended = false;
    std::vector<std::string> pieces;
    bool have_pieces = false;
    for (const ScannedOption& o : scanned->options) {
        switch (o.id) {
        case InPlace:
            if (o.value && !o.value->empty())
                return std::unexpected(fail(io, "unsupported in-place backup suffix", 2));
            s.in_place = true;
            break;
        case Quiet: s.run.quiet = true; break;
        case Extended: extended = true; break;
        case Separate: s.run.separate = true; break;
        case NullData: s.run.delimiter = '\0'; break;
        case Expression:
            pieces.emplace_back(*o.value);
            have_pieces = true;
            break;
        case ScriptFile: {
            auto text = inv.sys.read_file(inv.sys.getcwd(), *o.value, inv.sys.limits().memory);
            if (!text) return std::unexpected(fail(io, fmt::format("{}: {}", *o.value, error_text(text.error())), 2));
            if (!utf8_valid(*text))
                return std::unexpected(fail(io, fmt::format("{}: script is not valid UTF-8", *o.value), 2));
            pieces.push_back(std::move(*text));
            have_pieces = true;
            break;
        }
        default: break;
        }
    }
    std::span<const std::string_view> operands = scanned->operands;
    if (!have_pieces) {
        if (operands.empty()) return std::unexpected(fail(io, "missing command", 1));
        pieces.emplace_back(operands.front());
        operands = operands.subspan(1);
    }
    s.files.assign(operands.begin(), operands.end());
    if (s.in_place && s.files.empty())
        return std::unexpected(fail(io, "-i requires at least one file operand", 2));
    for (const std::string& piece : pieces) {
        auto commands = sed_parse_script(piece, extended);
        if (!commands) {
            inv.sys.record_unsupported(fmt::format("sed:{}", commands.error()));
            return std::unexpected(fail(io, commands.error(), 2));
        }
        for (SedCommand& c : *commands) s.commands.push_back(std::move(c));
    }
    if (s.commands.empty()) return std::unexpected(fail(io, "empty command", 2));
    return s;
}

NativeStep stopped(CommandIo& io, const SedStop& stop) {
    if (!stop.message.empty()) push_message(io.err, kName, stop.message);
    return NativeStep::finished(stop.status);
}

// Each file is edited on its own: the script starts afresh (ranges, line numbers) for every file.
// Files done before a failure keep their new content.
NativeStep edit_in_place(NativeInvocation& inv, CommandIo& io, const SedSetup& s) {
    Syscalls& sys = inv.sys;
    const std::string cwd = sys.getcwd();
    const std::uint64_t limit = sys.limits().memory;
    SyscallSedMeter meter(sys);
    for (std::string_view file : s.files) {
        auto content = sys.read_file(cwd, file, limit);
        if (!content) return fail(io, fmt::format("can't read {}: {}", file, error_text(content.error())), 1);
        if (!utf8_valid(*content)) return fail(io, fmt::format("{}: input is not valid UTF-8", file), 2);
        std::vector<SedCommand> commands = s.commands;
        const std::string_view inputs[] = {*content};
        auto output = sed_execute(meter, inputs, commands, s.run);
        if (!output) return stopped(io, output.error());
        auto st = sys.stat(cwd, file, true);
        if (!st) return fail(io, fmt::format("can't stat {}: {}", file, error_text(st.error())), 1);
        auto written = sys.write_file_mode(cwd, file, std::move(*output), st->mode);
        if (!written) return fail(io, fmt::format("can't write {}: {}", file, error_text(written.error())), 1);
    }
    return NativeStep::finished(0);
}

// The operands as separate texts (standard input wherever "-" or /dev/stdin stands), read within
// the memory limit as a whole; the first operand that cannot be read is the failure.
Result<std::vector<Bytes>, std::string> read_operands(Syscalls& sys, std::span<const std::string_view> files,
                                                      const Bytes& stdin_bytes, bool& uses_stdin) {
    std::vector<Bytes> texts;
    if (files.empty()) {
        uses_stdin = true;
        return texts;
    }
    const std::string cwd = sys.getcwd();
    const std::uint64_t limit = sys.limits().memory;
    std::uint64_t total = 0;
    for (std::string_view file : files) {
        if (file == "-" || file == "/dev/stdin") {
            texts.push_back(stdin_bytes);
            total = sat_add(total, stdin_bytes.size());
            continue;
        }
        auto bytes = sys.read_file(cwd, file, sat_sub(limit, total));
        if (!bytes) return std::unexpected(fmt::format("{}: {}", file, error_text(bytes.error())));
        total = sat_add(total, bytes->size());
        texts.push_back(std::move(*bytes));
    }
    return texts;
}

}  // namespace

void sed_command(NativeStep& step, NativeInvocation& inv, CommandIo& io) {
    auto s = setup(inv, io);
    if (!s) {
        step = s.error();
        return;
    }
    if (s->in_place) {
        step = edit_in_place(inv, io, *s);
        return;
    }
    if (command_operands_read_stdin(s->files)) {
        if (auto waiting = command_read_stdin(inv, io)) {
            step = *waiting;
            return;
        }
    }
    bool only_stdin = false;
    auto texts = read_operands(inv.sys, s->files, io.in, only_stdin);
    if (!texts) {
        step = fail(io, texts.error(), 1);
        return;
    }
    std::vector<std::string_view> inputs;
    if (only_stdin) inputs.emplace_back(io.in);
    else inputs.assign(texts->begin(), texts->end());
    for (std::string_view in : inputs) {
        if (!utf8_valid(in)) {
            step = fail(io, "input is not valid UTF-8", 2);
            return;
        }
    }
    SyscallSedMeter meter(inv.sys);
    auto output = sed_execute(meter, inputs, s->commands, s->run);
    if (!output) {
        step = stopped(io, output.error());
        return;
    }
    io.out += *output;
    step = NativeStep::finished(0);
}

}  // namespace tw
