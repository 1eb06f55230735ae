// A short session in a freshly booted machine: a few shell actions, each with its output and
// the run's outcome, as a host would see them.
#include <cstdio>

#include <fmt/format.h>

#include "harness/action.h"
#include "kernel/machine.h"

namespace {

void run(tw::Machine& m, std::string_view source) {
    fmt::print("$ {}\n", source);
    tw::ActionResult r = m.run_action(source, {});
    std::fwrite(r.out.data(), 1, r.out.size(), stdout);
    std::fwrite(r.err.data(), 1, r.err.size(), stdout);
    fmt::print("  -> {}\n\n", tw::outcome_json(r.outcome));
}

}  // namespace

int main() {
    tw::Machine m = tw::Machine::build({.cpu = 10'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20});
    fmt::print("booted: host {}, clock {} ms since the epoch, {} nodes in the filesystem\n\n", m.hostname,
               m.clock.wall_time_ms(), m.vfs.tree().size());
    run(m, "echo hello from $HOSTNAME; pwd");
    run(m, "printf '%s=%d\\n' answer $((6 * 7)) > /work/notes.txt; cat /work/notes.txt");
    run(m, "greet() { echo \"hi, $1\"; return 3; }; greet world; echo status $?");
    run(m, "for f in /usr/bin/e*; do echo $f; done | head -n 3");
    run(m, "no-such-command");
    return 0;
}
