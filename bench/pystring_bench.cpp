// The str algorithms on a 10 MB text against the host python3 doing the same: splitting by a
// separator and by whitespace, replace, a join of 1,000,000 parts, and '%d' % i in a loop. The
// counter "ratio" is this code's CPU time per run divided by the host python3's (below 1: faster).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "python/string/percent_format.h"
#include "python/string/split_join.h"

namespace tw::py {
namespace {

constexpr int kLines = 370'000;  // about 10 MB of text
constexpr int kParts = 1'000'000;
constexpr int kFormats = 100'000;

struct FreeCharges final : Charges {
    PyStatus charge_work(std::uint64_t) override { return {}; }
    PyStatus charge_memory(std::uint64_t) override { return {}; }
};

// The text both sides work on: kLines lines "line N of the text abc".
const std::string& text() {
    static const std::string t = [] {
        std::string s;
        for (int i = 0; i < kLines; ++i) fmt::format_to(std::back_inserter(s), "line {} of the text abc\n", i);
        return s;
    }();
    return t;
}

// Seconds of the host python3 for `statement` after `setup` (best of 3); 0 without python3.
double host_seconds(const std::string& setup, const std::string& statement) {
    const std::string script = fmt::format(
        "import timeit\n"
        "s=''.join('line %d of the text abc\\n' % i for i in range({}))\n"
        "{}\n"
        "print(min(timeit.repeat(lambda: {}, number=1, repeat=3)))\n",
        kLines, setup, statement);
    FILE* f = std::fopen("/tmp/tw_pystring_bench.py", "w");
    if (!f) return 0;
    std::fputs(script.c_str(), f);
    std::fclose(f);
    FILE* p = popen("python3 /tmp/tw_pystring_bench.py 2>/dev/null", "r");
    if (!p) return 0;
    char buffer[64] = {};
    const bool ok = std::fgets(buffer, sizeof buffer, p) != nullptr;
    pclose(p);
    return ok ? std::atof(buffer) : 0;
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

template <class F>
void run(benchmark::State& state, const std::string& setup, const std::string& statement, F&& body) {
    const double start = cpu_seconds();
    for (auto _ : state) body();
    const double mine = (cpu_seconds() - start) / double(state.iterations());
    if (const double host = host_seconds(setup, statement); host > 0) {
        state.counters["ms"] = mine * 1e3;
        state.counters["host_ms"] = host * 1e3;
        state.counters["ratio"] = mine / host;
    }
}

void BM_BuildText(benchmark::State& state) {
    run(state, "", "''.join('line %d of the text abc\\n' % i for i in range(" + std::to_string(kLines) + "))", [] {
        std::string s;
        for (int i = 0; i < kLines; ++i) fmt::format_to(std::back_inserter(s), "line {} of the text abc\n", i);
        benchmark::DoNotOptimize(s);
    });
}
BENCHMARK(BM_BuildText)->Unit(benchmark::kMillisecond);

void BM_SplitLines(benchmark::State& state) {
    run(state, "", "s.split('\\n')", [] { benchmark::DoNotOptimize(str_split(text(), std::string_view("\n"), -1)); });
}
BENCHMARK(BM_SplitLines)->Unit(benchmark::kMillisecond);

void BM_SplitWhitespace(benchmark::State& state) {
    run(state, "", "s.split()", [] { benchmark::DoNotOptimize(str_split(text(), std::nullopt, -1)); });
}
BENCHMARK(BM_SplitWhitespace)->Unit(benchmark::kMillisecond);

void BM_Replace(benchmark::State& state) {
    FreeCharges charges;
    run(state, "", "s.replace('text', 'words')",
        [&] { benchmark::DoNotOptimize(str_replace(charges, text(), "text", "words", -1)); });
}
BENCHMARK(BM_Replace)->Unit(benchmark::kMillisecond);

void BM_JoinMillionParts(benchmark::State& state) {
    std::vector<std::string> parts;
    for (int i = 0; i < kParts; ++i) parts.push_back(std::to_string(i));
    FreeCharges charges;
    run(state, "parts=[str(i) for i in range(" + std::to_string(kParts) + ")]", "','.join(parts)", [&] {
        Joiner j = str_joiner(",");
        for (const std::string& p : parts) (void)j.add(charges, p);
        benchmark::DoNotOptimize(j.finish(charges));
    });
}
BENCHMARK(BM_JoinMillionParts)->Unit(benchmark::kMillisecond);

// '%d' % i: ints only.
struct IntArguments final : PercentArguments {
    PyResult<Value> lookup_key(std::string_view) override { return fail(PyError::unsupported("no mapping")); }
    bool operand_is_str_or_tuple() const override { return false; }
    PyResult<std::string> to_str(Value v) override { return std::to_string(v.as_int()); }
    PyResult<std::string> repr(Value v) override { return std::to_string(v.as_int()); }
    std::string type_name(Value) override { return "int"; }
    PyResult<std::optional<tw::BigInt>> integer(Value v) override { return std::optional(tw::BigInt(v.as_int())); }
    PyResult<std::optional<std::string>> str_text(Value) override { return std::optional<std::string>(); }
    PyResult<std::optional<double>> real(Value v) override { return std::optional(double(v.as_int())); }
};

void BM_PercentDecimal(benchmark::State& state) {
    FreeCharges charges;
    IntArguments host;
    run(state, "", "['%d' % i for i in range(" + std::to_string(kFormats) + ")]", [&] {
        for (int i = 0; i < kFormats; ++i) {
            const Value arg = Value::from_int(i);
            benchmark::DoNotOptimize(str_percent_format(charges, "%d", std::span(&arg, 1), host));
        }
    });
}
BENCHMARK(BM_PercentDecimal)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tw::py
