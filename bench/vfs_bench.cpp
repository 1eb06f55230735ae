// Filesystem lookups and listings in a tree of a few thousand nodes.
#include <benchmark/benchmark.h>

#include <string>

#include "kernel/vfs.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

struct Fixture {
    Vfs vfs{1ull << 32, 1'735'689'600'000};
    std::string deep_file;
    std::string via_link;

    Fixture() {
        for (int d = 0; d < 40; ++d)
            for (int e = 0; e < 40; ++e)
                for (int f = 0; f < 3; ++f)
                    (void)vfs.write_file("/data/d" + std::to_string(d) + "/e" + std::to_string(e) + "/f" + std::to_string(f),
                                         "content", 0644);
        std::string deep = "/deep";
        std::string tail;
        for (int i = 1; i <= 20; ++i) {
            deep += "/level" + std::to_string(i);
            if (i > 10) tail += "/level" + std::to_string(i);
        }
        deep_file = deep + "/file";
        (void)vfs.write_file(deep_file, "x", 0644);
        std::string mid = "/deep";
        for (int i = 1; i <= 10; ++i) mid += "/level" + std::to_string(i);
        (void)vfs.symlink("/", mid, "/shortcut");
        via_link = "/shortcut" + tail + "/file";
    }
};

const Fixture& fixture() {
    static const Fixture f;
    return f;
}

void BM_LookupDeepPath(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        auto r = f.vfs.lookup("/", f.deep_file, true);
        benchmark::DoNotOptimize(r);
    }
    state.counters["nodes"] = static_cast<double>(f.vfs.tree().size());
}
BENCHMARK(BM_LookupDeepPath);

void BM_LookupThroughSymlink(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        auto r = f.vfs.lookup("/", f.via_link, true);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_LookupThroughSymlink);

void BM_LookupRelativeInWorkingDirectory(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        auto r = f.vfs.lookup("/data/d17/e23", "f1", true);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_LookupRelativeInWorkingDirectory);

void BM_ListSmallDirectoryInLargeTree(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        auto r = f.vfs.list_child_names("/", "/data/d7/e3");
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_ListSmallDirectoryInLargeTree);

void BM_JoinNormalPath(benchmark::State& state) {
    for (auto _ : state) {
        auto r = path_join_normalize("/data/d7/e3", "f2");
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_JoinNormalPath);

void BM_NormalizeMessyPath(benchmark::State& state) {
    for (auto _ : state) {
        auto r = path_normalize("//data/./d7/../d7/e3//f2/");
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_NormalizeMessyPath);

}  // namespace
}  // namespace tw
