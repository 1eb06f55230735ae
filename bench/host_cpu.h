// CPU-time clocks for benchmarks that compare the machine with a host tool: the CPU seconds of
// this process, and those of its finished children (the host tool run through std::system).
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <cstdlib>
#include <string>

namespace tw::bench {

inline double children_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The best of three runs of a host shell command, in CPU seconds of its children (0 when a run
// fails).
inline double best_host_cpu_seconds(const std::string& command) {
    double best = 0;
    for (int i = 0; i < 3; ++i) {
        const double start = children_cpu_seconds();
        if (std::system(command.c_str()) != 0) return 0;
        const double s = children_cpu_seconds() - start;
        if (i == 0 || s < best) best = s;
    }
    return best;
}

}  // namespace tw::bench
