// The sed script parser and engine: the first line of the input is the script, the rest the
// text it edits, run under small budgets of a meter of its own.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "commands/sed/engine.h"
#include "fuzz/input.h"

namespace {

class FuzzMeter final : public tw::SedMeter {
public:
    std::uint64_t memory_used() override { return memory_; }
    bool charge_cpu(std::uint64_t units) override { return take(cpu_, units, 2'000'000); }
    bool charge_memory(std::uint64_t bytes) override { return take(memory_, bytes, 16 << 20); }
    void release_memory(std::uint64_t bytes) override { memory_ -= std::min(memory_, bytes); }
    std::uint64_t output_remaining() override { return kOutput - std::min(output_, kOutput); }
    bool charge_output(std::uint64_t bytes) override { return take(output_, bytes, kOutput); }
    std::int32_t exhausted_status() override { return 137; }

private:
    static constexpr std::uint64_t kOutput = 1 << 20;
    static bool take(std::uint64_t& used, std::uint64_t n, std::uint64_t limit) {
        if (n > limit - std::min(used, limit)) return false;
        used += n;
        return true;
    }
    std::uint64_t cpu_ = 0, memory_ = 0, output_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192) return -1;
    const auto [script, text] = tw::fuzz::split_input(data, size, '\n');
    for (bool extended : {false, true}) {
        auto commands = tw::sed_parse_script(script, extended);
        if (!commands) continue;
        FuzzMeter meter;
        const std::vector<std::string_view> inputs{text};
        for (bool quiet : {false, true}) {
            tw::SedRunOptions options;
            options.quiet = quiet;
            (void)tw::sed_execute(meter, inputs, *commands, options);
        }
    }
    return 0;
}
