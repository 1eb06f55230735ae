#include "kernel/invocation_log.h"

#include <algorithm>
#include <limits>

#include "base/sat.h"

namespace tw {
namespace {

constexpr std::uint64_t kEntryOverhead = 128;

}  // namespace

void InvocationLog::record(Pid pid, std::span<const std::string> argv, CommandTrust trust,
                           std::optional<std::string_view> reason, std::uint64_t start_cpu,
                           std::uint64_t start_disk) {
    if (next_sequence == std::numeric_limits<std::uint64_t>::max()) {
        dropped = sat_add(dropped, 1);
        return;
    }
    const std::uint64_t sequence = next_sequence++;

    std::uint64_t size = kEntryOverhead;
    for (const std::string& arg : argv) size = sat_add(size, sat_add(arg.size(), kArgOverhead));
    if (reason) size = sat_add(size, reason->size());
    if (size > kMaxModeledBytes) {
        dropped = sat_add(dropped, 1);
        return;
    }

    while (entries.size() >= kMaxEntries || (!entries.empty() && sat_add(modeled_bytes, size) > kMaxModeledBytes)) {
        const InvocationEvent& oldest = entries.front();
        modeled_bytes = sat_sub(modeled_bytes, oldest.modeled_size);
        dropped = sat_add(dropped, 1);
        if (!oldest.status) forget_running(oldest.pid, oldest.sequence);
        entries.pop_front();
    }

    modeled_bytes = sat_add(modeled_bytes, size);
    running[pid].push_back(sequence);
    InvocationEvent& entry = entries.emplace_back();
    entry.sequence = sequence;
    entry.pid = pid;
    entry.argv.assign(argv.begin(), argv.end());
    entry.trust = trust;
    if (reason) entry.unsupported_reason.emplace(*reason);
    entry.start_cpu = start_cpu;
    entry.start_disk = start_disk;
    entry.modeled_size = size;
}

void InvocationLog::forget_running(Pid pid, std::uint64_t sequence) {
    auto it = running.find(pid);
    if (it == running.end()) return;
    std::erase(it->second, sequence);
}

void InvocationLog::finish(Pid pid, std::int32_t status, std::uint64_t cpu_now, std::uint64_t disk_now) {
    auto it = running.find(pid);
    if (it == running.end()) return;
    if (it->second.empty()) return;
    const std::uint64_t sequence = it->second.back();
    it->second.pop_back();
    complete(sequence, status, cpu_now, disk_now);
}

void InvocationLog::finish_all(Pid pid, std::int32_t status, std::uint64_t cpu_now, std::uint64_t disk_now) {
    auto it = running.find(pid);
    if (it == running.end()) return;
    std::vector<std::uint64_t> sequences = std::move(it->second);
    running.erase(it);
    for (std::uint64_t sequence : sequences) complete(sequence, status, cpu_now, disk_now);
}

// Sequence numbers increase along the queue but may have gaps (a number is used up by an entry
// that was refused), so the arithmetic position is only a first guess; a miss falls back to a
// binary search over the ordered queue.
InvocationEvent* InvocationLog::find_mut(std::uint64_t sequence) {
    if (entries.empty() || sequence < entries.front().sequence) return nullptr;
    const std::uint64_t position = sequence - entries.front().sequence;
    if (position < entries.size() && entries[position].sequence == sequence) return &entries[position];
    auto it = std::lower_bound(entries.begin(), entries.end(), sequence,
                               [](const InvocationEvent& e, std::uint64_t s) { return e.sequence < s; });
    return it != entries.end() && it->sequence == sequence ? &*it : nullptr;
}

const InvocationEvent* InvocationLog::find(std::uint64_t sequence) const {
    return const_cast<InvocationLog*>(this)->find_mut(sequence);
}

void InvocationLog::complete(std::uint64_t sequence, std::int32_t status, std::uint64_t cpu_now,
                             std::uint64_t disk_now) {
    InvocationEvent* entry = find_mut(sequence);
    if (entry == nullptr) return;
    entry->status = status;
    entry->cpu = sat_sub(cpu_now, entry->start_cpu);
    entry->disk_delta = signed_delta(disk_now, entry->start_disk);
}

}  // namespace tw
