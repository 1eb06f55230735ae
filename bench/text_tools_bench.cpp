// wc, tr and cut over 64 MiB of text, each called as a command on input that is already complete
// (as in a nested dispatch): the cost of the command itself, without pipes or scheduling.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "commands/text/line_commands.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace {

constexpr tw::MachineLimits kBenchLimits{
    .cpu = 1'000'000'000'000ULL, .memory = 8ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 30};

constexpr std::size_t kInputBytes = 64ULL << 20;

// Lines of comma- and tab-separated words with an occasional two-byte character; the same text
// is easy to produce outside for comparison: line i is
//   "{i},alpha beta,{i*7%1000}\tgamma delta épsilon {i%13}\n"
// repeated until 64 MiB, cut there.
const std::string& bench_input() {
    static const std::string input = [] {
        std::string text;
        text.reserve(kInputBytes + 128);
        for (std::uint64_t i = 0; text.size() < kInputBytes; ++i)
            fmt::format_to(std::back_inserter(text), "{},alpha beta,{}\tgamma delta \xC3\xA9psilon {}\n", i,
                           i * 7 % 1000, i % 13);
        text.resize(kInputBytes);
        return text;
    }();
    return input;
}

void run_command(benchmark::State& state, void (*handler)(tw::NativeStep&, tw::NativeInvocation&, tw::CommandIo&),
                 std::string_view name, std::vector<std::string> args) {
    tw::Machine machine = tw::Machine::build(kBenchLimits);
    tw::Bytes in = bench_input();
    for (auto _ : state) {
        tw::SyscallContext sys(machine);
        tw::Bytes out, err;
        tw::CommandIo io{in, out, err};
        tw::NativeInvocation invocation{sys, name, args, nullptr};
        tw::NativeStep step;
        handler(step, invocation, io);
        if (!step.is_finished() || step.status != 0 || !err.empty()) {
            state.SkipWithError(fmt::format("status {}, errors {:?}", step.status, err).c_str());
            return;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputBytes));
}

void BM_Wc(benchmark::State& state) { run_command(state, tw::wc_command, "wc", {}); }
BENCHMARK(BM_Wc)->Unit(benchmark::kMillisecond);

void BM_WcChars(benchmark::State& state) { run_command(state, tw::wc_command, "wc", {"-m"}); }
BENCHMARK(BM_WcChars)->Unit(benchmark::kMillisecond);

void BM_TrUpper(benchmark::State& state) { run_command(state, tw::tr_command, "tr", {"a-z", "A-Z"}); }
BENCHMARK(BM_TrUpper)->Unit(benchmark::kMillisecond);

void BM_TrDelete(benchmark::State& state) { run_command(state, tw::tr_command, "tr", {"-d", "[:digit:]"}); }
BENCHMARK(BM_TrDelete)->Unit(benchmark::kMillisecond);

void BM_CutFields(benchmark::State& state) {
    run_command(state, tw::cut_command, "cut", {"-d", ",", "-f", "1,3"});
}
BENCHMARK(BM_CutFields)->Unit(benchmark::kMillisecond);

void BM_CutChars(benchmark::State& state) { run_command(state, tw::cut_command, "cut", {"-c", "5-20"}); }
BENCHMARK(BM_CutChars)->Unit(benchmark::kMillisecond);

void BM_CutBytes(benchmark::State& state) { run_command(state, tw::cut_command, "cut", {"-b", "5-20"}); }
BENCHMARK(BM_CutBytes)->Unit(benchmark::kMillisecond);

}  // namespace
