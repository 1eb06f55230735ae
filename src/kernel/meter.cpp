#include "kernel/meter.h"

#include "base/panic.h"
#include "base/sat.h"

namespace tw {

std::string_view stop_reason_name(StopReason reason) {
    switch (reason) {
        case StopReason::cpu_exhausted: return "cpu_exhausted";
        case StopReason::memory_exhausted: return "memory_exhausted";
        case StopReason::output_limit_exceeded: return "output_limit_exceeded";
    }
    unreachable("stop reason");
}

ResourceMeter::ResourceMeter(const MachineLimits& limits)
    : cpu_limit_(limits.cpu),
      memory_limit_(limits.memory),
      disk_limit_(limits.disk),
      output_limit_(limits.output) {}

bool ResourceMeter::charge_cpu(std::uint64_t n) {
    if (stop_reason_) return false;
    std::uint64_t sum;
    if (__builtin_add_overflow(cpu_used_, n, &sum) || sum > cpu_limit_) {
        cpu_used_ = cpu_limit_;
        stop_reason_ = StopReason::cpu_exhausted;
        return false;
    }
    cpu_used_ = sum;
    return true;
}

bool ResourceMeter::charge_memory(std::uint64_t n) {
    if (stop_reason_) return false;
    std::uint64_t sum;
    if (__builtin_add_overflow(memory_current_, n, &sum) || sum > memory_limit_) {
        stop_reason_ = StopReason::memory_exhausted;
        return false;
    }
    memory_current_ = sum;
    if (sum > memory_peak_) memory_peak_ = sum;
    return true;
}

bool ResourceMeter::charge_output(std::uint64_t n) {
    if (stop_reason_) return false;
    std::uint64_t sum;
    if (__builtin_add_overflow(output_used_, n, &sum)) {
        stop_reason_ = StopReason::output_limit_exceeded;
        return false;
    }
    if (sum > output_limit_) {
        output_used_ = output_limit_;
        stop_reason_ = StopReason::output_limit_exceeded;
        return false;
    }
    output_used_ = sum;
    return true;
}

void ResourceMeter::stop(StopReason reason) {
    if (!stop_reason_) stop_reason_ = reason;
}

void ResourceMeter::release_memory(std::uint64_t n) { memory_current_ = sat_sub(memory_current_, n); }

std::uint64_t ResourceMeter::output_remaining() const { return sat_sub(output_limit_, output_used_); }

void ResourceMeter::record_command_usage(std::string_view command, std::uint64_t cpu_start,
                                         std::uint64_t disk_start, std::uint64_t disk_now) {
    const std::uint64_t cpu = sat_sub(cpu_used_, cpu_start);
    const std::int64_t disk = signed_delta(disk_now, disk_start);
    if (auto it = usage_index_.find(command); it != usage_index_.end()) {
        CommandUsage& entry = command_usage_[it->second];
        entry.cpu = sat_add(entry.cpu, cpu);
        entry.disk_delta = sat_add(entry.disk_delta, disk);
        return;
    }
    usage_index_.emplace(std::string(command), command_usage_.size());
    command_usage_.push_back(CommandUsage{std::string(command), cpu, disk});
}

}  // namespace tw
