// The machine's bounded record of every command started: who ran what, how complete the
// implementation is, how it ended and what it cost. Command dispatch appends and completes entries.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "commands/registry/table.h"
#include "kernel/scheduler.h"

namespace tw {

struct InvocationEvent {
    std::uint64_t sequence = 0;
    Pid pid = 0;
    std::vector<std::string> argv;
    CommandTrust trust = CommandTrust::Real;
    std::optional<std::int32_t> status;
    std::optional<std::uint64_t> cpu;
    std::optional<std::int64_t> disk_delta;
    std::optional<std::string> unsupported_reason;
    // Bookkeeping, not serialized.
    std::uint64_t start_cpu = 0;
    std::uint64_t start_disk = 0;
    std::uint64_t modeled_size = 0;
};

struct InvocationLog {
    static constexpr std::size_t kMaxEntries = 4096;
    static constexpr std::uint64_t kMaxModeledBytes = 4194304;

    std::deque<InvocationEvent> entries;
    std::unordered_map<Pid, std::vector<std::uint64_t>> running;
    std::uint64_t modeled_bytes = 0;
    std::uint64_t next_sequence = 0;  // the largest value disables recording
    std::uint64_t dropped = 0;
};

}  // namespace tw
