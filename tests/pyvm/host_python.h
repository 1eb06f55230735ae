// Runs a program in the host's python3 for differential tests: its standard output and status.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace tw::py {

struct HostRun {
    std::string out;
    int status = 0;
};

inline bool host_python_available() {
    static const bool available = std::system("python3 -c 'pass' >/dev/null 2>&1") == 0;
    return available;
}

inline HostRun run_host(const std::string& source, const std::string& stdin_text = {}) {
    // Named by the process: other test binaries may run at the same time.
    std::string base = ::testing::TempDir() + "/differential-" + std::to_string(::getpid());
    std::string path = base + ".py", out_path = base + ".out", in_path = base + ".in";
    std::ofstream(path) << source;
    std::ofstream(in_path) << stdin_text;
    std::string cmd = "python3 " + path + " >" + out_path + " 2>/dev/null <" + in_path;
    int rc = std::system(cmd.c_str());
    HostRun r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    std::ifstream in(out_path);
    r.out.assign(std::istreambuf_iterator<char>(in), {});
    return r;
}

}  // namespace tw::py
