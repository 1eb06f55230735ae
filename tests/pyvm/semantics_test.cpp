// Control flow of idiomatic programs: generators and coroutines, iteration, exception matching,
// with statements, assert, rich comparison and containment. Each program runs in the machine
// and in the host's python3; standard output and status must agree apart from noted differences.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "host_python.h"
#include "program_fixture.h"

namespace tw::py {
namespace {

// A developer aid: TW_PY_SCRATCH=file runs that file in the machine and prints what it wrote.
TEST(Semantics, Scratch) {
    const char* file = std::getenv("TW_PY_SCRATCH");
    if (!file) GTEST_SKIP();
    std::ifstream in(file);
    std::string source((std::istreambuf_iterator<char>(in)), {});
    ProgramRun run = run_program(source);
    std::printf("%s---stderr---\n%s---status %d %s\n", run.out.c_str(), run.err.c_str(), run.status, run.message.c_str());
}

}  // namespace
}  // namespace tw::py
