// Runs a program in the host's python3 for differential tests: its standard output and status.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
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
    // Names of this process's own: other test processes may run the same programs at once.
    static int serial = 0;
    const std::string stem =
        ::testing::TempDir() + "/differential-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    const std::string path = stem + ".py", out_path = stem + ".out", in_path = stem + ".in";
    std::ofstream(path) << source;
    std::ofstream(in_path) << stdin_text;
    const std::string cmd = "python3 " + path + " >" + out_path + " 2>/dev/null <" + in_path;
    const int rc = std::system(cmd.c_str());
    HostRun r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    std::ifstream in(out_path);
    r.out.assign(std::istreambuf_iterator<char>(in), {});
    for (const std::string& p : {path, out_path, in_path}) std::remove(p.c_str());
    return r;
}

}  // namespace tw::py
