// Simple commands on their way to running: redirections applied to the shell's own descriptor
// table (all of them or none, files included), the words expanded, aliases replaced, prefix
// assignments made; then exec, a shell function or the command runner. Also the undoing of
// redirections afterwards.
#include <fmt/format.h>

#include <set>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "shell/assign.h"
#include "shell/exec_internal.h"
#include "shell/expand.h"
#include "shell/language.h"
#include "shell/parser.h"
#include "shell/variables.h"

namespace tw::exec_detail {

namespace {

// What the saved descriptor table of a redirected command is charged while it is held.
constexpr std::uint64_t kRedirectionCharge = 4096;
constexpr std::string_view kRedirectionMemoryError = "memory limit exceeded while preparing redirections";

// The text of a failed descriptor operation as the redirection messages show it.
std::string operation_error_text(const SyscallError& e) {
    if (const VfsError* vfs = e.vfs_error()) return std::string(VfsError::description(vfs->kind));
    if (const DescriptorError* d = e.descriptor_error()) return std::string(error_text(*d));
    return error_text(e);
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\n\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\n\r");
    return std::string(text.substr(first, last - first + 1));
}

// An unsigned 32-bit decimal number, nothing else.
std::optional<std::int32_t> descriptor_number(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t n = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        n = n * 10 + static_cast<std::uint64_t>(ch - '0');
    }
    if (n > UINT32_MAX) return std::nullopt;
    // Descriptor numbers above the signed range name no descriptor; they fail as bad descriptors.
    if (n > static_cast<std::uint64_t>(INT32_MAX)) return -1;
    return static_cast<std::int32_t>(n);
}

std::optional<std::int32_t> standard_stream_target(std::string_view path) {
    if (path == "/dev/stdin") return 0;
    if (path == "/dev/stdout") return 1;
    if (path == "/dev/stderr") return 2;
    if (path.starts_with("/dev/fd/")) return descriptor_number(path.substr(8));
    return std::nullopt;
}

// What an earlier redirection of the same command did to a file, to be undone when a later one
// fails: the file did not exist (it is removed again), or it was truncated (its bytes come back).
struct FileUndo {
    std::string path;               // canonical
    std::optional<VfsNode> before;  // the regular file as it was; none when there was nothing
};

class Redirector {
public:
    Redirector(Exec& x, bool keep_undo) : x_(x), keep_undo_(keep_undo) {}
    Redirector(const Redirector&) = delete;
    Redirector& operator=(const Redirector&) = delete;
    ~Redirector() { x_.m.meter.release_memory(undo_charge_); }

    // Applies one redirection; the error text on failure.
    std::optional<std::string> apply(const Redirection& r) {
        switch (r.kind) {
            case RedirectKind::Read:
            case RedirectKind::Write:
            case RedirectKind::Append: {
                auto path = target(r.target);
                if (!path) return std::move(path.error());
                if (std::optional<std::int32_t> stream = standard_stream_target(*path)) {
                    if (auto e = dup(*stream, r.fd)) return fmt::format("{}: {}", *path, *e);
                    return std::nullopt;
                }
                return open(r.fd, *path, r.kind);
            }
            case RedirectKind::ReadWrite: {
                auto path = target(r.target);
                if (!path) return std::move(path.error());
                return open(r.fd, *path, r.kind);
            }
            case RedirectKind::Duplicate: return duplicate(r);
            case RedirectKind::Close: {
                // Closing a descriptor that is not open is no error.
                if (!x_.st().descriptors.is_open(r.fd)) return std::nullopt;
                SyscallContext sys(x_.m);
                if (auto e = sys.close(r.fd); !e) return fmt::format("{}: {}", r.fd, operation_error_text(e.error()));
                return std::nullopt;
            }
            case RedirectKind::HereDoc: return here(r.fd, expand_heredoc_body(x_.m, r.target));
            case RedirectKind::HereDocLiteral: return here(r.fd, r.target);
            case RedirectKind::HereString: return here(r.fd, expand_word_text(x_.m, r.target) + "\n");
        }
        return std::nullopt;
    }

    // Puts back what the applied redirections did to files, newest first.
    void undo_files() {
        Machine& m = x_.m;
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
            if (!it->before) {
                if (m.vfs.node(it->path) != nullptr) (void)m.remove_path("/", it->path);
                continue;
            }
            const VfsNode& node = *it->before;
            if (const Bytes* data = node.data()) {
                (void)m.vfs.write_file_mode("/", it->path, *data, node.mode);
                (void)m.vfs.set_times("/", it->path, node.mtime_ms, node.mtime_sub_ns);
            }
        }
        m.vfs.raise_peak();
    }

private:
    // A pending error recorded by the expansion becomes the redirection's error; a fatal one
    // requests the exit.
    std::optional<std::string> take_pending() {
        ProcessState& s = x_.st();
        if (!s.pending_error || !s.pending_error->message) return std::nullopt;
        PendingError error = std::move(*s.pending_error);
        s.pending_error.reset();
        if (error.fatal) {
            s.exit_requested = true;
            s.exit_status = error.status;
        }
        return trimmed(*error.message);
    }

    Result<std::string, std::string> target(std::string_view word) {
        std::vector<std::string> fields = expand_words(x_.m, word, true);
        if (auto e = take_pending()) return std::unexpected(std::move(*e));
        if (fields.size() != 1) return std::unexpected(fmt::format("{}: ambiguous redirect", word));
        return path_join_normalize(x_.st().cwd, fields.front());
    }

    std::optional<std::string> dup(std::int32_t from, std::int32_t to) {
        SyscallContext sys(x_.m);
        if (auto r = sys.dup2(from, to); !r) return operation_error_text(r.error());
        return std::nullopt;
    }

    std::optional<std::string> open(std::int32_t fd, const std::string& path, RedirectKind kind) {
        Machine& m = x_.m;
        OpenFlags flags;
        switch (kind) {
            case RedirectKind::Read: flags = OpenFlags::input(); break;
            case RedirectKind::Write: flags = OpenFlags::output(); break;
            case RedirectKind::Append: flags = OpenFlags::append_output(); break;
            default: flags = OpenFlags::read_write(); break;
        }
        if (keep_undo_ && flags.write && !note_file(path, flags.truncate)) return std::string(kRedirectionMemoryError);
        if (auto r = m.open_at(fd, "/", path, flags); !r) return fmt::format("{}: {}", path, operation_error_text(r.error()));
        return std::nullopt;
    }

    // Notes how to put the file back; the copy of a truncated file's bytes is charged to the
    // memory budget while it is held. False when that charge is refused.
    bool note_file(const std::string& path, bool truncates) {
        Machine& m = x_.m;
        auto canonical = m.vfs.resolve_symlinks(path, true);
        if (!canonical) return true;
        const VfsNode* node = m.vfs.node(*canonical);
        if (node == nullptr) {
            undo_.push_back({std::move(*canonical), std::nullopt});
        } else if (truncates && node->is_file() && !node->data()->empty()) {
            const std::uint64_t size = node->data()->size();
            if (!m.meter.charge_memory(size)) return false;
            undo_charge_ = sat_add(undo_charge_, size);
            undo_.push_back({std::move(*canonical), *node});
        }
        return true;
    }

    std::optional<std::string> duplicate(const Redirection& r) {
        std::string_view rest = std::string_view(r.target).substr(r.target.starts_with('&') ? 1 : 0);
        std::optional<std::int32_t> from = descriptor_number(rest);
        std::string expanded;
        if (!from && !rest.empty()) {
            // `>&$fd`, `>&-` written through a word, or `>&file` for both outputs.
            expanded = expand_word_text(x_.m, rest);
            if (auto e = take_pending()) return e;
            if (expanded == "-") {
                Redirection close{"-", r.fd, RedirectKind::Close};
                return apply(close);
            }
            from = descriptor_number(expanded);
            if (!from && r.fd == 1 && !expanded.empty()) {
                auto path = target(rest);
                if (!path) return std::move(path.error());
                if (auto e = open(1, *path, RedirectKind::Write)) return e;
                if (auto e = dup(1, 2)) return fmt::format("{}: {}", r.target, *e);
                return std::nullopt;
            }
        }
        if (!from) return fmt::format("bad file descriptor: {}", r.target);
        if (auto e = dup(*from, r.fd)) return fmt::format("{}: {}", r.target, *e);
        return std::nullopt;
    }

    std::optional<std::string> here(std::int32_t fd, std::string body) {
        if (auto e = take_pending()) return e;
        Machine& m = x_.m;
        // The body was built and is copied into its buffer: one unit of work a byte.
        if (!m.meter.charge_cpu(body.size())) return std::string("here document: CPU exhausted");
        auto number = m.open_descriptions.insert_buffer(std::move(body));
        if (!number) return fmt::format("here document: {}", error_text(number.error()));
        if (auto r = m.install_active_descriptor(fd, *number); !r)
            return fmt::format("here document: {}", error_text(r.error()));
        return std::nullopt;
    }

    Exec& x_;
    bool keep_undo_;
    std::vector<FileUndo> undo_;
    std::uint64_t undo_charge_ = 0;
};

bool is_permanent(const std::vector<std::string>& words) {
    return (words.size() == 1 && words[0] == "exec") || (words.size() == 2 && words[0] == "exec" && words[1] == "--");
}

bool is_declaration_command(std::string_view word) {
    return word == "declare" || word == "typeset" || word == "local" || word == "export" || word == "readonly";
}

// A word that expands to itself: no quoting, no $ or backquote, no brace list, no tilde, no glob
// character (a `[` without `]` opens no bracket expression).
bool is_literal_word(std::string_view word) {
    if (word.empty()) return false;
    bool open_bracket = false;
    bool close_bracket = false;
    for (char ch : word) {
        switch (ch) {
            case '$': case '`': case '\\': case '\'': case '"': case '*': case '?': case '{': case '~':
                return false;
            case '[': open_bracket = true; break;
            case ']': close_bracket = true; break;
            default: break;
        }
    }
    return !(open_bracket && close_bracket);
}

// The words of a command as it runs: assignment-shaped operands of the declaration builtins
// stay raw (the builtin assigns them itself); the operands of [[ ]] are single fields, those
// right of a pattern operator with their quoted parts escaped; everything else is expanded with
// splitting and pathname expansion.
std::vector<std::string> expand_command_words(Machine& m, const std::vector<std::string>& words) {
    std::vector<std::string> out;
    out.reserve(words.size());
    if (words.empty()) return out;
    if (words[0] == "[[") {
        for (std::size_t i = 0; i < words.size(); ++i) {
            const bool pattern = i > 0 && (words[i - 1] == "==" || words[i - 1] == "=" || words[i - 1] == "!=");
            if (is_literal_word(words[i]) && !pattern) {
                out.push_back(words[i]);
                continue;
            }
            out.push_back(pattern ? expand_pattern_word(m, words[i]) : expand_word_text(m, words[i]));
        }
        return out;
    }
    const bool declaration = is_declaration_command(words[0]);
    for (const std::string& word : words) {
        if (declaration && is_assignment_word(word)) {
            out.push_back(word);
            continue;
        }
        if (is_literal_word(word)) {
            out.push_back(word);
            continue;
        }
        std::vector<std::string> fields = expand_words(m, word, true);
        for (std::string& field : fields) out.push_back(std::move(field));
    }
    return out;
}

// Replaces a leading alias, repeatedly. The error text on a loop or an empty alias.
std::optional<std::string> expand_aliases(Machine& m, std::vector<std::string>& words) {
    std::set<std::string> seen;
    while (!words.empty()) {
        const auto& aliases = shell_language(m.states.active()).aliases;
        if (aliases.empty()) break;
        auto it = aliases.find(words.front());
        if (it == aliases.end()) break;
        const std::string name = words.front();
        if (!seen.insert(name).second || seen.size() >= 33) return fmt::format("recursive alias involving {}", name);
        const std::vector<std::string> raw = it->second.words;
        std::vector<std::string> fields = expand_command_words(m, raw);
        if (fields.empty()) return fmt::format("alias {} expands to an empty command", name);
        for (std::size_t i = 1; i < words.size(); ++i) fields.push_back(std::move(words[i]));
        words = std::move(fields);
        // An alias whose text starts with its own name (alias ls='ls -F') names the command.
        if (words.front() == name) break;
    }
    return std::nullopt;
}

}  // namespace

// ---- saved descriptors and files ----

void discard_saved_descriptors(Machine& m, SavedDescriptors& saved) {
    const std::vector<PipeEndpoint> ends = saved.table.pipe_ends(m.open_descriptions);
    saved.table.close_all(m.open_descriptions);
    for (const PipeEndpoint& end : ends) m.wake_pipe_waiters(end.pipe, end.wake_end());
    m.wake_lock_waiters();
    m.prune_pipe_charges();
    m.drop_unreferenced_orphans();
    m.meter.release_memory(saved.charge);
    saved.charge = 0;
}

void restore_saved_descriptors(Machine& m, SavedDescriptors& saved) {
    m.restore_descriptor_table(std::move(saved.table));
    saved.table = DescriptorTable();
    m.meter.release_memory(saved.charge);
    saved.charge = 0;
}

void remove_files(Machine& m, const std::vector<std::string>& paths) {
    for (const std::string& path : paths) (void)m.remove_path("/", path);
}

void remove_substitution_files(Machine& m, const SimpleState& state) {
    for (const auto& [path, _] : state.output_substitutions) (void)m.remove_path("/", path);
    remove_files(m, state.temp_files);
}

// ---- PrepareSimple ----

void resume(Exec& x, frame::PrepareSimple& f) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    SimpleState& s = f.state;
    if (start_simple_substitution(x, s)) return;

    const std::size_t needed =
        1 + !s.output_substitutions.empty() + !s.redirections.empty() + !s.temp_files.empty();
    if (!x.reserve(needed)) {
        remove_substitution_files(m, s);
        restore_variables(x.st(), s.restore);
        return;
    }

    std::optional<SavedDescriptors> saved;
    if (!s.redirections.empty()) {
        const bool permanent = is_permanent(s.words);
        std::optional<std::string> error;
        // The saved descriptors are charged a fixed amount; the files' undo copies are charged
        // by the redirector as it takes them (nothing copies the whole filesystem).
        const std::uint64_t charge = kRedirectionCharge;
        if (!m.meter.charge_memory(charge)) {
            error = std::string(kRedirectionMemoryError);
        } else if (auto copy = x.st().descriptors.inherit(m.open_descriptions); !copy) {
            m.meter.release_memory(charge);
            error = std::string(error_text(copy.error()));
        } else {
            saved = SavedDescriptors{std::move(*copy), charge};
            // Only a redirection followed by another can need undoing.
            Redirector redirector(x, s.redirections.size() > 1);
            for (const Redirection& r : s.redirections) {
                error = redirector.apply(r);
                if (error) break;
            }
            if (error) {
                restore_saved_descriptors(m, *saved);
                saved.reset();
                redirector.undo_files();
            } else if (permanent) {
                discard_saved_descriptors(m, *saved);
                saved.reset();
            }
        }
        if (error) {
            x.diag(fmt::format("tarnwick: redirection: {}\n", *error));
            remove_substitution_files(m, s);
            restore_variables(x.st(), s.restore);
            c.status = 1;
            return;
        }
    }

    if (!s.output_substitutions.empty())
        c.frames.emplace_back(frame::RunOutputSubstitutions{std::move(s.output_substitutions), std::nullopt});
    if (!s.temp_files.empty()) c.frames.emplace_back(frame::RemoveTempFiles{std::move(s.temp_files)});
    if (saved) c.frames.emplace_back(frame::RestoreDescriptors{std::move(*saved)});

    if (s.body) {
        restore_variables(x.st(), s.restore);
        c.frames.emplace_back(frame::RunCommand{std::move(s.body)});
        return;
    }
    c.frames.emplace_back(
        frame::ExpandAndRun{std::move(s.words), std::move(s.assignments), std::move(s.restore), s.substitution_status});
}

void resume(Exec& x, frame::RestoreDescriptors& f) { restore_saved_descriptors(x.m, f.saved); }

void resume(Exec& x, frame::MarkExit&) {
    ProcessState& s = x.st();
    s.exit_requested = true;
    s.exit_status = x.c.status;
}

// ---- ExpandAndRun ----

void resume(Exec& x, frame::ExpandAndRun& f) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    std::vector<std::string> words = expand_command_words(m, f.words);
    if (x.has_pending_error()) {
        restore_variables(x.st(), f.restore);
        x.report_pending_error();
        return;
    }
    if (auto error = expand_aliases(m, words)) {
        x.diag(fmt::format("tarnwick: alias: {}\n", *error));
        restore_variables(x.st(), f.restore);
        c.status = 2;
        return;
    }

    if (words.empty()) {
        for (const Assignment& a : f.assignments) {
            run_assignments(m, a.name, a.value);
            m.release_command_memory();
            if (!m.recharge_shell_state_memory()) {
                restore_variables(x.st(), f.restore);
                c.status = 137;
                return;
            }
            if (x.has_pending_error()) {
                restore_variables(x.st(), f.restore);
                x.report_pending_error();
                return;
            }
        }
        restore_variables(x.st(), f.restore);
        c.status = f.substitution_status.value_or(0);
        return;
    }

    RestoreList restore;
    if (!f.assignments.empty()) {
        restore = apply_prefix_assignments(m, f.assignments);
        if (x.has_pending_error()) {
            restore_variables(x.st(), f.restore);
            x.report_pending_error();
            return;
        }
    }
    if (!f.restore.empty()) {
        // The declaration builtins expand their assignment operands themselves, so the values of
        // substitutions in them stay until the command has ended.
        if (is_declaration_command(words.front())) {
            restore.insert(restore.end(), f.restore.begin(), f.restore.end());
        } else {
            restore_variables(x.st(), f.restore);
        }
    }

    record_command_seen(m, words.front());

    const auto& functions = shell_language(x.st()).functions;
    if (words.front() == "exec" && !functions.contains("exec")) {
        run_exec_builtin(x, std::move(words), std::move(restore));
        return;
    }
    if (!functions.empty()) {
        auto it = functions.find(words.front());
        if (it != functions.end()) {
            ShellCommandPtr body = it->second;
            call_function(x, body, std::move(words), std::move(restore));
            return;
        }
    }
    run_command_words(x, std::move(words), std::move(restore), false);
}

void record_command_seen(Machine& m, std::string_view name) { m.commands_seen.insert(name); }

}  // namespace tw::exec_detail
