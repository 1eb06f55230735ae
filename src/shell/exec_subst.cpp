// Command and process substitution. Word expansion never runs commands: before a command, a for
// list, a case or an arithmetic text is expanded, each $( ) or backquote is run in a child shell
// whose output is captured. For words the output goes into a fresh marker variable and the
// substitution is rewritten as a reference to it, so that quoting, splitting and globbing apply
// as to any parameter; for arithmetic the output is spliced into the text. <( ) runs first and its
// output becomes a temporary file (a word) or a here-document (a redirection); >( ) gives the
// command an empty temporary file whose content feeds the consumer after the command. One
// substitution per step.
#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/machine.h"
#include "shell/exec.h"
#include "shell/exec_internal.h"
#include "shell/variables.h"

namespace tw::exec_detail {

namespace {

struct Found {
    std::string inner;
    std::size_t start = 0;
    std::size_t end = 0;
};

// Skips a backquote section starting at `i` (the opening backquote); the position after the
// closing one, or npos.
std::size_t skip_backquotes(std::string_view text, std::size_t i) {
    for (std::size_t k = i + 1; k < text.size(); ++k) {
        if (text[k] == '\\') {
            ++k;
            continue;
        }
        if (text[k] == '`') return k + 1;
    }
    return std::string_view::npos;
}

// The end (just past the closing parenthesis) of a $( ) whose inner text starts at `from`.
std::size_t matching_paren(std::string_view text, std::size_t from) {
    int depth = 1;
    char quote = 0;
    for (std::size_t k = from; k < text.size(); ++k) {
        const char ch = text[k];
        if (quote == '\'') {
            if (ch == '\'') quote = 0;
            continue;
        }
        if (ch == '\\') {
            ++k;
            continue;
        }
        if (quote == '"') {
            if (ch == '"') quote = 0;
            continue;
        }
        if (ch == '\'' || ch == '"') {
            quote = ch;
        } else if (ch == '`') {
            const std::size_t after = skip_backquotes(text, k);
            if (after == std::string_view::npos) return std::string_view::npos;
            k = after - 1;
        } else if (ch == '(') {
            ++depth;
        } else if (ch == ')') {
            if (--depth == 0) return k + 1;
        }
    }
    return std::string_view::npos;
}

// The text a backquote substitution runs: \$, \` and \\ lose their backslash.
std::string backquote_inner(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t k = 0; k < raw.size(); ++k) {
        if (raw[k] == '\\' && k + 1 < raw.size() && (raw[k + 1] == '$' || raw[k + 1] == '`' || raw[k + 1] == '\\')) {
            out.push_back(raw[++k]);
            continue;
        }
        out.push_back(raw[k]);
    }
    return out;
}

// The first $( ) or backquote substitution of a raw text. Quotes are honoured (nothing inside
// single quotes, ANSI-C quotes with their escapes, single quotes literal inside double quotes)
// unless `quotes` is false (here-document bodies, where quotes are ordinary characters).
std::optional<Found> find_command_substitution(std::string_view text, bool quotes = true) {
    bool in_double = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '\\') {
            ++i;
            continue;
        }
        if (quotes && !in_double && ch == '\'') {
            const std::size_t close = text.find('\'', i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            i = close;
            continue;
        }
        if (quotes && !in_double && ch == '$' && i + 1 < text.size() && text[i + 1] == '\'') {
            std::size_t k = i + 2;
            for (; k < text.size() && text[k] != '\''; ++k)
                if (text[k] == '\\') ++k;
            i = k;
            continue;
        }
        if (quotes && ch == '"') {
            in_double = !in_double;
            continue;
        }
        if (ch == '`') {
            const std::size_t after = skip_backquotes(text, i);
            if (after == std::string_view::npos) continue;
            return Found{backquote_inner(text.substr(i + 1, after - i - 2)), i, after};
        }
        if (ch == '$' && i + 1 < text.size() && text[i + 1] == '(') {
            if (i + 2 < text.size() && text[i + 2] == '(') continue;  // arithmetic; its inside is scanned on
            const std::size_t end = matching_paren(text, i + 2);
            if (end == std::string_view::npos) return std::nullopt;
            return Found{std::string(text.substr(i + 2, end - i - 3)), i, end};
        }
    }
    return std::nullopt;
}

// The inner command of a whole <( ) or >( ) word.
std::optional<std::string> process_substitution_text(std::string_view word, char direction) {
    if (word.size() < 3 || word[0] != direction || word[1] != '(' || word.back() != ')') return std::nullopt;
    return std::string(word.substr(2, word.size() - 3));
}

struct Started {
    Pid child = 0;
    std::uint32_t capture = 0;
};
struct StartFailure {
    std::int32_t status = 125;
    std::string message;
};

// Runs `text` in a child shell with an empty standard input and a captured standard output. The
// parent holds one reference on the capture until it collects it. On success the child is the
// active process.
Result<Started, StartFailure> start_command_substitution(Exec& x, std::string_view text, std::string_view label) {
    Machine& m = x.m;
    Bytes parse_errors;
    auto program = m.parse_source(text, parse_errors);
    if (!program) return std::unexpected(StartFailure{program.error(), std::move(parse_errors)});
    auto input = m.open_descriptions.insert_buffer({});
    if (!input)
        return std::unexpected(StartFailure{125, fmt::format("tarnwick: command substitution: {}\n", error_text(input.error()))});
    auto capture = m.open_descriptions.insert_capture();
    if (!capture) {
        m.open_descriptions.release_if_unused(*input);
        return std::unexpected(StartFailure{125, fmt::format("tarnwick: command substitution: {}\n", error_text(capture.error()))});
    }
    if (auto held = m.open_descriptions.add_ref(*capture); !held) {
        m.open_descriptions.release_if_unused(*input);
        m.open_descriptions.release_if_unused(*capture);
        return std::unexpected(StartFailure{125, fmt::format("tarnwick: command substitution: {}\n", error_text(held.error()))});
    }
    auto child = m.create_child_process(label, false, true, false, GroupMode::Inherit);
    if (!child) {
        m.open_descriptions.release_if_unused(*input);
        (void)m.open_descriptions.release(*capture);
        return std::unexpected(StartFailure{125, fmt::format("tarnwick: {}\n", child.error())});
    }
    // As in other shells outside their strict mode, a substitution does not inherit `set -e`:
    // its commands all run and the status is that of the last one.
    if (ProcessState* state = m.states.find_mut(*child)) state->options.errexit = false;
    expect(m.install_descriptor(*child, 0, *input).has_value(), "command substitution child must accept a valid input description");
    expect(m.install_descriptor(*child, 1, *capture).has_value(), "command substitution child must accept a valid capture description");
    expect(m.states.set_program(*child, shell_program(ExecFrame::program_stack(std::move(*program)))).has_value(),
           "command substitution child must accept a continuation");
    return Started{*child, *capture};
}

struct Collected {
    std::int32_t status = 0;
    Bytes bytes;
};

Collected finish_substitution_child(Exec& x, Pid child, std::uint32_t capture) {
    Machine& m = x.m;
    Collected out;
    const ProcessRecord* record = m.processes.find(child);
    if (record != nullptr && record->status == ProcessStatus::Exited) {
        out.status = record->exit_code;
    } else {
        x.diag(fmt::format("tarnwick: command substitution child {} did not exit\n", child));
        out.status = 125;
    }
    if (auto bytes = m.open_descriptions.take_captured_bytes(capture)) out.bytes = std::move(*bytes);
    (void)m.open_descriptions.release(capture);
    (void)m.processes.reap(child);
    m.scheduler.remove_task(child);
    return out;
}

std::string collect_text(Bytes bytes) {
    while (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();
    return utf8_lossy(bytes);
}

// A fresh marker variable name: neither a set parameter nor an exported name.
Result<std::string, std::string> new_substitution_marker(Exec& x) {
    Machine& m = x.m;
    while (true) {
        if (m.substitution_counter == UINT64_MAX) return std::unexpected(std::string("tarnwick: command substitution identity exhausted\n"));
        const std::string name = fmt::format("__TARNWICK_COMMAND_SUBSTITUTION_{}", m.substitution_counter++);
        ProcessState& s = x.st();
        if (!lookup_parameter(s, name) && !s.exported_names.contains(name)) return name;
        if (!m.meter.charge_cpu(1))
            return std::unexpected(std::string("tarnwick: resource limit exceeded during command substitution\n"));
    }
}

Result<std::string, std::string> create_substitution_file(Machine& m, Bytes bytes) {
    if (m.substitution_counter == UINT64_MAX) return std::unexpected(std::string("tarnwick: process substitution identity exhausted\n"));
    const std::string path = fmt::format("/tmp/.tarnwick-process-substitution-{}", m.substitution_counter++);
    m.sync_vfs_clock();
    if (auto r = m.vfs.write_file(path, std::move(bytes), 0600); !r)
        return std::unexpected(fmt::format("tarnwick: process substitution: {}\n", error_text(r.error())));
    m.vfs.raise_peak();
    return path;
}

// The places of a simple command a command substitution is searched in, in order.
struct TextSlot {
    std::string* text = nullptr;
    bool quotes = true;
};
std::vector<TextSlot> simple_slots(SimpleState& s) {
    std::vector<TextSlot> slots;
    for (Assignment& a : s.assignments) slots.push_back({&a.name, true});
    for (Assignment& a : s.assignments) slots.push_back({&a.value, true});
    for (std::string& w : s.words) slots.push_back({&w, true});
    for (Redirection& r : s.redirections) {
        if (r.kind == RedirectKind::HereDocLiteral) continue;
        slots.push_back({&r.target, r.kind != RedirectKind::HereDoc});
    }
    return slots;
}

// Rewrites the first command substitution of the slots as a marker reference and starts it.
// `on_started` pushes the waiting frame; `on_failed` cleans up. Answers whether one was found.
template <class OnStarted, class OnFailed>
bool start_marker_substitution(Exec& x, std::vector<TextSlot> slots, OnStarted on_started, OnFailed on_failed) {
    for (TextSlot& slot : slots) {
        std::optional<Found> found = find_command_substitution(*slot.text, slot.quotes);
        if (!found) continue;
        if (!x.reserve(1)) {
            on_failed(std::nullopt);
            return true;
        }
        auto marker = new_substitution_marker(x);
        if (!marker) {
            x.diag(marker.error());
            on_failed(125);
            return true;
        }
        std::optional<std::string> saved = lookup_parameter(x.st(), *marker);
        slot.text->replace(found->start, found->end - found->start, fmt::format("${{{}}}", *marker));
        auto started = start_command_substitution(x, found->inner, "$(command substitution)");
        if (!started) {
            if (!started.error().message.empty()) x.diag(started.error().message);
            on_failed(started.error().status);
            return true;
        }
        on_started(std::move(*marker), std::move(saved), started->child, started->capture);
        x.c.wait_for_child = true;
        return true;
    }
    return false;
}

}  // namespace

// ---- simple commands ----

namespace {

// Whether a text may hold a substitution: a backquote, "$(", or a process substitution word.
bool may_substitute(std::string_view text) {
    if (text.find('`') != std::string_view::npos) return true;
    if (text.find("$(") != std::string_view::npos) return true;
    return text.starts_with("<(") || text.starts_with(">(");
}

bool state_may_substitute(const SimpleState& state) {
    for (const Assignment& a : state.assignments)
        if (may_substitute(a.name) || may_substitute(a.value)) return true;
    for (const std::string& w : state.words)
        if (may_substitute(w)) return true;
    for (const Redirection& r : state.redirections)
        if (r.kind != RedirectKind::HereDocLiteral && may_substitute(r.target)) return true;
    return false;
}

}  // namespace

bool start_simple_substitution(Exec& x, SimpleState& state) {
    if (!state_may_substitute(state)) return false;
    Machine& m = x.m;
    auto fail = [&](std::optional<std::int32_t> status) {
        remove_substitution_files(m, state);
        restore_variables(x.st(), state.restore);
        if (status) x.c.status = *status;
    };

    // 1. An output process substitution: a word, or the target of a Write or Append redirection
    // (`cmd > >(consumer)`), which then writes into the substitution's file like a word would.
    std::vector<std::string*> outputs;
    for (std::string& word : state.words) outputs.push_back(&word);
    for (Redirection& r : state.redirections)
        if (r.kind == RedirectKind::Write || r.kind == RedirectKind::Append) outputs.push_back(&r.target);
    for (std::string* slot : outputs) {
        std::string& word = *slot;
        std::optional<std::string> inner = process_substitution_text(word, '>');
        if (!inner) continue;
        if (!x.reserve(1)) {
            fail(std::nullopt);
            return true;
        }
        auto path = create_substitution_file(m, {});
        if (!path) {
            x.diag(path.error());
            fail(125);
            return true;
        }
        word = *path;
        state.output_substitutions.emplace_back(std::move(*path), std::move(*inner));
        x.c.frames.emplace_back(frame::PrepareSimple{std::move(state)});
        return true;
    }

    // 2-3. An input process substitution: a Read redirection's target, then a word.
    auto start_input = [&](frame::AwaitProcessSubstitution::Kind kind, std::size_t index, const std::string& inner) {
        if (!x.reserve(1)) {
            fail(std::nullopt);
            return;
        }
        auto started = start_command_substitution(x, inner, "$(command substitution)");
        if (!started) {
            if (!started.error().message.empty()) x.diag(started.error().message);
            fail(started.error().status);
            return;
        }
        x.c.frames.emplace_back(frame::AwaitProcessSubstitution{kind, index, std::move(state), started->child, started->capture});
        x.c.wait_for_child = true;
    };
    for (std::size_t i = 0; i < state.redirections.size(); ++i) {
        const Redirection& r = state.redirections[i];
        if (r.kind != RedirectKind::Read) continue;
        if (std::optional<std::string> inner = process_substitution_text(r.target, '<')) {
            start_input(frame::AwaitProcessSubstitution::Kind::Redirection, i, *inner);
            return true;
        }
    }
    for (std::size_t i = 0; i < state.words.size(); ++i) {
        if (std::optional<std::string> inner = process_substitution_text(state.words[i], '<')) {
            start_input(frame::AwaitProcessSubstitution::Kind::Word, i, *inner);
            return true;
        }
    }

    // 4. A command substitution.
    return start_marker_substitution(
        x, simple_slots(state),
        [&](std::string marker, std::optional<std::string> saved, Pid child, std::uint32_t capture) {
            x.c.frames.emplace_back(
                frame::AwaitCommandSubstitution{std::move(state), std::move(marker), std::move(saved), child, capture});
        },
        fail);
}

void resume(Exec& x, frame::AwaitCommandSubstitution& f) {
    Collected collected = finish_substitution_child(x, f.child, f.capture);
    if (!x.reserve(1)) {
        remove_substitution_files(x.m, f.state);
        restore_variables(x.st(), f.state.restore);
        return;
    }
    set_variable(x.st(), f.marker, collect_text(std::move(collected.bytes)));
    f.state.restore.push_back({f.marker, std::move(f.saved), false});
    f.state.substitution_status = collected.status;
    x.c.frames.emplace_back(frame::PrepareSimple{std::move(f.state)});
}

void resume(Exec& x, frame::AwaitProcessSubstitution& f) {
    Collected collected = finish_substitution_child(x, f.child, f.capture);
    if (!x.reserve(1)) {
        remove_substitution_files(x.m, f.state);
        restore_variables(x.st(), f.state.restore);
        return;
    }
    if (f.kind == frame::AwaitProcessSubstitution::Kind::Word) {
        auto path = create_substitution_file(x.m, std::move(collected.bytes));
        if (!path) {
            x.diag(path.error());
            remove_substitution_files(x.m, f.state);
            restore_variables(x.st(), f.state.restore);
            x.c.status = 125;
            return;
        }
        f.state.words[f.index] = *path;
        f.state.temp_files.push_back(std::move(*path));
    } else {
        Redirection& r = f.state.redirections[f.index];
        r.kind = RedirectKind::HereDocLiteral;
        r.target = utf8_lossy(collected.bytes);
    }
    x.c.frames.emplace_back(frame::PrepareSimple{std::move(f.state)});
}

// ---- after the command: temporary files and output consumers ----

void resume(Exec& x, frame::RemoveTempFiles& f) { remove_files(x.m, f.paths); }

void resume(Exec& x, frame::RunOutputSubstitutions& f) {
    Machine& m = x.m;
    const std::int32_t saved = f.saved.value_or(x.c.status);
    if (f.entries.empty()) {
        x.c.status = saved;
        return;
    }
    auto [path, text] = std::move(f.entries.back());
    f.entries.pop_back();
    Bytes content;
    if (auto bytes = m.vfs.read_bytes("/", path)) content = std::move(*bytes);
    (void)m.remove_path("/", path);

    auto fail = [&](std::int32_t status, std::string_view message) {
        if (!message.empty()) x.diag(message);
        for (const auto& [other, _] : f.entries) (void)m.remove_path("/", other);
        x.c.status = saved != 0 ? saved : status;
    };
    if (!x.reserve(1)) return;
    Bytes parse_errors;
    auto program = m.parse_source(text, parse_errors);
    if (!program) {
        fail(program.error(), parse_errors);
        return;
    }
    auto input = m.open_descriptions.insert_buffer(std::move(content));
    if (!input) {
        fail(125, fmt::format("tarnwick: process substitution: {}\n", error_text(input.error())));
        return;
    }
    auto child = m.create_child_process(">(process substitution)", false, true, false, GroupMode::Inherit);
    if (!child) {
        m.open_descriptions.release_if_unused(*input);
        fail(125, fmt::format("tarnwick: {}\n", child.error()));
        return;
    }
    expect(m.install_descriptor(*child, 0, *input).has_value(), "process substitution child must accept a valid input description");
    expect(m.states.set_program(*child, shell_program(ExecFrame::program_stack(std::move(*program)))).has_value(),
           "process substitution child must accept a continuation");
    x.c.frames.emplace_back(frame::AwaitOutputSubstitution{std::move(f.entries), saved, *child});
    x.c.wait_for_child = true;
}

void resume(Exec& x, frame::AwaitOutputSubstitution& f) {
    (void)x.m.processes.reap(f.child);
    x.m.scheduler.remove_task(f.child);
    x.c.status = f.saved;
    x.push(frame::RunOutputSubstitutions{std::move(f.entries), f.saved});
}

// ---- for, case, arithmetic ----

bool start_for_substitution(Exec& x, frame::ForWords& f) {
    std::vector<TextSlot> slots;
    for (std::string& w : f.words) slots.push_back({&w, true});
    return start_marker_substitution(
        x, std::move(slots),
        [&](std::string marker, std::optional<std::string> saved, Pid child, std::uint32_t capture) {
            x.c.frames.emplace_back(frame::AwaitForSubstitution{std::move(f), child, capture, std::move(marker), std::move(saved)});
        },
        [&](std::optional<std::int32_t> status) {
            restore_variables(x.st(), f.restore);
            if (status) x.c.status = *status;
        });
}

void resume(Exec& x, frame::AwaitForSubstitution& f) {
    Collected collected = finish_substitution_child(x, f.child, f.capture);
    set_variable(x.st(), f.marker, collect_text(std::move(collected.bytes)));
    f.payload.restore.push_back({f.marker, std::move(f.saved), false});
    x.push(std::move(f.payload));
}

bool start_case_substitution(Exec& x, frame::CaseMatch& f) {
    std::vector<TextSlot> slots;
    slots.push_back({&f.word, true});
    for (auto& arm : f.patterns)
        for (std::string& p : arm) slots.push_back({&p, true});
    return start_marker_substitution(
        x, std::move(slots),
        [&](std::string marker, std::optional<std::string> saved, Pid child, std::uint32_t capture) {
            x.c.frames.emplace_back(frame::AwaitCaseSubstitution{std::move(f), child, capture, std::move(marker), std::move(saved)});
        },
        [&](std::optional<std::int32_t> status) {
            restore_variables(x.st(), f.restore);
            if (status) x.c.status = *status;
        });
}

void resume(Exec& x, frame::AwaitCaseSubstitution& f) {
    Collected collected = finish_substitution_child(x, f.child, f.capture);
    set_variable(x.st(), f.marker, collect_text(std::move(collected.bytes)));
    f.payload.restore.push_back({f.marker, std::move(f.saved), false});
    x.push(std::move(f.payload));
}

bool start_arith_substitution(Exec& x, frame::ArithStep& f) {
    std::optional<Found> found = find_command_substitution(f.text);
    if (!found) return false;
    if (!x.reserve(1)) return true;
    auto started = start_command_substitution(x, found->inner, "$(command substitution)");
    if (!started) {
        if (!started.error().message.empty()) x.diag(started.error().message);
        x.c.status = started.error().status;
        return true;
    }
    x.c.frames.emplace_back(frame::AwaitArithSubstitution{std::move(f), found->start, found->end, started->child, started->capture});
    x.c.wait_for_child = true;
    return true;
}

void resume(Exec& x, frame::AwaitArithSubstitution& f) {
    Collected collected = finish_substitution_child(x, f.child, f.capture);
    std::string text = collect_text(std::move(collected.bytes));
    const auto first = text.find_first_not_of(" \t\n\r");
    text = first == std::string::npos ? std::string("0") : text.substr(first, text.find_last_not_of(" \t\n\r") - first + 1);
    f.payload.text.replace(f.start, f.end - f.start, fmt::format("({})", text));
    x.push(std::move(f.payload));
}

}  // namespace tw::exec_detail
