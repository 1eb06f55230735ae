// awk over a 64 MiB comma-separated file inside one machine: summing the first field and
// printing the second, each beside the same program run by the host's awk on the same bytes.
// The counter "ratio" is the machine's CPU time divided by the host's (below 1: faster); CPU time
// rather than wall time, so that a busy host disturbs the comparison less.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "corpus_random.h"
#include "host_cpu.h"

#include "harness/action.h"
#include "kernel/machine.h"

namespace {

constexpr tw::MachineLimits kBenchLimits{
    .cpu = 1'000'000'000'000'000ULL, .memory = 8ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 30};
constexpr std::uint64_t kCorpusBytes = 64ULL << 20;
constexpr const char* kHostAwk = "/usr/bin/awk";

// Lines of three comma-separated fields: a number, a word, a number.
std::string make_corpus() {
    static constexpr const char* kWords[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf",
                                             "hotel", "india", "juliet", "kilo", "lima", "été", "straße"};
    tw::bench::CorpusRandom random;
    const auto next = [&] { return random.next(); };
    std::string text;
    text.reserve(kCorpusBytes + 64);
    while (text.size() < kCorpusBytes)
        text += fmt::format("{},{},{}\n", next() % 1000000, kWords[next() % std::size(kWords)], next() % 1000);
    return text;
}

struct Corpus {
    tw::Machine machine;
    std::string host_path;
};

Corpus& corpus() {
    static std::unique_ptr<Corpus> c = [] {
        auto made = std::make_unique<Corpus>(Corpus{tw::Machine::build(kBenchLimits), {}});
        std::string text = make_corpus();
        made->host_path =
            (std::filesystem::temp_directory_path() / fmt::format("tw-awk-bench-{}.csv", getpid())).string();
        {
            std::ofstream out(made->host_path, std::ios::binary);
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
        }
        std::atexit([] { std::filesystem::remove(corpus().host_path); });
        if (!made->machine.vfs.write_file("/tmp/corpus.csv", std::move(text), 0644)) std::abort();
        return made;
    }();
    return *c;
}

using tw::bench::children_cpu_seconds;
using tw::bench::process_cpu_seconds;

// The best of three runs of the host's awk over the corpus, in CPU seconds (0 when there is none).
double host_seconds(const std::string& args) {
    if (access(kHostAwk, X_OK) != 0) return 0;
    const std::string command = fmt::format("{} {} {} > /dev/null", kHostAwk, args, corpus().host_path);
    double best = 0;
    for (int i = 0; i < 3; ++i) {
        const double start = children_cpu_seconds();
        if (std::system(command.c_str()) != 0) return 0;
        const double s = children_cpu_seconds() - start;
        if (i == 0 || s < best) best = s;
    }
    return best;
}

void run_awk(benchmark::State& state, const std::string& args) {
    tw::Machine& machine = corpus().machine;
    const std::string source = fmt::format("awk {} /tmp/corpus.csv > /dev/null", args);
    double total = 0;
    for (auto _ : state) {
        const double start = process_cpu_seconds();
        tw::ActionResult result = machine.run_action(source, "");
        total += process_cpu_seconds() - start;
        if (result.outcome.exit_status != 0 || !result.err.empty()) {
            state.SkipWithError(fmt::format("status {}, errors {:?}", result.outcome.exit_status, result.err).c_str());
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCorpusBytes));
    const double host = host_seconds(args);
    if (host > 0 && state.iterations() > 0) {
        const double mine = total / static_cast<double>(state.iterations());
        state.counters["host_cpu_ms"] = host * 1000;
        state.counters["ratio"] = mine / host;
    }
}

void BM_AwkSumFirstField(benchmark::State& state) { run_awk(state, "-F, '{s+=$1} END{print s}'"); }
BENCHMARK(BM_AwkSumFirstField)->Unit(benchmark::kMillisecond);

void BM_AwkSumDefaultSeparator(benchmark::State& state) { run_awk(state, "'{s+=$1} END{print s}'"); }
BENCHMARK(BM_AwkSumDefaultSeparator)->Unit(benchmark::kMillisecond);

void BM_AwkPrintSecondField(benchmark::State& state) { run_awk(state, "-F, '{print $2}'"); }
BENCHMARK(BM_AwkPrintSecondField)->Unit(benchmark::kMillisecond);

void BM_AwkCountSecondField(benchmark::State& state) {
    run_awk(state, "-F, '{c[$2]++} END{for (k in c) print k, c[k]}'");
}
BENCHMARK(BM_AwkCountSecondField)->Unit(benchmark::kMillisecond);

}  // namespace
