// Whole actions through the top-level run loop: a counting loop, a loop of function calls, and
// 64 MiB streamed through cat in a pipeline. Each iteration boots a fresh machine.
#include <benchmark/benchmark.h>

#include <string>

#include <fmt/format.h>

#include "harness/action.h"
#include "kernel/machine.h"
#include "shell/program/program.h"

namespace {

constexpr tw::MachineLimits kBenchLimits{
    .cpu = 1'000'000'000'000ULL, .memory = 8ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 30};

// Runs `source` in a fresh machine per iteration; the run must end with status 0, nothing on
// standard error and `expected` on standard output.
void run_source(benchmark::State& state, const std::string& source, std::string_view expected,
                std::uint64_t bytes = 0) {
    for (auto _ : state) {
        tw::Machine machine = tw::Machine::build(kBenchLimits);
        tw::ActionResult result = machine.run_action(source, "");
        if (result.outcome.exit_status != 0 || !result.err.empty() || result.out != expected) {
            state.SkipWithError(fmt::format("status {}, output {:?}, errors {:?}", result.outcome.exit_status,
                                            result.out, result.err)
                                    .c_str());
            return;
        }
        benchmark::DoNotOptimize(result);
    }
    if (bytes != 0) state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_ShellCountingLoop(benchmark::State& state) {
    run_source(state, "i=0; while [ $i -lt 100000 ]; do i=$((i+1)); done; echo $i", "100000\n");
}
BENCHMARK(BM_ShellCountingLoop)->Unit(benchmark::kMillisecond);

void BM_ShellFunctionCalls(benchmark::State& state) {
    run_source(state, "f() { x=$1; }; i=0; while [ $i -lt 100000 ]; do f $i; i=$((i+1)); done; echo $x",
               "99999\n");
}
BENCHMARK(BM_ShellFunctionCalls)->Unit(benchmark::kMillisecond);

// The same two loops with an arithmetic condition in place of the test command.
void BM_ShellCountingLoopArith(benchmark::State& state) {
    run_source(state, "i=0; while ((i < 100000)); do i=$((i+1)); done; echo $i", "100000\n");
}
BENCHMARK(BM_ShellCountingLoopArith)->Unit(benchmark::kMillisecond);

void BM_ShellFunctionCallsArith(benchmark::State& state) {
    run_source(state, "f() { x=$1; }; i=0; while ((i < 100000)); do f $i; i=$((i+1)); done; echo $x", "99999\n");
}
BENCHMARK(BM_ShellFunctionCallsArith)->Unit(benchmark::kMillisecond);

void BM_PipelineThroughCat(benchmark::State& state) {
    constexpr std::uint64_t kBytes = 64ULL << 20;
    run_source(state, fmt::format("head -c {} /dev/zero | cat | cat > /dev/null", kBytes), "", kBytes);
}
BENCHMARK(BM_PipelineThroughCat)->Unit(benchmark::kMillisecond);

// The same pipeline assembled by hand, without the shell: the resumable programs and the run loop
// alone.
void BM_ProgramPipelineThroughCat(benchmark::State& state) {
    constexpr std::uint64_t kBytes = 64ULL << 20;
    for (auto _ : state) {
        tw::Machine machine = tw::Machine::build(kBenchLimits);
        tw::Bytes out, err;
        const std::int32_t status = machine.run_until_idle(
            tw::CallbackProgram{[last = tw::Pid(0)](tw::Machine& m) mutable {
                using namespace tw;
                auto child = [&m](ProgramKind kind, std::vector<std::string> args, std::optional<std::uint32_t> in,
                                  std::uint32_t out) {
                    const Pid pid = *m.create_child_process("stage", true, false, false, GroupMode::Inherit);
                    if (in) (void)m.install_descriptor(pid, 0, *in);
                    (void)m.install_descriptor(pid, 1, out);
                    (void)m.states.set_program(pid, resumable_process_program(*launch_program(kind, args)));
                    return pid;
                };
                if (last == 0) {
                    auto [r1, w1] = *m.open_descriptions.create_pipe();
                    auto [r2, w2] = *m.open_descriptions.create_pipe();
                    const std::uint32_t null = *m.open_descriptions.insert_device(false, true);
                    child(ProgramKind::Head, {"-c", std::to_string(kBytes), "/dev/zero"}, std::nullopt, w1);
                    child(ProgramKind::Cat, {}, r1, w2);
                    last = child(ProgramKind::Cat, {}, r2, null);
                }
                const ProcessRecord* record = m.processes.find(last);
                if (record->status != ProcessStatus::Exited) return ProgramStep::blocked(WaitReason::child(last));
                return ProgramStep::finished(record->exit_code);
            }},
            "", out, err);
        if (status != 0) {
            state.SkipWithError(fmt::format("status {}: {}", status, err).c_str());
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_ProgramPipelineThroughCat)->Unit(benchmark::kMillisecond);

}  // namespace
