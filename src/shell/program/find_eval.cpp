// find: evaluating the expression for one entry. The evaluation is a small stack machine kept in
// the program state, so it can stop before an -exec that must wait for earlier output to drain
// and while an -exec child runs, and continue from the same place on a later step.
#include <algorithm>

#include <fmt/format.h>

#include "base/glob.h"
#include "base/panic.h"
#include "base/sat.h"
#include "kernel/process.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "shell/program/find_internal.h"

namespace tw {

void find_report(program::Find& state, std::string_view message) {
    state.errors += fmt::format("find: {}\n", message);
    state.status = std::max(state.status, 1);
}

void find_stop(program::Find& state, std::string_view line) {
    state.errors += line;
    state.errors += '\n';
    state.status = 125;
    state.finished = true;
    state.pending.reset();
    state.walk.reset();
}

void find_exhausted(program::Find& state) {
    state.status = 137;
    state.finished = true;
    state.pending.reset();
    state.walk.reset();
}

namespace {

bool compares(std::uint64_t measured, std::uint64_t count, FindCompare wanted) {
    const FindCompare got = measured < count ? FindCompare::Less
                            : measured > count ? FindCompare::Greater
                                               : FindCompare::Exact;
    return got == wanted;
}

bool output_undrained(const program::Find& state) {
    return state.output_written < state.output.size() || state.errors_written < state.errors.size();
}

// The entry's metadata, links not followed; a failure is reported against the display path.
std::optional<FileStat> entry_stat(program::Find& state, SyscallContext& sys, const FindEvaluation& ev) {
    auto st = sys.stat("/", ev.absolute, false);
    if (!st) {
        find_report(state, fmt::format("{}: {}", ev.display, error_text(st.error())));
        return std::nullopt;
    }
    return *st;
}

// Starts a child for `argv`; false (and the run stopped) when it cannot be started.
std::optional<Pid> start_child(program::Find& state, SyscallContext& sys, std::vector<std::string> argv,
                               std::optional<std::string> directory) {
    ChildRequest request;
    request.argv = std::move(argv);
    request.configuration.directory = std::move(directory);
    auto pid = sys.prepare_child(request);
    if (!pid) {
        find_stop(state, fmt::format("find: cannot spawn child: {}", error_text(pid.error())));
        return std::nullopt;
    }
    return *pid;
}

void replace_all(std::string& text, std::string_view hole, std::string_view with) {
    std::string out;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = text.find(hole, from);
        if (at == std::string::npos) break;
        out.append(text, from, at - from);
        out.append(with);
        from = at + hole.size();
    }
    if (from == 0) return;
    out.append(text, from, std::string::npos);
    text = std::move(out);
}

enum class Outcome : std::uint8_t { Value, Suspend, ChildStarted, Stopped };

struct Evaluator {
    program::Find& state;
    SyscallContext& sys;
    FindEvaluation& ev;
    bool value = false;

    Outcome test(bool v) {
        value = v;
        return Outcome::Value;
    }

    Outcome operator()(const find_expr::True&) { return test(true); }
    Outcome operator()(const find_expr::Prune&) {
        state.prune_pending = !state.command->depth_first;
        return test(true);
    }
    Outcome operator()(const find_expr::Print& n) {
        state.output += ev.display;
        state.output += n.nul ? '\0' : '\n';
        return test(true);
    }
    Outcome operator()(const find_expr::Name& n) {
        return test(glob_to_regex(n.pattern, vfs_file_name(ev.absolute)));
    }
    Outcome operator()(const find_expr::IName& n) {
        return test(glob_to_regex(n.pattern, find_lowercase(vfs_file_name(ev.absolute))));
    }
    Outcome operator()(const find_expr::Path& n) { return test(glob_to_regex(n.pattern, ev.display)); }
    Outcome operator()(const find_expr::Type& n) {
        auto st = entry_stat(state, sys, ev);
        if (!st) return test(false);
        switch (n.letter) {
            case 'd': return test(st->file_type == 1);
            case 'l': return test(st->file_type == 2);
            default: return test(st->file_type == 0);
        }
    }
    Outcome operator()(const find_expr::Empty&) {
        auto st = entry_stat(state, sys, ev);
        if (!st) return test(false);
        if (st->file_type == 1) {
            auto names = sys.read_dir("/", ev.absolute);
            if (!names) {
                find_report(state, fmt::format("{}: {}", ev.display, error_text(names.error())));
                return test(false);
            }
            return test(names->empty());
        }
        return test(st->file_type == 0 && !st->is_native && st->size == 0);
    }
    Outcome operator()(const find_expr::Newer& n) {
        auto st = entry_stat(state, sys, ev);
        if (!st) return test(false);
        auto reference = sys.stat(sys.getcwd(), n.reference, true);
        if (!reference) {
            find_report(state, fmt::format("{}: {}", n.reference, error_text(reference.error())));
            return test(false);
        }
        return test(st->mtime_ns > reference->mtime_ns);
    }
    Outcome operator()(const find_expr::Size& n) {
        auto st = entry_stat(state, sys, ev);
        if (!st) return test(false);
        const std::uint64_t size = st->file_type == 1 || st->is_native ? 0 : st->size;
        const std::uint64_t units = sat_add(size, n.unit - 1) / n.unit;
        return test(compares(units, n.count, n.comparison));
    }
    Outcome operator()(const find_expr::Perm& n) {
        auto st = entry_stat(state, sys, ev);
        if (!st) return test(false);
        const std::uint32_t m = st->mode & 07777;
        switch (n.kind) {
            case PermMatch::Exact: return test(m == n.mode);
            case PermMatch::AllOf: return test((m & n.mode) == n.mode);
            case PermMatch::AnyOf: return test((m & n.mode) != 0);
        }
        return test(false);
    }
    Outcome operator()(const find_expr::Age& n) {
        auto st = entry_stat(state, sys, ev);
        if (!st) return test(false);
        const std::uint64_t age = sat_sub(sys.file_time_now(), st->mtime_ms);
        return test(compares(age / n.unit, n.count, n.comparison));
    }
    Outcome operator()(const find_expr::Delete&) {
        auto st = entry_stat(state, sys, ev);
        if (!st) return test(false);
        auto removed = st->file_type == 1 ? sys.rmdir("/", ev.absolute) : sys.remove("/", ev.absolute);
        if (!removed) {
            find_report(state, fmt::format("cannot delete '{}': {}", ev.display, error_text(removed.error())));
            return test(false);
        }
        return test(true);
    }
    Outcome operator()(const find_expr::Exec& n) {
        if (output_undrained(state)) return Outcome::Suspend;
        if (n.batch) {
            const std::uint64_t id = *n.batch;
            if (!state.batches[id].empty() &&
                sat_add(state.batch_bytes[id], ev.display.size()) > kFindBatchBytes) {
                // The queued paths go first; this entry is queued when the evaluation resumes here.
                return find_run_batch(state, sys, id) ? Outcome::ChildStarted : Outcome::Stopped;
            }
            state.batches[id].push_back(ev.display);
            state.batch_bytes[id] = sat_add(state.batch_bytes[id], sat_add(ev.display.size(), 1));
            return test(true);
        }
        std::string substitution = ev.display;
        std::optional<std::string> directory;
        if (n.in_directory) {
            const std::size_t slash = ev.absolute.rfind('/');
            if (slash == std::string::npos) {
                directory = "/";
                substitution = "./" + ev.absolute;
            } else {
                directory = slash == 0 ? std::string("/") : ev.absolute.substr(0, slash);
                substitution = "./" + ev.absolute.substr(slash + 1);
            }
        }
        std::vector<std::string> argv = n.words;
        for (std::string& word : argv) replace_all(word, "{}", substitution);
        auto pid = start_child(state, sys, std::move(argv), std::move(directory));
        if (!pid) return Outcome::Stopped;
        state.child = FindChild{FindChild::Kind::Each, *pid};
        return Outcome::ChildStarted;
    }
    Outcome operator()(const find_expr::Not&) { unreachable("operators are evaluated by the frames"); }
    Outcome operator()(const find_expr::And&) { unreachable("operators are evaluated by the frames"); }
    Outcome operator()(const find_expr::Or&) { unreachable("operators are evaluated by the frames"); }
};

}  // namespace

bool find_run_batch(program::Find& state, SyscallContext& sys, std::uint64_t id) {
    std::vector<std::string> paths = std::move(state.batches[id]);
    state.batches[id].clear();
    state.batch_bytes[id] = 0;
    const auto& exec = std::get<find_expr::Exec>(state.command->expression.node(state.command->batch_nodes[id]));
    std::vector<std::string> argv = exec.words;
    argv.insert(argv.end(), std::make_move_iterator(paths.begin()), std::make_move_iterator(paths.end()));
    auto pid = start_child(state, sys, std::move(argv), std::nullopt);
    if (!pid) return false;
    state.child = FindChild{FindChild::Kind::Batch, *pid};
    return true;
}

bool find_continue_evaluation(program::Find& state, SyscallContext& sys) {
    FindEvaluation& ev = *state.pending;
    const FindExpr& expr = state.command->expression;
    while (true) {
        if (ev.node) {
            if (!sys.charge_cpu(1)) {
                find_exhausted(state);
                return false;
            }
            const FindNode& node = expr.node(*ev.node);
            if (const auto* n = std::get_if<find_expr::Not>(&node)) {
                ev.frames.push_back({EvalFrame::Kind::Not, 0});
                ev.node = n->operand;
                continue;
            }
            if (const auto* n = std::get_if<find_expr::And>(&node)) {
                ev.frames.push_back({EvalFrame::Kind::And, n->right});
                ev.node = n->left;
                continue;
            }
            if (const auto* n = std::get_if<find_expr::Or>(&node)) {
                ev.frames.push_back({EvalFrame::Kind::Or, n->right});
                ev.node = n->left;
                continue;
            }
            Evaluator evaluator{state, sys, ev};
            switch (std::visit(evaluator, node)) {
                case Outcome::Value:
                    ev.result = evaluator.value;
                    ev.node.reset();
                    continue;
                case Outcome::Suspend: return false;  // drained first, then this node again
                case Outcome::Stopped: return false;
                case Outcome::ChildStarted:
                    // A per-entry child supplies the result; after a batch that had to run first,
                    // the same node is evaluated again and then queues this entry.
                    if (state.child.kind == FindChild::Kind::Each) {
                        ev.node.reset();
                        ev.result.reset();
                    }
                    return true;
            }
        }
        if (ev.frames.empty()) {
            state.pending.reset();
            return false;
        }
        const EvalFrame frame = ev.frames.back();
        ev.frames.pop_back();
        const bool result = ev.result.value_or(false);
        switch (frame.kind) {
            case EvalFrame::Kind::Not: ev.result = !result; break;
            case EvalFrame::Kind::And:
                if (result) ev.node = frame.right;
                break;
            case EvalFrame::Kind::Or:
                if (!result) ev.node = frame.right;
                break;
        }
    }
}

}  // namespace tw
