// grep over a 100 MiB text file inside one machine: a literal, a literal ignoring case, and an
// extended expression, each counting the selected lines (-c) so that output costs nothing.
//
// The BM_GrepMatchOnly cases time the line matching and the UTF-8 check alone, without running
// a command in the machine.
//
// Set TW_GREP_BENCH_CORPUS to a host path to have the same corpus written there, for timing
// other tools on identical bytes.
//
// The BM_GrepBulk cases run grep over 16, 64 and 256 MiB of the same kind of text, read from a
// file in the machine and through a pipe, and report the ratio of the CPU time to the host's grep
// on the same bytes (counter "ratio"); the time per MiB should stay flat as the data grows.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "corpus_random.h"
#include "host_cpu.h"

#include "base/regex.h"
#include "base/utf8.h"
#include "commands/search/line_search.h"
#include "harness/action.h"
#include "kernel/machine.h"
#include "kernel/process.h"

namespace {

constexpr tw::MachineLimits kBenchLimits{
    .cpu = 1'000'000'000'000'000ULL, .memory = 8ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 40};
constexpr std::uint64_t kCorpusBytes = 100ULL << 20;

// Lines of words from a small vocabulary; about one line in a thousand holds "needle", and some
// lines hold a word of the "fo...ba." form the expression looks for.
std::string make_corpus(std::uint64_t bytes = kCorpusBytes) {
    static constexpr const char* kWords[] = {
        "alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel", "india", "juliet",
        "kilo", "lima", "mike", "november", "oscar", "papa", "quebec", "romeo", "sierra", "tango",
        "uniform", "victor", "whiskey", "xray", "yankee", "zulu", "the", "a", "of", "and", "12", "2026",
        "forma", "bar", "fooz", "baz", "été", "straße"};
    tw::bench::CorpusRandom random;
    const auto next = [&] { return random.next(); };
    std::string text;
    text.reserve(bytes + 256);
    std::uint64_t line = 0;
    while (text.size() < bytes) {
        const int words = 5 + static_cast<int>(next() % 12);
        for (int w = 0; w < words; ++w) {
            if (w > 0) text += ' ';
            text += kWords[next() % std::size(kWords)];
        }
        if (++line % 1000 == 0) text += " needle";
        text += '\n';
    }
    return text;
}

struct Corpus {
    tw::Machine machine;
};

Corpus& corpus() {
    static std::unique_ptr<Corpus> c = [] {
        auto made = std::make_unique<Corpus>(Corpus{tw::Machine::build(kBenchLimits)});
        std::string text = make_corpus();
        if (const char* dump = std::getenv("TW_GREP_BENCH_CORPUS")) {
            std::ofstream out(dump, std::ios::binary);
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
        }
        if (!made->machine.vfs.write_file("/tmp/corpus.txt", std::move(text), 0644)) std::abort();
        return made;
    }();
    return *c;
}

void run_grep(benchmark::State& state, const std::string& source) {
    tw::Machine& machine = corpus().machine;
    std::string out;
    for (auto _ : state) {
        tw::ActionResult result = machine.run_action(source, "");
        if (result.outcome.exit_status != 0 || !result.err.empty()) {
            state.SkipWithError(fmt::format("status {}, errors {:?}", result.outcome.exit_status, result.err).c_str());
            return;
        }
        out = std::move(result.out);
    }
    state.SetLabel(fmt::format("count {}", out.substr(0, out.size() - 1)));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCorpusBytes));
}

void BM_GrepLiteral(benchmark::State& state) { run_grep(state, "grep -c needle /tmp/corpus.txt"); }
BENCHMARK(BM_GrepLiteral)->Unit(benchmark::kMillisecond);

void BM_GrepLiteralIgnoreCase(benchmark::State& state) { run_grep(state, "grep -ci NEEDLE /tmp/corpus.txt"); }
BENCHMARK(BM_GrepLiteralIgnoreCase)->Unit(benchmark::kMillisecond);

void BM_GrepRegex(benchmark::State& state) { run_grep(state, "grep -cE 'fo[a-z]+ ba[rz]' /tmp/corpus.txt"); }
BENCHMARK(BM_GrepRegex)->Unit(benchmark::kMillisecond);

void BM_GrepRegexWord(benchmark::State& state) { run_grep(state, "grep -cw 'e[a-z]*o' /tmp/corpus.txt"); }
BENCHMARK(BM_GrepRegexWord)->Unit(benchmark::kMillisecond);

// The line matching alone, over the same corpus in host memory: what grep spends beyond reading
// the file out of the machine and checking it.
void match_only(benchmark::State& state, const char* pattern, bool caseless) {
    static const std::string text = make_corpus();
    tw::RegexOptions options;
    options.multiline = true;
    options.caseless = caseless;
    auto regex = tw::Regex::compile(pattern, options);
    if (!regex) {
        state.SkipWithError("pattern does not compile");
        return;
    }
    std::uint64_t count = 0;
    for (auto _ : state) {
        count = 0;
        tw::LineCursor lines(text);
        tw::MatchingLines matching(*regex, text);
        tw::TextLine line;
        while (lines.next(line))
            if (*matching.matches(line)) ++count;
    }
    state.SetLabel(fmt::format("count {}", count));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_GrepMatchOnlyLiteral(benchmark::State& state) { match_only(state, "needle", false); }
BENCHMARK(BM_GrepMatchOnlyLiteral)->Unit(benchmark::kMillisecond);

void BM_GrepMatchOnlyRegex(benchmark::State& state) { match_only(state, "(?:fo[a-z]+ ba[rz])", false); }
BENCHMARK(BM_GrepMatchOnlyRegex)->Unit(benchmark::kMillisecond);

// An expression that may match a newline (\s) is searched line by line.
void BM_GrepMatchOnlyPerLine(benchmark::State& state) { match_only(state, "\\sneedle", false); }
BENCHMARK(BM_GrepMatchOnlyPerLine)->Unit(benchmark::kMillisecond);

void BM_GrepMatchOnlyUtf8Check(benchmark::State& state) {
    static const std::string text = make_corpus();
    for (auto _ : state) benchmark::DoNotOptimize(tw::utf8_valid(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_GrepMatchOnlyUtf8Check)->Unit(benchmark::kMillisecond);

// ---- bulk input against the host's grep ----

constexpr const char* kHostGrep = "/usr/bin/grep";

// One machine holding a corpus of each size as /tmp/bulk{MiB}.txt, and the same bytes on the host.
struct BulkCorpora {
    tw::Machine machine = tw::Machine::build(kBenchLimits);
    std::map<std::uint64_t, std::string> host_paths;
};

BulkCorpora& bulk() {
    static BulkCorpora c;
    return c;
}

const std::string& bulk_host_path(std::uint64_t mib) {
    BulkCorpora& c = bulk();
    auto it = c.host_paths.find(mib);
    if (it != c.host_paths.end()) return it->second;
    std::string text = make_corpus(mib << 20);
    text.resize(mib << 20);
    text.back() = '\n';
    const std::string host = (std::filesystem::temp_directory_path() /
                              fmt::format("tw-grep-bench-{}-{}.txt", getpid(), mib)).string();
    {
        std::ofstream out(host, std::ios::binary);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    if (c.host_paths.empty()) std::atexit([] {
        for (const auto& [size, path] : bulk().host_paths) {
            std::filesystem::remove(path);
            std::filesystem::remove(path + ".out");
        }
    });
    if (!c.machine.vfs.write_file(fmt::format("/tmp/bulk{}.txt", mib), std::move(text), 0644)) std::abort();
    return c.host_paths.emplace(mib, host).first->second;
}

using tw::bench::children_cpu_seconds;
using tw::bench::process_cpu_seconds;

// The best of three runs of a host pipeline, in CPU seconds (0 when the host has no grep).
double host_seconds(const std::string& command) {
    if (access(kHostGrep, X_OK) != 0) return 0;
    double best = 0;
    for (int i = 0; i < 3; ++i) {
        const double start = children_cpu_seconds();
        if (std::system(command.c_str()) > 256) return 0;  // grep answers 1 when nothing matched
        const double s = children_cpu_seconds() - start;
        if (i == 0 || s < best) best = s;
    }
    return best;
}

// `grep {args}` over the corpus of state.range(0) MiB, from the file itself or through `cat |`.
void run_bulk(benchmark::State& state, const std::string& args, bool piped) {
    const std::uint64_t mib = static_cast<std::uint64_t>(state.range(0));
    const std::string& host = bulk_host_path(mib);
    const std::string file = fmt::format("/tmp/bulk{}.txt", mib);
    const std::string source = piped ? fmt::format("cat {} | grep {}", file, args) : fmt::format("grep {} {}", args, file);
    double total = 0;
    std::string out;
    for (auto _ : state) {
        const double start = process_cpu_seconds();
        tw::ActionResult result = bulk().machine.run_action(source, "");
        total += process_cpu_seconds() - start;
        if (result.outcome.exit_status > 1 || !result.err.empty()) {
            state.SkipWithError(fmt::format("status {}, stop {}, errors {:?}", result.outcome.exit_status,
                                            result.outcome.stop_reason ? tw::stop_reason_name(*result.outcome.stop_reason) : "none", result.err)
                                    .c_str());
            return;
        }
        out = std::move(result.out);
    }
    state.SetLabel(fmt::format("count {}", out.substr(0, out.size() - 1)));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (mib << 20)));
    // The host's grep stops at the first match when its output is /dev/null: write to a file.
    const std::string sink = host + ".out";
    const std::string host_command = piped ? fmt::format("cat {} | {} {} > {}", host, kHostGrep, args, sink)
                                           : fmt::format("{} {} {} > {}", kHostGrep, args, host, sink);
    const double host_time = host_seconds(host_command);
    if (host_time > 0 && state.iterations() > 0) {
        const double mine = total / static_cast<double>(state.iterations());
        state.counters["ms_per_mib"] = mine * 1000 / static_cast<double>(mib);
        state.counters["host_cpu_ms"] = host_time * 1000;
        state.counters["ratio"] = mine / host_time;
    }
}

void BM_GrepBulkFile(benchmark::State& state) { run_bulk(state, "-c foo", false); }
BENCHMARK(BM_GrepBulkFile)->Arg(16)->Arg(64)->Arg(256)->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_GrepBulkPipe(benchmark::State& state) { run_bulk(state, "-c foo", true); }
BENCHMARK(BM_GrepBulkPipe)->Arg(16)->Arg(64)->Arg(256)->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_GrepBulkExtended(benchmark::State& state) { run_bulk(state, "-cE 'fo[a-z]+ ba[rz]'", false); }
BENCHMARK(BM_GrepBulkExtended)->Arg(16)->Arg(64)->Arg(256)->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_GrepBulkExtendedPipe(benchmark::State& state) { run_bulk(state, "-cE 'fo[a-z]+ ba[rz]'", true); }
BENCHMARK(BM_GrepBulkExtendedPipe)->Arg(16)->Arg(64)->Arg(256)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
