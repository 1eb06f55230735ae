// Adversarial scripts against the CPU budget: each runs in a fresh machine until its budget is
// spent (or it ends), and the counter `host_s_per_Munits` reports the host seconds spent per
// million CPU units charged. Whatever a script does, that figure must stay well below 0.1.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "harness/action.h"
#include "kernel/machine.h"

namespace {

constexpr std::uint64_t kCpuBudget = 50'000'000;

constexpr tw::MachineLimits kLimits{.cpu = kCpuBudget, .memory = 64ULL << 20, .disk = 64ULL << 20, .output = 1ULL << 30};

#define LONG_VALUE "s=$(printf '%0100000d' 0); "

void run_bomb(benchmark::State& state, const std::string& source) {
    double seconds = 0;
    double units = 0;
    for (auto _ : state) {
        tw::Machine machine = tw::Machine::build(kLimits);
        const auto start = std::chrono::steady_clock::now();
        tw::ActionResult result = machine.run_action(source, "");
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        units += static_cast<double>(machine.meter.cpu_used());
        benchmark::DoNotOptimize(result);
    }
    state.counters["host_s_per_Munits"] = units > 0 ? seconds / (units / 1e6) : 0;
    state.counters["Munits"] = units / 1e6 / static_cast<double>(state.iterations());
}

void BM_BudgetBomb(benchmark::State& state, const char* source) { run_bomb(state, source); }

BENCHMARK_CAPTURE(BM_BudgetBomb, append_byte, "r=; for ((i=0;;i--)); do r+=x; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, doubling, "x=a; while :; do x=$x$x; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, arith_for, "for ((;;)); do :; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, substring, LONG_VALUE "while :; do t=${s:1}; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, length, LONG_VALUE "while :; do t=${#s}; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, case_subject, LONG_VALUE "while :; do case $s in *1*) ;; esac; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, case_pattern, LONG_VALUE "p=$s; while :; do case $s in *$p*1) ;; esac; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, test_pattern, LONG_VALUE "while :; do [[ $s == *1* ]]; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, replace_literal, LONG_VALUE "while :; do t=${s//0/y}; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, replace_glob, LONG_VALUE "while :; do t=${s//?/y}; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, replace_backtrack, LONG_VALUE "while :; do t=${s//*1/x}; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, remove_affix, LONG_VALUE "while :; do t=${s%%1*}; t=${s##*1}; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, case_convert, LONG_VALUE "while :; do t=${s^^}; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, assign_long, LONG_VALUE "while :; do t=$s; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, nested_substitutions, LONG_VALUE "while :; do t=${s:-${s:-${s:-$s}}}; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, array_growth, "a=(); i=0; while :; do a[i]=x; i=$((i+1)); done");
BENCHMARK_CAPTURE(BM_BudgetBomb, array_copy,
                  "a=(); for ((i=0;i<20000;i++)); do a[i]=$i; done; while :; do b=(\"${a[@]}\"); done");
BENCHMARK_CAPTURE(BM_BudgetBomb, many_args, "set -- $(seq 1 20000); f() { :; }; while :; do f \"$@\"; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, func_args, "f() { :; }; s=$(printf '%01000d' 0); while :; do f $s $s $s $s; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, set_positional, "set -- $(seq 1 20000); while :; do set -- \"$@\"; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, field_splitting, LONG_VALUE "s=${s//0/0 }; while :; do set -- $s; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, brace_words, "while :; do : {1..3000}; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, shift_loop, "set -- $(seq 1 100000); while shift; do :; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, arith_text,
                  "s=1; for ((i=0;i<15;i++)); do s=\"$s+$s\"; done; while :; do : $((s)); done");
BENCHMARK_CAPTURE(BM_BudgetBomb, here_document, LONG_VALUE "while :; do cat <<EOF >/dev/null\n$s$s\nEOF\ndone");
BENCHMARK_CAPTURE(BM_BudgetBomb, read_loop, "while :; do printf '%s\\n' {1..2000} | while read x; do :; done; done");
BENCHMARK_CAPTURE(BM_BudgetBomb, name_prefix,
                  "for ((i=0;i<20000;i++)); do eval \"v$i=1\"; done; while :; do : ${!zz*}; done");

}  // namespace
