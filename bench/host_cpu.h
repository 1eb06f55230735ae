// CPU time of this process and of the host commands it has waited for, for benchmarks that
// compare a command in the machine with the host's own tool on the same bytes.
#pragma once

#include <sys/resource.h>
#include <time.h>

namespace tw::bench {

// User and system time of every child process waited for so far, in seconds.
inline double children_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU time of this process (all its threads), in seconds.
inline double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace tw::bench
