// git inside one machine beside the host's git: `git log --oneline` over 5,000 commits and
// `git diff` of a 10,000-line file with 100 edited lines. The counter "ratio" is the machine's
// CPU time divided by the host's (below 1: faster).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "commands/git/store.h"
#include "host_cpu.h"

#include "harness/action.h"
#include "kernel/machine.h"

namespace {

constexpr tw::MachineLimits kBenchLimits{
    .cpu = 1'000'000'000'000'000ULL, .memory = 8ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 30};
constexpr int kCommits = 5000;
constexpr int kDiffLines = 10000;

std::string numbered_lines(bool edited) {
    std::string text;
    for (int i = 0; i < kDiffLines; ++i)
        text += edited && i % 100 == 50 ? fmt::format("edited line {}\n", i) : fmt::format("line {}\n", i);
    return text;
}

void write_host(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Repos {
    tw::Machine machine;
    std::string host_log;
    std::string host_diff;
    bool host_ok = false;
};

// The machine's history is written straight into its store: one commit per step, each with its
// own tree, a chain of first parents.
void build_machine_history(tw::Machine& m) {
    auto put = [&](const std::string& path, std::string bytes) {
        if (!m.vfs.write_file(path, std::move(bytes), 0644)) std::abort();
    };
    (void)m.run_action("mkdir -p /log/.git/refs/heads /log/.git/objects /log/.git/commits /diff/.git/refs/heads "
                       "/diff/.git/objects /diff/.git/commits", "");
    for (const char* repo : {"/log", "/diff"}) {
        put(fmt::format("{}/.git/HEAD", repo), "ref: refs/heads/main\n");
        put(fmt::format("{}/.git/config", repo), "");
    }
    std::string parent;
    for (int i = 0; i < kCommits; ++i) {
        const std::string content = fmt::format("{}\n", i);
        const std::string blob = tw::git_blob_id(content);
        put(fmt::format("/log/.git/objects/{}", blob), content);
        const std::string id = fmt::format("{:040x}", i + 1);
        std::string text = parent.empty() ? std::string() : fmt::format("parent {}\n", parent);
        text += fmt::format("author A <a@x> {} +0000\n\ncommit {}\n", 1700000000 + i, i);
        put(fmt::format("/log/.git/commits/{}.commit", id), text);
        put(fmt::format("/log/.git/commits/{}.tree", id), tw::git_format_tree({{"f", {blob, false, false}}}));
        parent = id;
    }
    put("/log/.git/refs/heads/main", parent + "\n");
    const std::string old_text = numbered_lines(false);
    const std::string blob = tw::git_blob_id(old_text);
    const std::string tree = tw::git_format_tree({{"big.txt", {blob, false, false}}});
    put(fmt::format("/diff/.git/objects/{}", blob), old_text);
    put("/diff/.git/index", tree);
    put("/diff/.git/commits/" + std::string(40, 'a') + ".commit", "author A <a@x> 1 +0000\n\nm\n");
    put("/diff/.git/commits/" + std::string(40, 'a') + ".tree", tree);
    put("/diff/.git/refs/heads/main", std::string(40, 'a') + "\n");
    put("/diff/big.txt", numbered_lines(true));
}

bool build_host_repos(Repos& r) {
    if (std::system("git --version > /dev/null 2>&1") != 0) return false;
    const auto base = std::filesystem::temp_directory_path() / fmt::format("tw-git-bench-{}", getpid());
    r.host_log = (base / "log").string();
    r.host_diff = (base / "diff").string();
    std::string stream;
    for (int i = 0; i < kCommits; ++i) {
        const std::string content = fmt::format("{}\n", i);
        const std::string message = fmt::format("commit {}\n", i);
        stream += fmt::format("commit refs/heads/main\ncommitter A <a@x> {} +0000\ndata {}\n{}", 1700000000 + i,
                              message.size(), message);
        stream += fmt::format("M 100644 inline f\ndata {}\n{}\n", content.size(), content);
    }
    write_host(base / "stream", stream);
    const std::string env = "GIT_CONFIG_NOSYSTEM=1 HOME=/nonexistent GIT_AUTHOR_NAME=A GIT_AUTHOR_EMAIL=a@x "
                            "GIT_COMMITTER_NAME=A GIT_COMMITTER_EMAIL=a@x";
    if (std::system(fmt::format("{0} git init -q -b main {1} && cd {1} && {0} git fast-import --quiet < {2}/stream && "
                                "{0} git checkout -q main",
                                env, r.host_log, base.string())
                        .c_str()) != 0)
        return false;
    write_host(base / "diff" / "big.txt", numbered_lines(false));
    if (std::system(fmt::format("cd {1} && {0} git init -q -b main && {0} git add big.txt && {0} git commit -qm m",
                                env, r.host_diff)
                        .c_str()) != 0)
        return false;
    write_host(base / "diff" / "big.txt", numbered_lines(true));
    std::atexit([] {
        std::filesystem::remove_all(std::filesystem::temp_directory_path() / fmt::format("tw-git-bench-{}", getpid()));
    });
    return true;
}

Repos& repos() {
    static std::unique_ptr<Repos> r = [] {
        auto made = std::make_unique<Repos>(Repos{tw::Machine::build(kBenchLimits), {}, {}, false});
        build_machine_history(made->machine);
        made->host_ok = build_host_repos(*made);
        return made;
    }();
    return *r;
}

// The best of three runs of the host's git, in CPU seconds (0 when it fails).
double host_seconds(const std::string& dir, const std::string& args) {
    const std::string command = fmt::format("cd {} && git {} > /dev/null", dir, args);
    return tw::bench::best_host_cpu_seconds(command);
}

void run_git(benchmark::State& state, const std::string& dir, const std::string& host_dir, const std::string& args) {
    tw::Machine& machine = repos().machine;
    const std::string source = fmt::format("cd {} && git {} > /dev/null", dir, args);
    double total = 0;
    for (auto _ : state) {
        const double start = tw::bench::process_cpu_seconds();
        tw::ActionResult result = machine.run_action(source, "");
        total += tw::bench::process_cpu_seconds() - start;
        if (result.outcome.exit_status != 0 || !result.err.empty()) {
            state.SkipWithError(fmt::format("status {}, errors {:?}", result.outcome.exit_status, result.err).c_str());
            return;
        }
    }
    const double host = repos().host_ok ? host_seconds(host_dir, args) : 0;
    if (host > 0 && state.iterations() > 0) {
        state.counters["host_cpu_ms"] = host * 1000;
        state.counters["ratio"] = total / static_cast<double>(state.iterations()) / host;
    }
}

void BM_GitLogOneline5000(benchmark::State& state) { run_git(state, "/log", repos().host_log, "log --oneline"); }
BENCHMARK(BM_GitLogOneline5000)->Unit(benchmark::kMillisecond);

void BM_GitLogFormat5000(benchmark::State& state) {
    run_git(state, "/log", repos().host_log, "log --decorate --format='%h %d %s'");
}
BENCHMARK(BM_GitLogFormat5000)->Unit(benchmark::kMillisecond);

void BM_GitDiff10000Lines(benchmark::State& state) { run_git(state, "/diff", repos().host_diff, "diff"); }
BENCHMARK(BM_GitDiff10000Lines)->Unit(benchmark::kMillisecond);

}  // namespace
