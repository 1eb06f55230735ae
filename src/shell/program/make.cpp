// make as a resumable program: each step writes make's pending messages, collects a finished
// recipe child, plans targets and starts the next recipe line as an "sh -c" child, then blocks
// until that child has exited. Recipes run one at a time, in planning order.
#include <fmt/format.h>

#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {

namespace {

// Writes the rest of `data` (from `written` on) to `fd`.
std::optional<ProgramStep> drain(SyscallContext& sys, std::int32_t fd, Bytes& data, std::uint64_t& written,
                                 std::uint64_t& budget) {
    if (written >= data.size()) {
        data.clear();
        written = 0;
        return std::nullopt;
    }
    PendingBytes pending{std::move(data), written};
    auto step = drain_output(sys, fd, pending, budget);
    data = std::move(pending.data);
    written = pending.written;
    if (!step) {
        data.clear();
        written = 0;
    }
    return step;
}

// Ends the engine: the text is written to standard error before make ends with `status`.
ProgramStep finish(program::Make& state, SyscallContext& sys, std::int32_t status, std::string text) {
    release_make(state, sys);
    state.engine.reset();
    state.exit_status = status;
    state.final_text.append(text);
    state.finishing = true;
    return ProgramStep::yield();
}

// A write that failed ends make at once with the writer's status; a pending one is answered.
ProgramStep write_answer(program::Make& state, SyscallContext& sys, const ProgramStep& step) {
    if (step.kind == ProgramStep::Kind::Finished) {
        release_make(state, sys);
        state.engine.reset();
    }
    return step;
}

}  // namespace

void release_make(program::Make& state, SyscallContext& sys) {
    if (state.engine && state.engine->memory_charged != 0) {
        sys.release_memory(state.engine->memory_charged);
        state.engine->memory_charged = 0;
    }
}

ProgramStep step_make(program::Make& state, SyscallContext& sys, std::uint64_t& budget) {
    if (state.finishing) return drain_then_finish(sys, 2, state.final_text, budget, state.exit_status);
    if (!state.started) {
        state.started = true;
        auto engine = make_start(sys, state.args);
        if (!engine) return finish(state, sys, engine.error().status, std::move(engine.error().message));
        state.engine = std::move(*engine);
        state.args.clear();
    }
    if (!state.engine) return ProgramStep::finished(state.exit_status);
    MakeEngine& engine = *state.engine;

    for (;;) {
        if (auto step = drain(sys, 2, engine.stderr_text, engine.stderr_written, budget))
            return write_answer(state, sys, *step);
        if (auto step = drain(sys, 1, engine.stdout_text, engine.stdout_written, budget))
            return write_answer(state, sys, *step);

        if (engine.current_recipe && engine.current_recipe->child) {
            MakeCurrentRecipe& recipe = *engine.current_recipe;
            auto ended = sys.child_state(*recipe.child);
            if (!ended)
                return finish(state, sys, 2, fmt::format("make: cannot wait for recipe: {}\n", error_text(ended.error())));
            if (!ended->exited) return ProgramStep::blocked(WaitReason::child(*recipe.child));
            auto status = sys.reap_child(*recipe.child);
            if (!status)
                return finish(state, sys, 2, fmt::format("make: cannot reap recipe: {}\n", error_text(status.error())));
            const MakeCurrentRecipe done = std::move(recipe);
            engine.current_recipe.reset();
            if (*status != 0 && !done.ignore_errors) make_recipe_failed(engine, sys, done.target, done.line, *status);
            continue;
        }

        if (engine.current_recipe) {
            MakeCurrentRecipe& recipe = *engine.current_recipe;
            if (auto step = drain(sys, 1, recipe.echo, recipe.echo_written, budget))
                return write_answer(state, sys, *step);
            if (!recipe.run) {
                engine.current_recipe.reset();
                continue;
            }
            ChildRequest request;
            request.argv = {"sh", "-c", recipe.command};
            request.configuration.directory = sys.getcwd();
            request.configuration.environment = engine.environment;
            auto child = sys.prepare_child(request);
            if (!child)
                return finish(state, sys, 2, fmt::format("make: cannot run recipe: {}\n", error_text(child.error())));
            recipe.child = *child;
            return ProgramStep::wait_child();
        }

        auto advanced = make_advance(engine, sys);
        if (!advanced) return finish(state, sys, advanced.error().status, std::move(advanced.error().message));
        if (!*advanced) return finish(state, sys, engine.exit_status, {});
    }
}

}  // namespace tw
