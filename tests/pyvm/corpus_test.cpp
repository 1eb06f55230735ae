// The program corpora under corpus/: every "#### name" block is a program run in the machine and
// in the host's python3; standard output and status must agree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "pyvm/host_python.h"
#include "pyvm/program_fixture.h"

namespace tw::py {
namespace {

struct CorpusProgram {
    std::string name;  // file stem and block name
    std::string source;
};

std::vector<CorpusProgram> load_corpora() {
    std::vector<CorpusProgram> out;
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(TW_PYVM_CORPUS))
        if (e.path().extension() == ".py") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path);
        std::string line;
        CorpusProgram* current = nullptr;
        while (std::getline(in, line)) {
            if (line.rfind("#### ", 0) == 0) {
                out.push_back({path.stem().string() + "_" + line.substr(5), {}});
                current = &out.back();
            } else if (current) {
                current->source += line + "\n";
            }
        }
    }
    for (CorpusProgram& p : out)
        while (p.source.size() >= 2 && p.source.ends_with("\n\n")) p.source.pop_back();
    return out;
}

void PrintTo(const CorpusProgram& p, std::ostream* os) { *os << p.name; }

// Runs every program of the corpora in one host python3 process (a fresh namespace each, standard
// output captured, the status an uncaught exception or SystemExit would give) and keeps what
// each printed, by name.
const std::map<std::string, HostRun>& host_runs() {
    static const std::map<std::string, HostRun> runs = [] {
        std::map<std::string, HostRun> out;
        if (!host_python_available()) return out;
        std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                    ("corpus-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        std::vector<CorpusProgram> programs = load_corpora();
        for (const CorpusProgram& p : programs) std::ofstream(dir / (p.name + ".py")) << p.source;
        std::ofstream(dir / "driver") << R"(import contextlib, gc, io, os, sys
d = sys.argv[1]
with open(os.path.join(d, 'results'), 'w') as res:
    for f in sorted(os.listdir(d)):
        if not f.endswith('.py'):
            continue
        buf, status = io.StringIO(), 0
        with contextlib.redirect_stdout(buf):
            try:
                exec(compile(open(os.path.join(d, f)).read(), '<string>', 'exec'), {'__name__': '__main__'})
            except SystemExit as e:
                status = e.code if isinstance(e.code, int) else (0 if e.code is None else 1)
            except BaseException:
                status = 1
            gc.collect()
        text = buf.getvalue()
        res.write('%s %d %d\n%s' % (f[:-3], status, len(text.encode()), text))
)";
        std::string cmd = "python3 " + (dir / "driver").string() + " " + dir.string() + " 2>/dev/null </dev/null";
        if (std::system(cmd.c_str()) != 0) return out;
        std::ifstream in(dir / "results", std::ios::binary);
        std::string name;
        int status = 0;
        std::size_t size = 0;
        while (in >> name >> status >> size) {
            in.get();
            std::string text(size, '\0');
            in.read(text.data(), std::streamsize(size));
            out[name] = HostRun{std::move(text), status};
        }
        std::filesystem::remove_all(dir);
        return out;
    }();
    return runs;
}

class Corpus : public ::testing::TestWithParam<CorpusProgram> {};

TEST_P(Corpus, MatchesHostPython) {
    if (!host_python_available()) GTEST_SKIP() << "no host python3";
    const CorpusProgram& p = GetParam();
    auto found = host_runs().find(p.name);
    ASSERT_NE(found, host_runs().end()) << "the host run lost " << p.name;
    const HostRun& host = found->second;
    ProgramRun run = run_program(p.source);
    EXPECT_EQ(run.out, host.out) << p.source << "\n" << run.err << run.message;
    EXPECT_EQ(run.status, host.status) << run.err << run.message;
}

INSTANTIATE_TEST_SUITE_P(Programs, Corpus, ::testing::ValuesIn(load_corpora()),
                         [](const auto& info) { return info.param.name; });

TEST(CorpusFiles, AreFound) { EXPECT_FALSE(load_corpora().empty()); }

}  // namespace
}  // namespace tw::py
