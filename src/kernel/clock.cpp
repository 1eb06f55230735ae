#include "kernel/clock.h"

#include <algorithm>
#include <limits>
#include <thread>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/scheduler.h"

namespace tw {

std::string error_text(const ClockError& error) {
    switch (error.kind) {
        case ClockErrorKind::Overflow: return "virtual time overflow";
        case ClockErrorKind::Rewind:
            return fmt::format("virtual monotonic clock cannot rewind from {}ns to {}ns", error.from_ns,
                               error.to_ns);
        case ClockErrorKind::EventLimit:
            return fmt::format("virtual timeline event limit exceeded ({})", error.limit);
        case ClockErrorKind::Horizon:
            return fmt::format("virtual event exceeds the configured {}ns scheduling horizon",
                               error.horizon_ns);
    }
    unreachable("clock error");
}

Result<EventKey, ClockError> Clock::schedule_at(std::uint64_t t, ClockEvent event) {
    if (t < now_ns_) return std::unexpected(ClockError::rewind(now_ns_, t));
    if (sat_add(std::uint64_t{pending_.size()}, std::uint64_t{ready_.size()}) >= event_limit_)
        return std::unexpected(ClockError::event_limit(event_limit_));
    if (t - now_ns_ > horizon_ns_) return std::unexpected(ClockError::horizon(horizon_ns_));
    if (next_sequence_ == std::numeric_limits<std::uint64_t>::max())
        return std::unexpected(ClockError::overflow());
    const EventKey key{t, next_sequence_++};
    pending_by_target_.emplace(event.target, key.time_ns, key.sequence);
    pending_.emplace(key, event);
    return key;
}

Result<EventKey, ClockError> Clock::schedule_after(std::uint64_t delay_ns, ClockEvent event) {
    std::uint64_t t;
    if (__builtin_add_overflow(now_ns_, delay_ns, &t)) return std::unexpected(ClockError::overflow());
    return schedule_at(t, event);
}

Result<EventKey, ClockError> Clock::add_timer(std::uint64_t target, std::uint64_t delay_ns) {
    auto key = schedule_after(delay_ns, ClockEvent::timer_due(target));
    if (key) sleep_total_ns_ = sat_add(sleep_total_ns_, delay_ns);
    return key;
}

Result<std::vector<TimelineEvent>, ClockError> Clock::advance_to(std::uint64_t t) {
    if (t < now_ns_) return std::unexpected(ClockError::rewind(now_ns_, t));
    now_ns_ = t;
    std::vector<TimelineEvent> due;
    while (!pending_.empty() && pending_.begin()->first.time_ns <= t) {
        auto node = pending_.extract(pending_.begin());
        expect(!node.empty(), "event key was collected from pending map");
        index_erase(node.key(), node.mapped());
        TimelineEvent ev{node.mapped(), node.key().time_ns, node.key().sequence};
        ready_.push_back(ev);
        due.push_back(ev);
    }
    return due;
}

std::uint64_t Clock::wall_time_ms() const {
    __int128 sum;
    if (__builtin_add_overflow(wall_base_ns_, static_cast<__int128>(now_ns_), &sum)) return 0;
    if (__builtin_add_overflow(sum, wall_offset_ns_, &sum)) return 0;
    if (sum < 0) return 0;  // the floored quotient is negative
    const __int128 ms = sum / 1000000;
    if (ms > static_cast<__int128>(std::numeric_limits<std::uint64_t>::max())) return 0;
    return static_cast<std::uint64_t>(ms);
}

void Clock::index_erase(const EventKey& key, const ClockEvent& event) {
    pending_by_target_.erase({event.target, key.time_ns, key.sequence});
}

bool Clock::cancel(EventKey key) {
    auto it = pending_.find(key);
    if (it == pending_.end()) return false;
    index_erase(key, it->second);
    pending_.erase(it);
    return true;
}

void Clock::forget_target(std::uint64_t target) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    auto lo = pending_by_target_.lower_bound({target, 0, 0});
    auto hi = pending_by_target_.upper_bound({target, kMax, kMax});
    for (auto it = lo; it != hi; ++it) pending_.erase(EventKey{std::get<1>(*it), std::get<2>(*it)});
    pending_by_target_.erase(lo, hi);
    std::erase_if(ready_, [&](const TimelineEvent& e) { return e.event.target == target; });
}

std::optional<TimelineEvent> Clock::pop_ready() {
    if (ready_.empty()) return std::nullopt;
    TimelineEvent ev = std::move(ready_.front());
    ready_.pop_front();
    return ev;
}

std::optional<EventKey> Clock::next_pending() const {
    if (pending_.empty()) return std::nullopt;
    return pending_.begin()->first;
}

// ---- Real-time pacing ----

const HostClock& HostClock::system() {
    static const HostClock host{
        [] { return std::chrono::steady_clock::now(); },
        [](std::uint64_t seconds, std::uint32_t nanoseconds) {
            // Clamp to what a chrono duration holds; such a sleep never ends in practice anyway.
            constexpr std::uint64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max() / 1000000000;
            std::this_thread::sleep_for(std::chrono::seconds(std::min(seconds, kMaxSeconds)) +
                                        std::chrono::nanoseconds(nanoseconds));
        },
    };
    return host;
}

std::uint64_t host_elapsed_ns(const PacingBaseline& baseline, const HostClock& host) {
    const auto now = host.now();
    if (now < baseline.host) return baseline.virtual_ns;
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - baseline.host).count();
    return sat_add(baseline.virtual_ns, static_cast<std::uint64_t>(elapsed));
}

Result<void, std::string> sync_real_time_clock(Clock& clock, const std::optional<PacingBaseline>& pacing,
                                               const HostClock& host) {
    if (!pacing) return {};
    const std::uint64_t t = host_elapsed_ns(*pacing, host);
    if (t > clock.now_ns()) {
        if (auto r = clock.advance_to(t); !r) return std::unexpected(error_text(r.error()));
    }
    return {};
}

Result<void, std::string> advance_time_to(Clock& clock, const std::optional<PacingBaseline>& pacing,
                                          std::uint64_t t, const HostClock& host) {
    if (pacing) {
        const std::uint64_t paced = host_elapsed_ns(*pacing, host);
        if (t > paced) {
            const std::uint64_t diff = t - paced;
            host.sleep(diff / 1000000000, static_cast<std::uint32_t>(diff % 1000000000));
        }
        if (auto r = sync_real_time_clock(clock, pacing, host); !r) return r;
    }
    if (t > clock.now_ns()) {
        if (auto r = clock.advance_to(t); !r) return std::unexpected(error_text(r.error()));
    }
    return {};
}

Result<void, std::string> poll_clock(Clock& clock, Scheduler& scheduler,
                                     const std::optional<PacingBaseline>& pacing, const HostClock& host) {
    if (auto r = sync_real_time_clock(clock, pacing, host); !r) return r;
    if (auto r = clock.advance_to(clock.now_ns()); !r) return std::unexpected(error_text(r.error()));
    return dispatch_ready_events(clock, scheduler);
}

Result<void, std::string> dispatch_ready_events(Clock& clock, Scheduler& scheduler) {
    while (auto ev = clock.pop_ready()) {
        switch (ev->event.kind) {
            case ClockEventKind::TimerDue: {
                if (ev->event.target > std::numeric_limits<Pid>::max()) break;
                const Pid pid = static_cast<Pid>(ev->event.target);
                const TaskState* state = scheduler.find_task(pid);
                if (state == nullptr) break;
                const WaitReason* reason = state->waiting_reason();
                if (reason == nullptr || !reason->is_due_at(ev->time_ns)) break;  // stale
                if (auto r = scheduler.wake(pid); !r) return std::unexpected(std::string(error_text(r.error())));
                break;
            }
        }
    }
    return {};
}

}  // namespace tw
