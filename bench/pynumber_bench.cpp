// The number kernel: small-int and float arithmetic as the interpreter's slow path runs it (the
// fast path is py_int_small_binary_op), big-int multiplication, and float formatting. The counter
// "ratio" is the time per operation divided by the host python3's for the same operator applied
// through operator.<op> over the same operand lists (below 1: faster).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "python/number/format_spec.h"
#include "python/number/number.h"

namespace tw::py {
namespace {

constexpr int kPairs = 4096;

struct FreeCharges final : NumberCharges {
    PyStatus charge_work(std::uint64_t) override { return {}; }
    PyStatus charge_memory(std::uint64_t) override { return {}; }
};

// Nanoseconds per operation of the host python3 applying `op` over the same operands; 0 when
// there is no python3.
double host_ns_per_op(const char* op, bool floats) {
    const std::string script = fmt::format(
        "import operator,timeit\n"
        "xs=[{0}(i*7919%100003-50000) for i in range({2})]\n"
        "ys=[{0}(i*104729%9973+1) for i in range({2})]\n"
        "f=operator.{1}\n"
        "t=min(timeit.repeat(lambda: list(map(f,xs,ys)),number=50,repeat=5))\n"
        "print(t/50/{2}*1e9)\n",
        floats ? "float" : "int", op, kPairs);
    const std::string command = "python3 -c '" + script + "' 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return 0;
    char buffer[64] = {};
    const bool ok = std::fgets(buffer, sizeof buffer, p) != nullptr;
    pclose(p);
    return ok ? std::atof(buffer) : 0;
}

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void run(benchmark::State& state, BinaryOp op, const char* host_op, bool floats) {
    std::vector<std::int64_t> xs, ys;
    for (int i = 0; i < kPairs; ++i) {
        xs.push_back(std::int64_t(i) * 7919 % 100003 - 50000);
        ys.push_back(std::int64_t(i) * 104729 % 9973 + 1);
    }
    FreeCharges charges;
    const double start = process_cpu_seconds();
    for (auto _ : state)
        for (int i = 0; i < kPairs; ++i) {
            // The operands are made as the slot functions make them, from the values.
            NumberOperand a = floats ? NumberOperand::of_float(double(xs[i])) : NumberOperand::of_small(xs[i]);
            NumberOperand b = floats ? NumberOperand::of_float(double(ys[i])) : NumberOperand::of_small(ys[i]);
            benchmark::DoNotOptimize(py_number_binary_op(charges, std::move(a), std::move(b), op));
        }
    const double elapsed = process_cpu_seconds() - start;
    state.SetItemsProcessed(state.iterations() * kPairs);
    if (const double host = host_ns_per_op(host_op, floats); host > 0 && state.iterations() > 0) {
        const double mine = elapsed / double(state.iterations() * kPairs) * 1e9;
        state.counters["ns_per_op"] = mine;
        state.counters["host_ns_per_op"] = host;
        state.counters["ratio"] = mine / host;
    }
}

void BM_SmallIntAdd(benchmark::State& state) { run(state, BinaryOp::Add, "add", false); }
BENCHMARK(BM_SmallIntAdd);
void BM_SmallIntMultiply(benchmark::State& state) { run(state, BinaryOp::Multiply, "mul", false); }
BENCHMARK(BM_SmallIntMultiply);
void BM_SmallIntFloorDivide(benchmark::State& state) { run(state, BinaryOp::FloorDivide, "floordiv", false); }
BENCHMARK(BM_SmallIntFloorDivide);
void BM_SmallIntTrueDivide(benchmark::State& state) { run(state, BinaryOp::Divide, "truediv", false); }
BENCHMARK(BM_SmallIntTrueDivide);
void BM_FloatAdd(benchmark::State& state) { run(state, BinaryOp::Add, "add", true); }
BENCHMARK(BM_FloatAdd);
void BM_FloatRemainder(benchmark::State& state) { run(state, BinaryOp::Remainder, "mod", true); }
BENCHMARK(BM_FloatRemainder);

void BM_SmallIntFastPath(benchmark::State& state) {
    std::int64_t acc = 0;
    for (auto _ : state)
        for (std::int64_t i = 1; i <= kPairs; ++i)
            acc = py_int_small_binary_op(BinaryOp::Add, acc, i).value_or(0);
    benchmark::DoNotOptimize(acc);
    state.SetItemsProcessed(state.iterations() * kPairs);
}
BENCHMARK(BM_SmallIntFastPath);

void BM_BigIntMultiply(benchmark::State& state) {
    tw::BigInt a(3), b(7);
    mpz_pow_ui(a.raw(), a.raw(), 2000);
    mpz_pow_ui(b.raw(), b.raw(), 1500);
    FreeCharges charges;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            py_number_binary_op(charges, NumberOperand::of_big(a), NumberOperand::of_big(b), BinaryOp::Multiply));
}
BENCHMARK(BM_BigIntMultiply);

void BM_FormatFloat(benchmark::State& state) {
    double x = 1234.5678;
    for (auto _ : state) {
        benchmark::DoNotOptimize(format_float(x, ",.2f"));
        x += 0.001;
    }
}
BENCHMARK(BM_FormatFloat);

}  // namespace
}  // namespace tw::py
