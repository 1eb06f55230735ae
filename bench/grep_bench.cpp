// grep over a 100 MiB text file inside one machine: a literal, a literal ignoring case, and an
// extended expression, each counting the selected lines (-c) so that output costs nothing.
//
// The BM_GrepMatchOnly cases time the line matching and the UTF-8 check alone, without running
// a command in the machine.
//
// Set TW_GREP_BENCH_CORPUS to a host path to have the same corpus written there, for timing
// other tools on identical bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "corpus_random.h"

#include "base/regex.h"
#include "base/utf8.h"
#include "commands/search/line_search.h"
#include "harness/action.h"
#include "kernel/machine.h"
#include "kernel/process.h"

namespace {

constexpr tw::MachineLimits kBenchLimits{
    .cpu = 1'000'000'000'000'000ULL, .memory = 8ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 30};
constexpr std::uint64_t kCorpusBytes = 100ULL << 20;

// Lines of words from a small vocabulary; about one line in a thousand holds "needle", and some
// lines hold a word of the "fo...ba." form the expression looks for.
std::string make_corpus() {
    static constexpr const char* kWords[] = {
        "alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel", "india", "juliet",
        "kilo", "lima", "mike", "november", "oscar", "papa", "quebec", "romeo", "sierra", "tango",
        "uniform", "victor", "whiskey", "xray", "yankee", "zulu", "the", "a", "of", "and", "12", "2026",
        "forma", "bar", "fooz", "baz", "été", "straße"};
    tw::bench::CorpusRandom random;
    const auto next = [&] { return random.next(); };
    std::string text;
    text.reserve(kCorpusBytes + 256);
    std::uint64_t line = 0;
    while (text.size() < kCorpusBytes) {
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

}  // namespace
