// Whole-machine runs with small budgets: the input is shell source, run as one action in a
// fresh machine, then a second action that must still answer. Whatever the source does, the run
// ends (a budget bounds it), the host sees no more output than the output budget allows, and a
// broken invariant (a panic) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "harness/action.h"
#include "kernel/machine.h"

namespace {

constexpr tw::MachineLimits kLimits{
    .cpu = 300'000,
    .memory = 8 << 20,
    .disk = 1 << 20,
    .output = 64 << 10,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return -1;  // long scripts only repeat what short ones find
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    tw::Machine machine = tw::Machine::create(kLimits, false);
    std::uint64_t host_bytes = 0;
    for (std::string_view action : {source, std::string_view("echo ok")}) {
        const tw::ActionResult result = machine.run_action(action, {});
        host_bytes += result.out.size() + result.err.size();
    }
    // The shell's own messages are charged like a command's writes; a little slack covers the
    // fixed notices the harness adds once a budget has stopped the run.
    if (host_bytes > kLimits.output + 4096) std::abort();
    return 0;
}
