// Running an expanded command: tail execution of a child shell's last program, the standard input
// a dispatched command gets (read first, across steps when it has to wait), the continuation of
// a dispatch outcome, the output buffers written to descriptors 1 and 2, exec, eval and source
// endings, and a shell reading its program from standard input.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <unordered_set>

#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "commands/registry/registry.h"
#include "kernel/machine.h"
#include "shell/command_outcome.h"
#include "shell/dispatch.h"
#include "shell/exec.h"
#include "shell/exec_internal.h"
#include "shell/lexer.h"
#include "shell/parser.h"

namespace tw {

// ---- the box of a suspended builtin's state ----

BuiltinStateBox::BuiltinStateBox() = default;
BuiltinStateBox::BuiltinStateBox(BuiltinContinuation state)
    : state_(std::make_unique<BuiltinContinuation>(std::move(state))) {}
BuiltinStateBox::BuiltinStateBox(const BuiltinStateBox& other)
    : state_(other.state_ ? std::make_unique<BuiltinContinuation>(*other.state_) : nullptr) {}
BuiltinStateBox& BuiltinStateBox::operator=(const BuiltinStateBox& other) {
    if (this != &other) state_ = other.state_ ? std::make_unique<BuiltinContinuation>(*other.state_) : nullptr;
    return *this;
}
BuiltinStateBox::BuiltinStateBox(BuiltinStateBox&&) noexcept = default;
BuiltinStateBox& BuiltinStateBox::operator=(BuiltinStateBox&&) noexcept = default;
BuiltinStateBox::~BuiltinStateBox() = default;
BuiltinContinuation BuiltinStateBox::take() {
    expect(state_ != nullptr, "a suspended builtin has its state");
    BuiltinContinuation state = std::move(*state_);
    state_.reset();
    return state;
}

namespace exec_detail {

namespace {

constexpr std::uint64_t kPrefetchChunk = 65536;
constexpr std::uint64_t kScriptInputLimit = 262144;

// The commands whose whole standard input is read before they are dispatched, sorted.
constexpr std::array<std::string_view, 47> kStdinReaders = {
    "apply_patch", "awk",     "base32",   "base64",    "bc",        "cat",     "cksum",   "column",
    "cut",         "dd",      "envsubst", "expand",    "fgrep",     "fmt",     "fold",    "grep",
    "gunzip",      "gzip",    "head",     "hexdump",   "jq",        "mapfile", "md5sum",  "nl",
    "od",          "paste",   "patch",    "pr",        "readarray", "rev",     "rg",      "sed",
    "sha1sum",     "sha256sum", "sha512sum", "sort",   "strings",   "tac",     "tail",    "tee",
    "tr",          "unexpand", "uniq",    "wc",        "xargs",     "xxd",     "zcat",
};

static_assert(std::ranges::is_sorted(kStdinReaders));

bool is_stdin_reader(std::string_view name) {
    static const std::unordered_set<std::string_view> names(kStdinReaders.begin(), kStdinReaders.end());
    return names.contains(name);
}

std::optional<std::string_view> path_variable(const ProcessState& s) {
    auto it = s.variables.find("PATH");
    if (it == s.variables.end()) return std::nullopt;
    return std::string_view(it->second);
}

bool is_builtin_word(std::string_view name) {
    return name.find('/') == std::string_view::npos && is_builtin_name(name);
}

// The name a command is known by in the registry: a builtin name itself, else the name of the
// stub the word resolves to; none for a word that resolves to no stub.
std::optional<std::string> command_base_name(std::string_view name, const CommandResolution* resolution) {
    if (is_builtin_word(name)) return std::string(name);
    if (resolution == nullptr || !resolution->program) return std::nullopt;
    return std::string(resolution->program->name());
}

// The options of `read` that decide how much input it needs: -r and -d. Nothing when they do not
// parse (the builtin reports that itself).
struct ReadPrefetch {
    char delimiter = '\n';
    bool raw = false;
};
std::optional<ReadPrefetch> parse_read_options(const std::vector<std::string>& argv) {
    ReadPrefetch options;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (word == "--") break;
        if (word.size() < 2 || word[0] != '-') break;
        for (std::size_t k = 1; k < word.size(); ++k) {
            const char letter = word[k];
            if (letter == 'r') {
                options.raw = true;
            } else if (letter == 'a' || letter == 'd') {
                std::string value;
                if (k + 1 < word.size()) {
                    value = word.substr(k + 1);
                } else if (i + 1 < argv.size()) {
                    value = argv[++i];
                } else {
                    return std::nullopt;
                }
                if (letter == 'd') options.delimiter = value.empty() ? '\0' : value[0];
                break;
            } else {
                return std::nullopt;
            }
        }
    }
    return options;
}

bool git_invocation_reads_stdin(std::span<const std::string> words) {
    if (!words.empty() && words[0] == "apply") {
        bool all_options = true;
        for (std::size_t i = 1; i < words.size(); ++i)
            if (!words[i].starts_with('-')) all_options = false;
        if (all_options) return true;
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--stdin" || words[i] == "--file=-") return true;
        if (words[i] == "-" && i > 0 && (words[i - 1] == "-F" || words[i - 1] == "--file")) return true;
    }
    return false;
}

// `uvx`, `uv run` and `uv tool run` hand their whole input to the program they run.
bool uv_invocation_reads_stdin(std::string_view name, std::span<const std::string> words) {
    if (name == "uvx") return true;
    auto word = std::find_if(words.begin(), words.end(), [](const std::string& w) { return !w.starts_with('-'); });
    if (word != words.end() && *word == "tool") ++word;
    return word != words.end() && *word == "run";
}

void continue_outcome(Exec& x, CommandOutcome outcome, RestoreList restore, std::string name, Bytes& out, Bytes& err);

// Dispatches argv with its gathered input and continues with the outcome.
void dispatch_now(Exec& x, std::vector<std::string>& argv, RestoreList restore, Bytes input, std::uint64_t charged) {
    Machine& m = x.m;
    // Room for the frame the outcome may need is made sure of first: once dispatch has started a
    // child, this process is suspended and the limit's cleanup could no longer act for it.
    if (!x.reserve(1)) {
        m.meter.release_memory(charged);
        restore_variables(x.st(), restore);
        return;
    }
    Bytes out;
    Bytes err;
    const std::uint64_t output_start = m.meter.output_used();
    CommandOutcome outcome = m.dispatch_command(argv, std::move(input), out, err);
    // What dispatch wrote without its accounting paying for it (the message of a command that
    // never ran: not found, permission denied) is charged now, and cut when it does not fit.
    const std::uint64_t written = sat_add(out.size(), err.size());
    const std::uint64_t paid = sat_sub(m.meter.output_used(), output_start);
    if (written > paid) {
        const std::uint64_t unpaid = written - paid;
        std::uint64_t drop = unpaid - m.charge_message_output(unpaid);
        const std::uint64_t from_err = std::min<std::uint64_t>(drop, err.size());
        err.resize(err.size() - from_err);
        drop -= from_err;
        out.resize(out.size() - std::min<std::uint64_t>(drop, out.size()));
    }
    m.meter.release_memory(charged);
    std::string name = std::move(argv.front());
    continue_outcome(x, std::move(outcome), std::move(restore), std::move(name), out, err);
}

void finish_output(Exec& x, frame::WriteBuiltinOutput& f) {
    x.c.status = f.status;
    if (!f.restore.empty()) restore_variables(x.st(), f.restore);
}

// Writes what it can of the buffers now; pushes the frame back when it has to wait or when a
// failed write leaves work for the next step.
void write_output(Exec& x, frame::WriteBuiltinOutput& f) {
    Machine& m = x.m;
    for (int round = 0; round < 4; ++round) {
        const bool out_left = f.out_written < f.out.size();
        const bool err_left = f.err_written < f.err.size();
        if (!out_left && !err_left) {
            finish_output(x, f);
            return;
        }
        const std::int32_t fd = out_left ? 1 : 2;
        Bytes& buffer = out_left ? f.out : f.err;
        std::uint64_t& written = out_left ? f.out_written : f.err_written;
        auto r = m.write_fd(fd, BytesView(buffer).substr(written));
        if (!r) {
            const SyscallError& e = r.error();
            const DescriptorError* d = e.descriptor_error();
            const ProcessState& s = x.st();
            auto trap = s.signal_traps.find(Signal::PIPE);
            const bool ignored = trap != s.signal_traps.end() && trap->second.is_ignore();
            if (d && *d == DescriptorError::BrokenPipe && !ignored) {
                f.out_written = f.out.size();
                f.err_written = f.err.size();
                if (auto sent = m.send_signal(s.pid, Signal::PIPE); !sent)
                    x.diag(fmt::format("tarnwick: {}\n", sent.error()));
                f.status = 141;
            } else {
                written = buffer.size();
                if (out_left) m.append_charged_message(f.err, fmt::format("tarnwick: {}: {}\n", f.name, write_failure_text(e)));
                f.status = 1;
            }
            continue;
        }
        if (r->blocked()) {
            x.c.pending_result = std::move(*r->wait);
            x.push(std::move(f));
            return;
        }
        if (r->written == 0) {
            written = buffer.size();
            f.status = 1;
            continue;
        }
        written = sat_add(written, r->written);
        // A pipe that took part of the bytes is full: the rest waits for the next step.
        if (written < buffer.size()) {
            x.push(std::move(f));
            return;
        }
    }
    x.push(std::move(f));
}

void continue_outcome(Exec& x, CommandOutcome outcome, RestoreList restore, std::string name, Bytes& out, Bytes& err) {
    ShellContinuation& c = x.c;
    switch (outcome.tag()) {
        case CommandOutcome::Tag::Done: {
            frame::WriteBuiltinOutput f{std::move(name), std::move(restore), std::move(out), std::move(err),
                                        0,           0,                  outcome.status()};
            write_output(x, f);
            return;
        }
        case CommandOutcome::Tag::DoneWithData: {
            auto& d = *outcome.as<CommandOutcome::DoneWithData>();
            frame::WriteBuiltinOutput f{std::move(d.name), std::move(restore), std::move(d.output), std::move(d.error),
                                        0,                 0,                  d.status};
            write_output(x, f);
            return;
        }
        case CommandOutcome::Tag::Yield: {
            auto& y = *outcome.as<CommandOutcome::Yield>();
            if (x.push(frame::ResumeBuiltin{std::move(restore), BuiltinStateBox(std::move(y.state))})) c.yield_now = true;
            return;
        }
        case CommandOutcome::Tag::Block: {
            auto& b = *outcome.as<CommandOutcome::Block>();
            if (x.push(frame::ResumeBuiltin{std::move(restore), BuiltinStateBox(std::move(b.state))}))
                c.pending_result = std::move(b.reason);
            return;
        }
        case CommandOutcome::Tag::WaitChild: {
            auto& w = *outcome.as<CommandOutcome::WaitChild>();
            // The child was created with this process suspended, so the frame goes on regardless
            // of the limit's message (which would reach the child's descriptors).
            if (x.push(frame::ResumeBuiltin{std::move(restore), BuiltinStateBox(std::move(w.state))}))
                c.wait_for_child = true;
            return;
        }
        case CommandOutcome::Tag::RunProgram: {
            auto& p = *outcome.as<CommandOutcome::RunProgram>();
            if (!x.reserve(2)) {
                restore_variables(x.st(), restore);
                return;
            }
            c.frames.emplace_back(frame::EndEval{std::move(restore)});
            c.frames.emplace_back(frame::RunCommand{std::move(p.program)});
            return;
        }
        case CommandOutcome::Tag::RunSourced: {
            auto& p = *outcome.as<CommandOutcome::RunSourced>();
            if (!x.reserve(2)) {
                restore_variables(x.st(), restore);
                return;
            }
            x.st().source_depth = depth_up(x.st().source_depth);
            c.frames.emplace_back(frame::EndSource{std::move(restore)});
            c.frames.emplace_back(frame::RunCommand{std::move(p.program)});
            return;
        }
    }
}

bool only_finishing_frames(const ShellContinuation& c) {
    for (const ExecFrame& frame : c.frames)
        if (!frame.is<frame::SetPipeStatus>() && !frame.is<frame::RestoreDescriptors>() &&
            !frame.is<frame::ErrTrapCheck>())
            return false;
    return true;
}

// Replaces the process's program by argv; the frames left are given up (saved descriptors
// discarded, so that the redirections stay in force for the program).
void replace_program(Exec& x, std::vector<std::string>& argv, bool exit_on_failure) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    std::vector<ExecFrame> frames = std::move(c.frames);
    c.frames.clear();
    for (ExecFrame& frame : frames) {
        if (auto* restore = std::get_if<frame::RestoreDescriptors>(&frame.node)) {
            discard_saved_descriptors(m, restore->saved);
        } else {
            c.frames.push_back(std::move(frame));
        }
    }
    c.abort(m);
    const Pid pid = x.st().pid;
    if (auto r = m.exec_argv(pid, argv); r) {
        c.replaced = true;
        return;
    } else {
        x.diag(fmt::format("tarnwick: exec: {}\n", r.error()));
    }
    c.status = 126;
    if (exit_on_failure) {
        x.st().exit_requested = true;
        x.st().exit_status = 126;
    }
}

}  // namespace

bool needs_own_process(Machine& m, std::string_view name) {
    if (is_builtin_word(name)) return false;
    return resolve_command_word(m, name).needs_own_process();
}

void run_command_words(Exec& x, std::vector<std::string> argv, RestoreList restore, bool record) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    if (argv.empty()) {
        c.status = 0;
        return;
    }
    if (record) record_command_seen(m, argv.front());

    const std::string& name = argv.front();
    const bool builtin = is_builtin_word(name);
    std::optional<CommandResolution> resolution;
    if (!builtin) resolution = resolve_command_word(m, name);
    const bool own_process = resolution && resolution->needs_own_process();

    if (own_process && c.tail_exec_allowed) {
        const ProcessState& s = x.st();
        const bool err_trap_can_fire = s.err_trap_enabled && s.err_trap;
        if (!s.exit_trap && !err_trap_can_fire && only_finishing_frames(c)) {
            replace_program(x, argv, false);
            return;
        }
    }

    bool direct = own_process;
    if (!direct) {
        if (std::optional<std::string> base = command_base_name(name, resolution ? &*resolution : nullptr)) {
            const CommandSpec* spec = CommandRegistry::instance().get(*base);
            direct = spec != nullptr && spec->kind == CommandKind::ContinuingBuiltin;
        }
    }
    if (direct) {
        dispatch_now(x, argv, std::move(restore), {}, 0);
        return;
    }

    frame::PrefetchInput prefetch{std::move(argv), std::move(restore), {}, 0, 2, '\n', false};
    if (prefetch.argv.front() == "read") {
        if (auto options = parse_read_options(prefetch.argv)) {
            prefetch.mode = 1;
            prefetch.delimiter = options->delimiter;
            prefetch.raw = options->raw;
        } else {
            prefetch.mode = 0;
        }
    }
    // The first resume happens now: a command that needs no input is dispatched at once.
    resume(x, prefetch);
}

// ---- PrefetchInput ----

void resume(Exec& x, frame::PrefetchInput& f) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;

    // How much to read now; 0 means dispatch.
    std::uint64_t want = 0;
    if (f.mode == 1) {
        bool complete = false;
        if (!f.input.empty() && f.input.back() == f.delimiter) {
            std::size_t backslashes = 0;
            for (std::size_t i = f.input.size() - 1; i > 0 && f.input[i - 1] == '\\'; --i) ++backslashes;
            complete = f.raw || backslashes % 2 == 0;
        }
        want = complete ? 0 : 1;
    } else if (f.mode == 2 && !f.argv.empty()) {
        const std::string& name = f.argv.front();
        std::optional<CommandResolution> resolution;
        bool decided = false;
        if (!is_builtin_word(name)) {
            resolution = resolve_command_word(m, name);
            if (resolution->needs_own_process()) {
                decided = true;
            } else if (resolution->search.kind == SearchResult::Kind::Found && !resolution->program) {
                want = kPrefetchChunk;  // a script reads its input in its own process
                decided = true;
            }
        }
        if (!decided) {
            std::optional<std::string> base = command_base_name(name, resolution ? &*resolution : nullptr);
            if (base) {
                if (*base == "git") {
                    if (git_invocation_reads_stdin(std::span<const std::string>(f.argv).subspan(1)))
                        want = kPrefetchChunk;
                } else if (*base == "uv" || *base == "uvx") {
                    if (uv_invocation_reads_stdin(*base, std::span<const std::string>(f.argv).subspan(1)))
                        want = kPrefetchChunk;
                } else if (is_stdin_reader(*base)) {
                    want = kPrefetchChunk;
                }
            }
        }
    }

    if (want == 0) {
        const std::uint64_t charged = f.charged;
        dispatch_now(x, f.argv, std::move(f.restore), std::move(f.input), charged);
        return;
    }

    auto read = m.read_descriptor(want);
    if (!read) {
        x.diag(fmt::format("tarnwick: {}: {}\n", f.argv.front(), read.error()));
        m.meter.release_memory(f.charged);
        restore_variables(x.st(), f.restore);
        c.status = 1;
        return;
    }
    if (read->blocked()) {
        c.pending_result = std::move(*read->wait);
        x.push(std::move(f));
        return;
    }
    if (read->data.empty()) {
        const std::uint64_t charged = f.charged;
        dispatch_now(x, f.argv, std::move(f.restore), std::move(f.input), charged);
        return;
    }
    if (!m.meter.charge_memory(read->data.size())) {
        m.meter.release_memory(f.charged);
        restore_variables(x.st(), f.restore);
        c.status = 137;
        return;
    }
    f.charged = sat_add(f.charged, read->data.size());
    f.input += read->data;
    x.push(std::move(f));
}

// ---- WriteBuiltinOutput, ResumeBuiltin, EndEval, EndSource ----

void resume(Exec& x, frame::WriteBuiltinOutput& f) { write_output(x, f); }

void resume(Exec& x, frame::ResumeBuiltin& f) {
    // The command's entry in the invocation log ends with it, unless the command had none (a
    // word run as its own process records its entry in the child).
    const auto* queue = f.state.get() ? std::get_if<BuiltinContinuation::ChildQueue>(&f.state.get()->state) : nullptr;
    const bool completes_entry = queue == nullptr || queue->completes_entry;
    CommandOutcome outcome = x.m.resume_builtin(f.state.take());
    if (completes_entry) x.m.finish_active_invocation(outcome);
    if (const auto* done = outcome.as<CommandOutcome::Done>()) {
        x.c.status = done->status;
        restore_variables(x.st(), f.restore);
        return;
    }
    Bytes out;
    Bytes err;
    continue_outcome(x, std::move(outcome), std::move(f.restore), std::string(), out, err);
}

void resume(Exec& x, frame::EndEval& f) {
    restore_variables(x.st(), f.restore);
    x.m.invocations.finish(x.st().pid, x.c.status, x.m.meter.cpu_used(), x.m.vfs.used());
}

void resume(Exec& x, frame::EndSource& f) {
    ProcessState& s = x.st();
    s.source_depth = depth_down(s.source_depth);
    if (s.return_requested) {
        s.return_requested = false;
        x.c.status = s.return_status;
    }
    restore_variables(s, f.restore);
    x.m.invocations.finish(s.pid, x.c.status, x.m.meter.cpu_used(), x.m.vfs.used());
}

// ---- exec ----

void run_exec_builtin(Exec& x, std::vector<std::string> words, RestoreList restore) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    words.erase(words.begin());
    if (!words.empty() && words.front() == "--") words.erase(words.begin());
    if (words.empty()) {
        restore_variables(x.st(), restore);
        c.status = 0;
        return;
    }
    const std::string& name = words.front();
    if (name.size() >= 2 && name[0] == '-') {
        const bool unsupported = name == "-a" || name == "-c" || name == "-l";
        x.diag(fmt::format("tarnwick: exec: {}: {}\n", name, unsupported ? "unsupported option" : "invalid option"));
        restore_variables(x.st(), restore);
        c.status = 2;
        return;
    }
    auto fail_exit = [&](std::string message, std::int32_t status) {
        x.diag(message);
        restore_variables(x.st(), restore);
        c.status = status;
        x.st().exit_requested = true;
        x.st().exit_status = status;
    };
    // A builtin needs no search: exec of a builtin runs it and exits.
    if (!is_builtin_word(name)) {
        const ProcessState& s = x.st();
        const SearchResult found = search_path(m.vfs, s.cwd, path_variable(s), name);
        if (found.kind == SearchResult::Kind::NotFound) {
            fail_exit(fmt::format("tarnwick: exec: {}: not found\n", name), 127);
            return;
        }
        if (found.kind == SearchResult::Kind::Denied) {
            fail_exit(fmt::format("tarnwick: exec: {}: Permission denied\n", found.path), 126);
            return;
        }
    }
    x.st().exit_trap.reset();
    if (needs_own_process(m, name)) {
        replace_program(x, words, true);
        return;
    }
    if (!x.reserve(1)) {
        restore_variables(x.st(), restore);
        return;
    }
    c.frames.emplace_back(frame::MarkExit{});
    run_command_words(x, std::move(words), std::move(restore), false);
}

// ---- a shell reading its program from standard input ----

void resume(Exec& x, frame::ReadScriptInput& f) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    if (x.should_unwind()) return;
    bool at_end = false;
    auto read = m.read_descriptor(1);
    if (!read) {
        at_end = true;
    } else if (read->blocked()) {
        c.pending_result = std::move(*read->wait);
        x.push(std::move(f));
        return;
    } else if (read->data.empty()) {
        at_end = true;
    } else {
        f.text += read->data;
        if (f.text.size() > kScriptInputLimit) {
            x.diag("tarnwick: standard input command too long\n");
            c.status = 2;
            return;
        }
        if (read->data.back() != '\n') {
            x.push(std::move(f));
            return;
        }
    }

    std::string text = utf8_lossy(f.text);
    if (!at_end) {
        const ShellLexResult lexed = shell_lex(text);
        bool incomplete = !lexed.complete;
        if (!incomplete) {
            auto parsed = shell_parse(text);
            if (!parsed) {
                const auto kind = parsed.error().kind;
                incomplete = kind == ShellParseError::Kind::UnexpectedEof || kind == ShellParseError::Kind::UnclosedQuote;
            }
        }
        if (incomplete) {
            f.text = std::move(text);
            x.push(std::move(f));
            return;
        }
    }
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        if (!at_end) x.push(frame::ReadScriptInput{});
        return;
    }
    Bytes err;
    auto program = m.parse_source(text, err);
    if (!program) {
        x.diag(err);
        c.status = program.error();
        return;
    }
    if (!at_end) {
        if (!x.reserve(2)) return;
        c.frames.emplace_back(frame::ReadScriptInput{});
    }
    x.push(frame::RunCommand{std::move(*program)});
}

}  // namespace exec_detail
}  // namespace tw
