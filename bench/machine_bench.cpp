#include <benchmark/benchmark.h>

#include "kernel/machine.h"

namespace {

void BM_MachineBuild(benchmark::State& state) {
    const tw::MachineLimits limits{.cpu = 1'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};
    for (auto _ : state) benchmark::DoNotOptimize(tw::Machine::build(limits));
}
BENCHMARK(BM_MachineBuild);

void BM_MachineCopy(benchmark::State& state) {
    const tw::Machine machine = tw::Machine::build({.cpu = 1, .memory = 1, .disk = 1 << 20, .output = 1});
    for (auto _ : state) {
        tw::Machine copy = machine;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_MachineCopy);

}  // namespace
