// The machine's bounded record of every command started: who ran what, how complete the
// implementation is, how it ended and what it cost. Command dispatch appends and completes entries.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "command_table/table.h"
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
    // An entry's modeled size counts what each argv string holds besides its bytes, so that the
    // byte bound also bounds entries of many short arguments.
    static constexpr std::uint64_t kArgOverhead = sizeof(std::string);

    std::deque<InvocationEvent> entries;
    // The entries not completed yet, per process, oldest first. A living process keeps its
    // (possibly empty) list, so that recording a command does not allocate; finish_all drops it.
    std::unordered_map<Pid, std::vector<std::uint64_t>> running;
    std::uint64_t modeled_bytes = 0;
    std::uint64_t next_sequence = 0;  // the largest value disables recording
    std::uint64_t dropped = 0;

    // Appends an entry for a starting command and marks it running for pid. An entry that does
    // not fit (recording disabled, or larger than the byte bound on its own) only counts in
    // `dropped`; older entries are evicted to make room.
    void record(Pid pid, std::span<const std::string> argv, CommandTrust trust,
                std::optional<std::string_view> reason, std::uint64_t start_cpu, std::uint64_t start_disk);
    // Whether pid has an entry that is not completed yet.
    bool has_running(Pid pid) const {
        auto it = running.find(pid);
        return it != running.end() && !it->second.empty();
    }
    // Completes the newest running entry of pid (nothing when it has none).
    void finish(Pid pid, std::int32_t status, std::uint64_t cpu_now, std::uint64_t disk_now);
    // Completes every running entry of pid, oldest first (its process has ended).
    void finish_all(Pid pid, std::int32_t status, std::uint64_t cpu_now, std::uint64_t disk_now);
    // Fills one entry: status, CPU used since its start, disk change since its start. An entry
    // that was evicted is skipped.
    void complete(std::uint64_t sequence, std::int32_t status, std::uint64_t cpu_now, std::uint64_t disk_now);
    // The entry with that sequence number, or null when it is not held.
    const InvocationEvent* find(std::uint64_t sequence) const;

private:
    InvocationEvent* find_mut(std::uint64_t sequence);
    void forget_running(Pid pid, std::uint64_t sequence);
};

}  // namespace tw
