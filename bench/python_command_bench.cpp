// Python programs run end to end as `python3 -c PROGRAM` shell actions inside the machine, each
// beside the same command line run by the host's shell and python3. Both sides include what a
// user waits for: starting the interpreter, compiling, running and writing the output (the
// machine's side leaves out booting the machine). The counter "ratio" is the machine's CPU time
// over the host's (below 1: faster).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <string>
#include <string_view>

#include <fmt/format.h>

#include "harness/action.h"
#include "host_cpu.h"
#include "kernel/machine.h"
#include "python_programs.h"

namespace {

constexpr tw::MachineLimits kCommandBenchLimits{
    .cpu = 1'000'000'000'000'000ULL, .memory = 8ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 30};
constexpr const char* kHostPython3 = "/usr/bin/python3";

// The program as one single-quoted shell word.
std::string shell_quoted(std::string_view text) {
    std::string q = "'";
    for (char c : text) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

void run_command(benchmark::State& state, const char* program) {
    const std::string command = fmt::format("python3 -c {} > /dev/null", shell_quoted(program));
    double total = 0;
    for (auto _ : state) {
        tw::Machine machine = tw::Machine::build(kCommandBenchLimits);
        const double start = tw::bench::process_cpu_seconds();
        tw::ActionResult result = machine.run_action(command, "");
        total += tw::bench::process_cpu_seconds() - start;
        if (result.outcome.exit_status != 0) {
            state.SkipWithError(fmt::format("the command failed with {}: {}", result.outcome.exit_status, result.err).c_str());
            return;
        }
    }
    if (access(kHostPython3, X_OK) != 0 || state.iterations() == 0) return;
    const double host = tw::bench::best_host_cpu_seconds(
        fmt::format("{} -c {} > /dev/null", kHostPython3, shell_quoted(program)));
    if (host <= 0) return;
    state.counters["host_cpu_ms"] = host * 1000;
    state.counters["ratio"] = total / static_cast<double>(state.iterations()) / host;
}

void BM_PythonCommandFib27(benchmark::State& state) { run_command(state, kFib); }
BENCHMARK(BM_PythonCommandFib27)->Unit(benchmark::kMillisecond);

void BM_PythonCommandForLoopSum(benchmark::State& state) { run_command(state, kLoop); }
BENCHMARK(BM_PythonCommandForLoopSum)->Unit(benchmark::kMillisecond);

void BM_PythonCommandMethodCalls(benchmark::State& state) { run_command(state, kMethods); }
BENCHMARK(BM_PythonCommandMethodCalls)->Unit(benchmark::kMillisecond);

void BM_PythonCommandDictListBuild(benchmark::State& state) { run_command(state, kBuild); }
BENCHMARK(BM_PythonCommandDictListBuild)->Unit(benchmark::kMillisecond);

void BM_PythonCommandStringConcat(benchmark::State& state) { run_command(state, kConcat); }
BENCHMARK(BM_PythonCommandStringConcat)->Unit(benchmark::kMillisecond);

// Startup alone: `import sys` and one line of output.
void BM_PythonCommandStartup(benchmark::State& state) { run_command(state, "import sys\nprint(sys.argv)\n"); }
BENCHMARK(BM_PythonCommandStartup)->Unit(benchmark::kMillisecond);

}  // namespace
