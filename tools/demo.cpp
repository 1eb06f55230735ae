// A short session in a freshly booted machine: what a user would look at first.
#include <cstdio>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "kernel/machine.h"

int main() {
    using namespace tw;
    Machine m = Machine::build({.cpu = 1'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20});

    fmt::print("booted: host {}, wall clock {} ms since the epoch\n", m.hostname, m.clock.wall_time_ms());
    const std::vector<std::string> top = *m.vfs.list_child_names("/", "/");
    fmt::print("/ holds: {}\n", fmt::join(top, " "));
    fmt::print("/usr/bin holds {} commands, /usr/bin/grep names {}\n", m.vfs.list_child_names("/", "/usr/bin")->size(),
               m.vfs.node("/usr/bin/grep")->program()->text());

    const ProcessState& shell = m.states.active();
    fmt::print("process {} runs {}; its environment:\n", shell.pid, m.processes.find(shell.pid)->command);
    for (const auto& [name, value] : shell.environment_snapshot()) fmt::print("  {}={}\n", name, value);

    m.sync_vfs_clock();
    (void)m.vfs.write_file("/work/project/notes.txt", "tarnwick keeps everything inside\n", 0644);
    fmt::print("wrote /work/project/notes.txt: {}", *m.vfs.read_file("/", "/work/project/notes.txt", 1 << 20));
    fmt::print("disk in use: {} of {} bytes\n", m.vfs.used(), m.vfs.capacity());

    (void)m.clock.add_timer(shell.pid, 1'500'000'000);
    (void)m.advance_time_to(1'500'000'000);
    fmt::print("after a 1.5 s timer the wall clock reads {} ms\n", m.clock.wall_time_ms());
    return 0;
}
