#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "pyvm/program_fixture.h"

namespace tw::py {
namespace {

// A machine with module files written under their absolute paths; programs run with /work as
// their only search directory.
struct ImportFixture : ::testing::Test {
    Machine machine = Machine::build({.cpu = 50'000'000, .memory = 256 << 20, .disk = 1 << 20, .output = 1 << 20});
    Interpreter in;

    void file(const std::string& path, const std::string& text) {
        auto dir = path.substr(0, path.rfind('/'));
        ASSERT_TRUE(machine.vfs.create_dir_all("/", dir).has_value()) << dir;
        ASSERT_TRUE(machine.vfs.write_file(path, text, 0644).has_value()) << path;
    }
    ProgramRun run(std::string_view source) {
        in.initial_search_path = {"/work"};
        return run_program_on(machine, in, source);
    }
};

TEST_F(ImportFixture, Smoke) {
    file("/work/m.py", "x = 41\nprint('body', __name__, __package__, __file__)\n");
    auto r = run("import m\nprint(m.x + 1)\n");
    EXPECT_EQ(r.out, "body m  /work/m.py\n42\n") << r.err << r.message;
}

}  // namespace
}  // namespace tw::py
