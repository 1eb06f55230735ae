// The recursive file commands over a tree of 10,000 files of 100 bytes in 100 directories: a copy
// and removal (cp -r, rm -r), a recursive listing, du and tree, each as one action of a machine
// that already holds the tree. BM_HostCopyRemoveTree does the copy and removal with the host's
// cp and rm on the same tree in a host temporary directory, for the ratio.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fmt/format.h>

#include "harness/action.h"
#include "kernel/machine.h"

namespace {

constexpr tw::MachineLimits kBenchLimits{
    .cpu = 1'000'000'000'000ULL, .memory = 8ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 30};
constexpr int kDirectories = 100;
constexpr int kFilesPerDirectory = 100;

tw::Machine machine_with_tree() {
    tw::Machine machine = tw::Machine::build(kBenchLimits);
    const std::string data(100, 'x');
    for (int d = 0; d < kDirectories; ++d)
        for (int f = 0; f < kFilesPerDirectory; ++f)
            (void)machine.vfs.write_file(fmt::format("/tmp/t/d{}/f{}", d, f), data, 0644);
    return machine;
}

void run_in_tree(benchmark::State& state, const char* source) {
    tw::Machine machine = machine_with_tree();
    for (auto _ : state) {
        tw::ActionResult result = machine.run_action(source, "");
        if (result.outcome.exit_status != 0 || !result.err.empty()) {
            state.SkipWithError(fmt::format("status {}, errors {:?}", result.outcome.exit_status, result.err).c_str());
            return;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * kDirectories * kFilesPerDirectory);
}

void BM_CopyRemoveTree(benchmark::State& state) { run_in_tree(state, "cd /tmp && cp -r t u && rm -r u"); }
BENCHMARK(BM_CopyRemoveTree)->Unit(benchmark::kMillisecond);

void BM_ListTreeRecursively(benchmark::State& state) { run_in_tree(state, "ls -laR /tmp/t > /dev/null"); }
BENCHMARK(BM_ListTreeRecursively)->Unit(benchmark::kMillisecond);

void BM_DuTree(benchmark::State& state) { run_in_tree(state, "du -a /tmp/t > /dev/null"); }
BENCHMARK(BM_DuTree)->Unit(benchmark::kMillisecond);

void BM_DrawTree(benchmark::State& state) { run_in_tree(state, "tree /tmp/t > /dev/null"); }
BENCHMARK(BM_DrawTree)->Unit(benchmark::kMillisecond);

void BM_HostCopyRemoveTree(benchmark::State& state) {
    const std::filesystem::path root = std::filesystem::temp_directory_path() / fmt::format("tw-bench-{}", ::getpid());
    const std::string data(100, 'x');
    for (int d = 0; d < kDirectories; ++d) {
        const auto dir = root / "t" / fmt::format("d{}", d);
        std::filesystem::create_directories(dir);
        for (int f = 0; f < kFilesPerDirectory; ++f) std::ofstream(dir / fmt::format("f{}", f)) << data;
    }
    const std::string command = fmt::format("cd '{}' && cp -r t u && rm -r u", root.string());
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("host cp or rm failed");
            break;
        }
    }
    std::filesystem::remove_all(root);
    state.SetItemsProcessed(state.iterations() * kDirectories * kFilesPerDirectory);
}
BENCHMARK(BM_HostCopyRemoveTree)->Unit(benchmark::kMillisecond);

}  // namespace
