// The program corpora under corpus/: every "#### name" block is a program run in the machine and
// in the host's python3; standard output and status must agree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

class Corpus : public ::testing::TestWithParam<CorpusProgram> {};

TEST_P(Corpus, MatchesHostPython) {
    if (!host_python_available()) GTEST_SKIP() << "no host python3";
    const CorpusProgram& p = GetParam();
    HostRun host = run_host(p.source);
    ProgramRun run = run_program(p.source);
    EXPECT_EQ(run.out, host.out) << p.source << "\n" << run.err << run.message;
    EXPECT_EQ(run.status, host.status) << run.err << run.message;
}

INSTANTIATE_TEST_SUITE_P(Programs, Corpus, ::testing::ValuesIn(load_corpora()),
                         [](const auto& info) { return info.param.name; });

TEST(CorpusFiles, AreFound) { EXPECT_FALSE(load_corpora().empty()); }

}  // namespace
}  // namespace tw::py
