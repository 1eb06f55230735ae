#include "commands/awk/awk_command.h"

#include <fmt/format.h>

#include <array>
#include <cstring>
#include <map>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/awk/check.h"
#include "commands/awk/lexer.h"
#include "commands/awk/parser.h"
#include "commands/awk/runtime.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/regex_pay.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::string_view kUsage = "usage: awk [-F SEP] [-v NAME=VALUE] [-f PROGRAM] [PROGRAM] [FILE...]\n";

enum Option : int { FieldSeparator = 1, Assign, ProgramFile, Help };

constexpr std::array<OptionSpec, 4> kOptions{{
    {"field-separator", U'F', OptionValue::Required, FieldSeparator},
    {"assign", U'v', OptionValue::Required, Assign},
    {"file", U'f', OptionValue::Required, ProgramFile},
    {"help", 0, OptionValue::None, Help},
}};

NativeStep fail(CommandIo& io, std::string_view message, std::int32_t status = 2) {
    push_message(io.err, "awk", message);
    return NativeStep::finished(status);
}

// What the command line says, with the program parsed and checked.
struct AwkSetup {
    AwkProgram program;
    std::string fs = " ";
    std::map<std::string, std::string> assignments;
    std::vector<std::string_view> inputs;
};

Result<AwkSetup, NativeStep> setup(NativeInvocation& inv, CommandIo& io) {
    Syscalls& sys = inv.sys;
    auto scanned = scan_options(inv.args, kOptions);
    if (!scanned) return std::unexpected(fail(io, scanned.error()));
    if (scanned->has(Help)) {
        io.out += kUsage;
        return std::unexpected(NativeStep::finished(0));
    }
    AwkSetup s;
    std::vector<std::string> sources;
    bool from_files = false;
    for (const ScannedOption& o : scanned->options) {
        switch (o.id) {
        case FieldSeparator: s.fs = std::string(*o.value); break;
        case Assign: {
            auto assignment = awk_split_assignment(*o.value);
            if (!assignment) return std::unexpected(fail(io, fmt::format("invalid variable assignment '{}'", *o.value)));
            s.assignments[assignment->first] = std::move(assignment->second);
            break;
        }
        case ProgramFile: {
            auto text = sys.read_file(sys.getcwd(), *o.value, sys.limits().memory);
            if (!text) return std::unexpected(fail(io, fmt::format("{}: {}", *o.value, error_text(text.error()))));
            if (!utf8_valid(*text))
                return std::unexpected(fail(io, fmt::format("{}: program is not valid UTF-8", *o.value)));
            sources.push_back(std::move(*text));
            from_files = true;
            break;
        }
        default: break;
        }
    }
    std::span<const std::string_view> operands = scanned->operands;
    if (!from_files) {
        if (operands.empty()) return std::unexpected(fail(io, "missing program"));
        sources.emplace_back(operands.front());
        operands = operands.subspan(1);
    }
    std::string text;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (i > 0) text += '\n';
        text += sources[i];
    }
    if (!sys.charge_cpu(text.size())) return std::unexpected(NativeStep::finished(sys.exhausted_status()));

    auto front_end = [&]() -> Result<AwkProgram, std::string> {
        auto tokens = AwkLexer::tokenize(text);
        if (!tokens) return std::unexpected(std::move(tokens.error()));
        auto program = AwkParser::parse_program(std::move(*tokens));
        if (!program) return program;
        if (auto fault = awk_check_program(*program)) return std::unexpected(std::move(*fault));
        return program;
    };
    auto program = front_end();
    if (!program) {
        sys.record_unsupported(fmt::format("awk:{}", program.error()));
        return std::unexpected(fail(io, program.error()));
    }
    s.program = std::move(*program);

    for (std::string_view operand : operands) {
        if (auto assignment = awk_split_assignment(operand)) s.assignments[assignment->first] = std::move(assignment->second);
        else s.inputs.push_back(operand);
    }
    for (std::string_view reserved : {"NR", "FNR", "NF", "FILENAME", "RS"}) {
        if (s.assignments.contains(std::string(reserved)))
            return std::unexpected(fail(io, fmt::format("assignment to '{}' is not supported", reserved)));
    }
    if (auto it = s.assignments.find("FS"); it != s.assignments.end()) s.fs = it->second;
    if (!s.fs.empty() && s.fs != " ") {
        auto compiled = Regex::compile(s.fs);
        if (!compiled)
            return std::unexpected(fail(io, fmt::format("invalid field separator: {}", error_text(compiled.error()))));
    }
    return s;
}

struct Input {
    std::string_view name;
    std::string_view text;
};

// Runs the record rules over the lines of every input. Answers the flow that ended them:
// Normal after the last record, Exit, or a failure with its context.
AwkFlow run_records(AwkRuntime& rt, std::span<const Input> inputs, std::string_view& context) {
    for (const Input& input : inputs) {
        rt.filename.assign(input.name);
        rt.fnr = 0;
        std::string_view rest = input.text;
        while (!rest.empty()) {
            std::string_view line;
            const void* nl = std::memchr(rest.data(), '\n', rest.size());
            if (nl) {
                const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(nl) - rest.data());
                line = rest.substr(0, at);
                if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
                rest.remove_prefix(at + 1);
            } else {
                line = rest;
                rest = {};
            }
            if (rt.nr != kU64Max) ++rt.nr;
            if (rt.fnr != kU64Max) ++rt.fnr;
            if (!awk_set_record(rt, line, true)) {
                context = "field splitting";
                return rt.failure;
            }
            AwkFlow flow = awk_run_rules(rt, AwkPhase::Record);
            switch (flow.kind) {
            case AwkFlowKind::Normal:
            case AwkFlowKind::Next: continue;
            case AwkFlowKind::NextFile: rest = {}; continue;
            case AwkFlowKind::Exit: return flow;
            default: context = "record action"; return flow;
            }
        }
    }
    return AwkFlow{};
}

std::int32_t run_program(NativeInvocation& inv, CommandIo& io, const AwkSetup& s, std::span<const Input> inputs) {
    RegexCpuPay paying(inv.sys);
    AwkRuntime rt(inv.sys, io, s.program, s.fs);
    for (const auto& [name, value] : s.assignments) {
        if (name == "FS") continue;
        if (name == "OFS") rt.ofs = value;
        else if (name == "ORS") rt.ors = value;
        else if (auto slot = rt.scalar_slot_of(name)) rt.preset_scalar(*slot, AwkValue::from_text(value));
    }
    std::int32_t status = 0;
    AwkFlow flow = awk_run_rules(rt, AwkPhase::Begin);
    bool run_records_phase = true;
    switch (flow.kind) {
    case AwkFlowKind::Normal: break;
    case AwkFlowKind::Exit:
        status = flow.code;
        run_records_phase = false;
        break;
    default: return awk_report_error(rt, flow, "BEGIN");
    }
    if (run_records_phase) {
        std::string_view context;
        flow = run_records(rt, inputs, context);
        if (flow.kind == AwkFlowKind::Exit) status = flow.code;
        else if (flow.kind != AwkFlowKind::Normal) return awk_report_error(rt, flow, context);
    }
    flow = awk_run_rules(rt, AwkPhase::End);
    if (flow.kind == AwkFlowKind::Exit) return flow.code;
    if (flow.kind != AwkFlowKind::Normal) return awk_report_error(rt, flow, "END");
    return status;
}

}  // namespace

void awk_command(NativeStep& step, NativeInvocation& inv, CommandIo& io) {
    auto s = setup(inv, io);
    if (!s) {
        step = s.error();
        return;
    }
    Syscalls& sys = inv.sys;
    bool wants_stdin = s->inputs.empty();
    for (std::string_view operand : s->inputs) wants_stdin = wants_stdin || operand == "-";
    if (wants_stdin) {
        if (auto waiting = command_read_stdin(inv, io)) {
            step = *waiting;
            return;
        }
    }

    // Every input is read before the program starts.
    std::vector<Input> inputs;
    std::vector<Bytes> files;
    files.reserve(s->inputs.size());
    if (s->inputs.empty()) {
        if (!utf8_valid(io.in)) {
            step = fail(io, "input is not valid UTF-8");
            return;
        }
        inputs.push_back({"-", io.in});
    } else {
        const std::string cwd = sys.getcwd();
        const std::uint64_t limit = sys.limits().memory;
        bool stdin_taken = false;
        for (std::string_view operand : s->inputs) {
            std::string_view text;
            if (operand == "-") {
                if (!stdin_taken) text = io.in;
                stdin_taken = true;
            } else {
                auto bytes = sys.read_file(cwd, operand, limit);
                if (!bytes) {
                    step = fail(io, fmt::format("{}: {}", operand, error_text(bytes.error())));
                    return;
                }
                files.push_back(std::move(*bytes));
                text = files.back();
            }
            if (!utf8_valid(text)) {
                step = fail(io, fmt::format("{}: input is not valid UTF-8", operand));
                return;
            }
            inputs.push_back({operand, text});
        }
    }
    std::uint64_t total = 0;
    for (const Input& input : inputs) total = sat_add(total, input.text.size());
    const std::uint64_t charge = sat_mul(total, 2);
    if (!sys.charge_memory(charge)) {
        step = NativeStep::finished(sys.exhausted_status());
        return;
    }
    if (!sys.charge_cpu(total)) {
        sys.release_memory(charge);
        step = NativeStep::finished(sys.exhausted_status());
        return;
    }
    const std::int32_t status = run_program(inv, io, *s, inputs);
    sys.release_memory(charge);
    // An exit code is a process status: its low eight bits, as `exit` in the shell gives.
    step = NativeStep::finished(status & 0xFF);
}

}  // namespace tw
