// find: the program step and the walk. Each start path is walked depth first with an explicit
// stack of frames; a directory is listed only when the walk reaches it (through the filesystem's
// per-directory index), so the cost follows the entries visited. Output is buffered and drained
// between walk steps, and -exec children run one at a time while the program waits for them.
#include <algorithm>

#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/step.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "shell/program/find_internal.h"
#include "shell/program/program.h"

namespace tw {
namespace {

// The text printed for an entry and matched by -path.
std::string display_path(const FindRoot& root, const std::string& absolute) {
    if (root.display == ".") {
        if (absolute == root.absolute) return ".";
        std::string_view rest(absolute);
        if (rest.starts_with(root.absolute)) rest.remove_prefix(root.absolute.size());
        while (rest.starts_with('/')) rest.remove_prefix(1);
        return fmt::format("./{}", rest);
    }
    if (root.display.starts_with('/')) return absolute;
    std::string_view cwd(root.cwd);
    while (cwd.ends_with('/')) cwd.remove_suffix(1);
    const std::string prefix = fmt::format("{}/", cwd);
    if (absolute.starts_with(prefix)) return absolute.substr(prefix.size());
    return absolute;
}

// Makes the entry the pending evaluation when it lies within the depth limits. True when it does.
bool evaluate(program::Find& state, const std::string& path, std::uint64_t depth) {
    const FindCommand& command = *state.command;
    if (depth < command.mindepth || (command.maxdepth && depth > *command.maxdepth)) return false;
    FindEvaluation ev;
    ev.node = state.eval_root;
    ev.absolute = path;
    ev.display = display_path(state.walk->root, path);
    state.pending = std::move(ev);
    return true;
}

// The end of the run: the batches still holding paths run one after another; then the run is
// finished.
bool end_of_run(program::Find& state, SyscallContext& sys) {
    for (std::uint64_t id = 0; id < state.batches.size(); ++id) {
        if (state.batches[id].empty()) continue;
        return find_run_batch(state, sys, id);
    }
    state.finished = true;
    if (state.batch_failed) state.status = std::max(state.status, 1);
    return false;
}

void start(program::Find& state, SyscallContext& sys) {
    state.started = true;
    if (!state.command) {
        state.errors += fmt::format("find: {}\n", state.parse_error);
        state.status = 2;
        state.finished = true;
        return;
    }
    FindCommand& command = *state.command;
    state.eval_root = command.expression.root;
    if (!command.has_action) {
        const FindNodeId print = command.expression.add(find_expr::Print{false});
        state.eval_root = command.expression.add(find_expr::And{command.expression.root, print});
    }
    const std::string cwd = sys.getcwd();
    state.batches.assign(command.batch_count, {});
    state.batch_bytes.assign(command.batch_count, 0);
    state.roots.clear();
    for (const std::string& path : command.start_paths)
        state.roots.push_back(FindRoot{path, path_join_normalize(cwd, path), cwd});
    state.next_root = 0;
}

// Follows a child that the program waits for. Absent: go on with the step.
std::optional<ProgramStep> follow_child(program::Find& state, SyscallContext& sys) {
    const FindChild child = state.child;
    auto exit = sys.child_state(child.pid);
    if (!exit) {
        state.child = {};
        find_stop(state, fmt::format("find: cannot wait for child: {}", error_text(exit.error())));
        return std::nullopt;
    }
    if (!exit->exited) return ProgramStep::blocked(WaitReason::child(child.pid));
    auto code = sys.reap_child(child.pid);
    state.child = {};
    if (!code) {
        find_stop(state, fmt::format("find: cannot reap child: {}", error_text(code.error())));
        return std::nullopt;
    }
    if (child.kind == FindChild::Kind::Batch) {
        if (*code != 0) state.batch_failed = true;
        if (state.pending) state.pending->result = true;
    } else if (state.pending) {
        state.pending->result = *code == 0;
    }
    return std::nullopt;
}

// Drains one of the buffers; absent once it is fully written (and then emptied).
std::optional<ProgramStep> drain(SyscallContext& sys, std::int32_t fd, Bytes& data, std::uint64_t& written,
                                 std::uint64_t& budget) {
    PendingBytes pending{std::move(data), written};
    std::optional<ProgramStep> step = drain_output(sys, fd, pending, budget);
    if (step) {
        data = std::move(pending.data);
        written = pending.written;
        return step;
    }
    data.clear();
    written = 0;
    return std::nullopt;
}

}  // namespace

bool find_walk_step(program::Find& state, SyscallContext& sys) {
    if (state.pending) return find_continue_evaluation(state, sys);
    const FindCommand& command = *state.command;
    // Frames that evaluate nothing (outside the depth limits) are walked in bounded runs too.
    for (std::uint32_t frames = 0; frames < kFindWalkStepsPerStep; ++frames) {
        if (!state.walk) {
            if (state.next_root >= state.roots.size()) return end_of_run(state, sys);
            FindRoot root = std::move(state.roots[state.next_root++]);
            auto st = sys.stat("/", root.absolute, false);
            if (!st) {
                const VfsError* vfs = st.error().vfs_error();
                const std::string text =
                    vfs != nullptr ? std::string(VfsError::description(vfs->kind)) : error_text(st.error());
                state.errors += fmt::format("find: '{}': {}\n", root.display, text);
                state.status = std::max(state.status, 1);
                continue;
            }
            std::string absolute = root.absolute;
            state.walk = FindWalk{std::move(root), {}, command.depth_first};
            state.walk->frames.push_back({WalkFrame::Kind::Visit, 0, std::move(absolute)});
        }
        FindWalk& walk = *state.walk;
        if (walk.frames.empty()) {
            state.walk.reset();
            continue;
        }
        WalkFrame frame = std::move(walk.frames.back());
        walk.frames.pop_back();
        if (!sys.charge_cpu(1)) {
            find_exhausted(state);
            return false;
        }
        switch (frame.kind) {
            case WalkFrame::Kind::Visit: {
                state.prune_pending = false;
                auto st = sys.stat("/", frame.path, false);
                if (!st) {
                    find_report(state, fmt::format("{}: {}", frame.path, error_text(st.error())));
                    continue;
                }
                if (st->file_type == 1) {
                    if (walk.depth_first) walk.frames.push_back({WalkFrame::Kind::PostVisit, frame.depth, frame.path});
                    if (!command.maxdepth || frame.depth < *command.maxdepth)
                        walk.frames.push_back({WalkFrame::Kind::Expand, frame.depth, frame.path});
                    if (walk.depth_first) continue;
                }
                if (evaluate(state, frame.path, frame.depth)) return false;
                continue;
            }
            case WalkFrame::Kind::Expand: {
                if (state.prune_pending) {
                    state.prune_pending = false;
                    continue;
                }
                auto names = sys.read_dir("/", frame.path);
                if (!names) {
                    find_report(state, fmt::format("{}: {}", frame.path, error_text(names.error())));
                    continue;
                }
                std::string_view parent(frame.path);
                while (parent.ends_with('/')) parent.remove_suffix(1);
                for (auto it = names->rbegin(); it != names->rend(); ++it) {
                    if (!sys.charge_cpu(1)) {
                        find_exhausted(state);
                        return false;
                    }
                    walk.frames.push_back({WalkFrame::Kind::Visit, sat_add(frame.depth, 1), fmt::format("{}/{}", parent, *it)});
                }
                continue;
            }
            case WalkFrame::Kind::PostVisit:
                if (evaluate(state, frame.path, frame.depth)) return false;
                continue;
        }
    }
    return false;
}

ProgramStep step_find(program::Find& state, SyscallContext& sys, std::uint64_t& budget) {
    std::uint32_t walk_steps = 0;
    while (true) {
        if (state.errors_written < state.errors.size()) {
            if (auto step = drain(sys, 2, state.errors, state.errors_written, budget)) return *step;
            continue;
        }
        if (state.output_written < state.output.size()) {
            if (auto step = drain(sys, 1, state.output, state.output_written, budget)) return *step;
            continue;
        }
        if (state.child.kind != FindChild::Kind::None) {
            if (auto step = follow_child(state, sys)) return *step;
            continue;
        }
        if (state.finished) return ProgramStep::finished(state.status);
        if (!state.started) {
            start(state, sys);
            continue;
        }
        if (find_walk_step(state, sys)) return ProgramStep::wait_child();
        if (++walk_steps >= kFindWalkStepsPerStep) return ProgramStep::yield();
    }
}

ProgramContinuation launch_find(std::span<const std::string> args) {
    program::Find state;
    auto command = FindCommand::parse(args);
    if (command) state.command = std::move(*command);
    else state.parse_error = std::move(command.error());
    return ProgramContinuation{std::move(state)};
}

}  // namespace tw
