// Test support for commands, on top of run_fixture.h: tables of shell cases, each run in a fresh
// machine, and the files of a machine written and read directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "run_fixture.h"

namespace tw::command_test {

// One action and what it must give.
struct Case {
    std::string source;
    std::string out;
    std::int32_t status = 0;
    std::string err = {};
    std::string input = {};  // the action's standard input: raw bytes
};

// Runs every case in a fresh machine and compares its output, messages and status.
inline void expect_cases(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        Ran r = run(c.source, c.input);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

// Writes a file of `m` (an absolute path) past the shell; fails the test when it cannot.
inline void put_file(Machine& m, const std::string& path, const std::string& bytes, std::uint32_t mode = 0644) {
    ASSERT_TRUE(m.vfs.write_file(path, bytes, mode).has_value()) << path;
}

// The bytes of a file of `m` (an absolute path), or "<missing>" when it cannot be read.
inline std::string file_contents(Machine& m, const std::string& path) {
    auto bytes = m.vfs.read_file("/", path, 1 << 20);
    return bytes ? *bytes : std::string("<missing>");
}

}  // namespace tw::command_test
