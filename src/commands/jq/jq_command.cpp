#include "commands/jq/jq_command.h"

#include <fmt/format.h>

#include <array>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/jq/value_ops.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::string_view kName = "jq";
constexpr std::string_view kUsage =
    "usage: jq [-rcnse] [--arg NAME VALUE] [--argjson NAME JSON] FILTER [FILE...]\n";

enum Option : int { RawOutput = 0, CompactOutput, NullInput, Slurp, ExitStatus, Indent, Help };

constexpr std::array<OptionSpec, 7> kOptions{{
    {"raw-output", U'r', OptionValue::None, RawOutput},
    {"compact-output", U'c', OptionValue::None, CompactOutput},
    {"null-input", U'n', OptionValue::None, NullInput},
    {"slurp", U's', OptionValue::None, Slurp},
    {"exit-status", U'e', OptionValue::None, ExitStatus},
    {"indent", 0, OptionValue::Required, Indent},
    {"help", 0, OptionValue::None, Help},
}};

struct JqOptions {
    bool raw_output = false;
    bool compact_output = false;
    bool null_input = false;
    bool slurp = false;
    bool exit_status = false;
    unsigned indent = 2;
};

constexpr std::int32_t kStatusUsage = 2;
constexpr std::int32_t kStatusUnsupported = 3;
constexpr std::int32_t kStatusEvalError = 5;

// Gives back, when the command ends, all memory charged since it started.
class MemoryScope {
public:
    explicit MemoryScope(Syscalls& sys) : sys_(sys), start_(sys.memory_used()) {}
    ~MemoryScope() { sys_.release_memory(sat_sub(sys_.memory_used(), start_)); }
    MemoryScope(const MemoryScope&) = delete;
    MemoryScope& operator=(const MemoryScope&) = delete;

private:
    Syscalls& sys_;
    std::uint64_t start_;
};

NativeStep fail(CommandIo& io, std::string_view message, std::int32_t status) {
    push_message(io.err, kName, message);
    return NativeStep::finished(status);
}

NativeStep unsupported(Syscalls& sys, CommandIo& io, std::string_view message) {
    sys.record_unsupported(fmt::format("jq:{}", message));
    return fail(io, fmt::format("unsupported filter: {}", message), kStatusUnsupported);
}

// Reads the values of one input text, charging a work unit per byte before and the memory of the
// values as they are built. A failure is the step to answer; `where` names the input in messages.
std::optional<NativeStep> read_inputs(Syscalls& sys, CommandIo& io, std::string_view text, std::string_view where,
                                      std::vector<JsonValue>& values) {
    if (!sys.charge_cpu(text.size())) return NativeStep::finished(sys.exhausted_status());
    const JsonReadMeter meter{[&sys](std::uint64_t bytes) { return sys.charge_memory(bytes); }};
    auto read = jq_parse_inputs(text, values, &meter);
    if (read) return std::nullopt;
    if (read.error().stop == JsonReadStop::Exhausted) return NativeStep::finished(sys.exhausted_status());
    const std::string reason = read.error().error.text();
    if (where.empty()) return fail(io, fmt::format("parse error: {}", reason), kStatusUsage);
    return fail(io, fmt::format("parse error in {}: {}", where, reason), kStatusUsage);
}

// Writes the results once all are known; every value is charged at its size bound before its
// text is built.
NativeStep write_outputs(Syscalls& sys, CommandIo& io, const JqOutputs& outputs, const JqOptions& options) {
    const unsigned indent = options.compact_output ? 0 : options.indent;
    for (const JsonValue& value : outputs) {
        const std::uint64_t need = sat_add(jq_value_size_bound(value, indent, 0), 1);
        if (sys.output_remaining() < need) {
            sys.charge_output(sat_add(sys.output_remaining(), 1));
            return NativeStep::finished(sys.exhausted_status());
        }
        if (!sys.charge_memory(need) || !sys.charge_cpu(need)) return NativeStep::finished(sys.exhausted_status());
        if (options.raw_output && value.is_string()) {
            io.out += value.text();
        } else {
            io.out.reserve(io.out.size() + need);
            json_write(io.out, value, indent);
        }
        io.out += '\n';
    }
    std::int32_t status = 0;
    if (options.exit_status) {
        if (outputs.empty()) status = 4;
        else if (!outputs.back().truthy()) status = 1;
    }
    return NativeStep::finished(status);
}

NativeStep run(NativeInvocation& inv, CommandIo& io, const Bytes& stdin_bytes) {
    Syscalls& sys = inv.sys;
    auto named = jq_parse_named_args(inv.args);
    if (!named) return fail(io, named.error(), kStatusUsage);
    auto scanned = scan_options(named->rest, kOptions);
    if (!scanned) return fail(io, scanned.error(), kStatusUsage);
    if (scanned->has(Help)) {
        io.out += kUsage;
        return NativeStep::finished(0);
    }
    JqOptions options;
    for (const ScannedOption& o : scanned->options) {
        switch (o.id) {
        case RawOutput: options.raw_output = true; break;
        case CompactOutput: options.compact_output = true; break;
        case NullInput: options.null_input = true; break;
        case Slurp: options.slurp = true; break;
        case ExitStatus: options.exit_status = true; break;
        case Indent: {
            const auto n = parse_count(*o.value);
            if (!n || *n > 7) return fail(io, "--indent must be between 0 and 7", kStatusUsage);
            options.indent = static_cast<unsigned>(*n);
            break;
        }
        default: break;
        }
    }
    const std::vector<std::string_view>& operands = scanned->operands;
    const std::string_view filter_text = operands.empty() ? std::string_view(".") : operands.front();
    if (!sys.charge_cpu(filter_text.size())) return NativeStep::finished(sys.exhausted_status());

    auto tokens = JqLexer::tokenize(filter_text);
    if (!tokens) return unsupported(sys, io, tokens.error());
    if (tokens->size() > kJqMaxTokens)
        return unsupported(sys, io, fmt::format("filter exceeds the {}-token limit", kJqMaxTokens));
    auto filter = JqParser::parse_filter(*tokens);
    if (!filter) return unsupported(sys, io, filter.error());

    std::vector<JsonValue> inputs;
    if (options.null_input) {
        inputs.emplace_back();
    } else {
        if (operands.size() > 1) {
            const std::string cwd = sys.getcwd();
            const std::uint64_t limit = sys.limits().memory;
            for (std::string_view path : std::span(operands).subspan(1)) {
                auto bytes = sys.read_file(cwd, path, limit);
                if (!bytes) return fail(io, fmt::format("error: {}", error_text(bytes.error())), kStatusUsage);
                if (!sys.charge_memory(bytes->size())) return NativeStep::finished(sys.exhausted_status());
                if (auto stop = read_inputs(sys, io, *bytes, path, inputs)) return *stop;
            }
        } else if (auto stop = read_inputs(sys, io, stdin_bytes, {}, inputs)) {
            return *stop;
        }
        if (options.slurp) {
            JsonValue all = JsonValue::array(std::move(inputs));
            inputs.clear();
            inputs.push_back(std::move(all));
        }
    }

    JqContext context{sys, named->variables, 0};
    JqOutputs outputs;
    for (const JsonValue& input : inputs) {
        auto results = jq_eval(context, **filter, input);
        if (!results) {
            const JqEvalError& e = results.error();
            switch (e.kind) {
            case JqEvalError::Kind::Message: return fail(io, fmt::format("error: {}", e.text), kStatusEvalError);
            case JqEvalError::Kind::Unsupported: return unsupported(sys, io, e.text);
            case JqEvalError::Kind::Exhausted: return NativeStep::finished(sys.exhausted_status());
            }
        }
        if (outputs.empty()) outputs = std::move(*results);
        else outputs.insert(outputs.end(), std::make_move_iterator(results->begin()),
                            std::make_move_iterator(results->end()));
    }
    inputs.clear();
    return write_outputs(sys, io, outputs, options);
}

// Whether the command line, as far as it parses, asks for standard input.
bool wants_stdin(std::span<const std::string> args) {
    auto named = jq_parse_named_args(args);
    if (!named) return false;
    auto scanned = scan_options(named->rest, kOptions);
    if (!scanned || scanned->has(Help) || scanned->has(NullInput)) return false;
    return scanned->operands.size() < 2;
}

}  // namespace

Result<JqNamedArgs, std::string> jq_parse_named_args(std::span<const std::string> args) {
    JqNamedArgs named;
    bool ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (ended || (a != "--arg" && a != "--argjson")) {
            if (a == "--") ended = true;
            named.rest.push_back(a);
            continue;
        }
        if (i + 2 >= args.size()) return std::unexpected(fmt::format("option {} requires NAME VALUE", a));
        const std::string& name = args[i + 1];
        const std::string& value = args[i + 2];
        if (a == "--arg") {
            // A string value is text: bytes that are not UTF-8 become U+FFFD.
            named.variables.insert_or_assign(name, JsonValue::string(utf8_valid(value) ? value : utf8_lossy(value)));
        } else {
            auto parsed = json_read_one(value);
            if (!parsed) return std::unexpected(fmt::format("invalid JSON for --argjson {}: {}", name, parsed.error().text()));
            named.variables.insert_or_assign(name, std::move(*parsed));
        }
        i += 2;
    }
    return named;
}

Result<void, JsonReadFailure> jq_parse_inputs(std::string_view bytes, std::vector<JsonValue>& list,
                                              const JsonReadMeter* meter) {
    return json_read_sequence(bytes, list, meter);
}

void jq_command(NativeStep& step, NativeInvocation& inv, CommandIo& io) {
    if (wants_stdin(inv.args)) {
        if (auto waiting = command_read_stdin(inv, io)) {
            step = *waiting;
            return;
        }
    }
    const Bytes stdin_bytes = std::move(io.in);
    io.in.clear();
    MemoryScope scope(inv.sys);
    step = run(inv, io, stdin_bytes);
}

}  // namespace tw
