// jq over a 50 MiB JSON array of objects inside one machine: reading it (`length`, from the file and
// through a pipe), a selection
// over every element, and the reader alone in host memory.
//
// When the host has /usr/bin/jq, each machine case also times the host's jq on the same bytes
// (written to a temporary file) and reports `host_ratio`: the machine's time over the host's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "corpus_random.h"

#include "commands/jq/json.h"
#include "harness/action.h"
#include "kernel/machine.h"

namespace {

constexpr tw::MachineLimits kBenchLimits{
    .cpu = 1'000'000'000'000'000ULL, .memory = 16ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 30};
constexpr std::uint64_t kCorpusBytes = 50ULL << 20;

std::string make_corpus() {
    static constexpr const char* kNames[] = {"alpha", "bravo", "charlie", "delta", "écho", "foxtrot", "golf"};
    tw::bench::CorpusRandom random;
    const auto next = [&] { return random.next(); };
    std::string text = "[";
    text.reserve(kCorpusBytes + 256);
    for (std::uint64_t i = 0; text.size() < kCorpusBytes; ++i) {
        if (i > 0) text += ",\n";
        text += fmt::format(R"({{"id":{},"name":"{} {}","score":{}.{},"tags":["t{}","x"],"ok":{},"note":null}})", i,
                            kNames[next() % 7], next() % 1000, next() % 100, next() % 10, next() % 50,
                            next() % 2 == 0 ? "true" : "false");
    }
    text += "]\n";
    return text;
}

struct Corpus {
    tw::Machine machine;
    std::string host_path;  // empty without a host jq
    std::string text;
};

Corpus& corpus() {
    static std::unique_ptr<Corpus> c = [] {
        auto made = std::make_unique<Corpus>(Corpus{tw::Machine::build(kBenchLimits), {}, make_corpus()});
        if (std::filesystem::exists("/usr/bin/jq")) {
            made->host_path = (std::filesystem::temp_directory_path() / "tw_jq_bench.json").string();
            std::ofstream out(made->host_path, std::ios::binary);
            out.write(made->text.data(), static_cast<std::streamsize>(made->text.size()));
        }
        if (!made->machine.vfs.write_file("/tmp/big.json", made->text, 0644)) std::abort();
        return made;
    }();
    return *c;
}

double host_seconds(const std::string& filter) {
    const Corpus& c = corpus();
    const std::string command = fmt::format("/usr/bin/jq '{}' {} > /dev/null", filter, c.host_path);
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) return 0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void run_jq(benchmark::State& state, const std::string& filter, bool piped = false) {
    Corpus& c = corpus();
    const std::string source = piped ? fmt::format("cat /tmp/big.json | jq '{}' > /dev/null", filter)
                                     : fmt::format("jq '{}' /tmp/big.json > /dev/null", filter);
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        tw::ActionResult r = c.machine.run_action(source, {});
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (r.outcome.exit_status != 0) state.SkipWithError(r.err.c_str());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.text.size()));
    if (!c.host_path.empty()) {
        const double host = host_seconds(filter);
        if (host > 0) state.counters["host_ratio"] = (total / static_cast<double>(state.iterations())) / host;
    }
}

void BM_JqLength(benchmark::State& state) { run_jq(state, "length"); }
void BM_JqLengthPiped(benchmark::State& state) { run_jq(state, "length", true); }
void BM_JqSelect(benchmark::State& state) { run_jq(state, "[.[] | select(.score > 50 and .ok) | .name] | length"); }

void BM_JqReadOnly(benchmark::State& state) {
    const std::string& text = corpus().text;
    for (auto _ : state) {
        std::vector<tw::JsonValue> values;
        if (!tw::json_read_sequence(text, values)) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(values);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_JqLength)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JqLengthPiped)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JqSelect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JqReadOnly)->Unit(benchmark::kMillisecond);

}  // namespace
