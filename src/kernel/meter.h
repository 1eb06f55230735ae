// The resource meter: the machine's four budgets (CPU work units, memory, disk, output), what has
// been used of them, the sticky stop reason set by the first refused charge, and the per-command
// usage list of the run metadata.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tw {

struct MachineLimits {
    std::uint64_t cpu = 0;     // work units
    std::uint64_t memory = 0;  // modeled bytes
    std::uint64_t disk = 0;    // bytes of filesystem content
    std::uint64_t output = 0;  // bytes of standard output and error

    friend bool operator==(const MachineLimits&, const MachineLimits&) = default;
};

enum class StopReason : std::uint8_t {
    cpu_exhausted = 0,
    memory_exhausted = 1,
    output_limit_exceeded = 2,
};

// "cpu_exhausted", "memory_exhausted", "output_limit_exceeded": the run-metadata JSON names.
std::string_view stop_reason_name(StopReason reason);

// One command's accumulated usage (JSON keys `command`, `cpu`, `disk_delta`).
struct CommandUsage {
    std::string command;
    std::uint64_t cpu = 0;
    std::int64_t disk_delta = 0;

    friend bool operator==(const CommandUsage&, const CommandUsage&) = default;
};

class ResourceMeter {
public:
    ResourceMeter() = default;
    explicit ResourceMeter(const MachineLimits& limits);

    // Each charge is refused (false) once any stop reason is set. A charge that overflows or
    // passes its limit sets the stop reason: CPU use is then pinned at the limit, memory use is
    // left unchanged, output use is pinned at the limit (but left unchanged on overflow).
    // A sum equal to the limit is accepted.
    bool charge_cpu(std::uint64_t n);
    bool charge_memory(std::uint64_t n);
    bool charge_output(std::uint64_t n);

    // Records `reason` when no stop reason is set yet, without touching any counter: for a bound
    // of the machine's own (the host's output capture) that ends the run like a budget.
    void stop(StopReason reason);

    // Gives back memory; never refused, stops at 0, the peak stays.
    void release_memory(std::uint64_t n);

    // Adds one command's usage: cpu delta = cpu_used - cpu_start (0 when negative), disk delta =
    // disk_now - disk_start (signed). Merges into the first entry with the same command text,
    // else appends a new entry; entries keep their order of first appearance.
    void record_command_usage(std::string_view command, std::uint64_t cpu_start,
                              std::uint64_t disk_start, std::uint64_t disk_now);

    MachineLimits limits() const { return {cpu_limit_, memory_limit_, disk_limit_, output_limit_}; }
    std::uint64_t cpu_used() const { return cpu_used_; }
    std::uint64_t memory_current() const { return memory_current_; }
    std::uint64_t memory_peak() const { return memory_peak_; }
    std::uint64_t output_used() const { return output_used_; }
    std::uint64_t output_remaining() const;
    std::optional<StopReason> stop_reason() const { return stop_reason_; }
    const std::vector<CommandUsage>& command_usage() const { return command_usage_; }

private:
    std::vector<CommandUsage> command_usage_;
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    // command text -> position in command_usage_
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> usage_index_;
    std::uint64_t cpu_limit_ = 0;
    std::uint64_t memory_limit_ = 0;
    std::uint64_t disk_limit_ = 0;
    std::uint64_t output_limit_ = 0;
    std::uint64_t cpu_used_ = 0;
    std::uint64_t memory_current_ = 0;
    std::uint64_t memory_peak_ = 0;
    std::uint64_t output_used_ = 0;
    std::optional<StopReason> stop_reason_;
};

}  // namespace tw
