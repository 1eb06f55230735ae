// Virtual time: a monotonic nanosecond counter that only moves forward, the wall-clock base and
// offset that turn it into calendar time, and the timeline of pending and ready events keyed by
// (time, sequence). In real-time mode the clock is paced against the host's monotonic clock
// through a pacing baseline; otherwise time jumps straight from event to event.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/result.h"

namespace tw {

class Scheduler;

enum class ClockEventKind : std::uint8_t { TimerDue = 0 };

// A timeline event. Every kind names a target process.
struct ClockEvent {
    ClockEventKind kind = ClockEventKind::TimerDue;
    std::uint64_t target = 0;  // process number

    static ClockEvent timer_due(std::uint64_t target) { return {ClockEventKind::TimerDue, target}; }

    friend bool operator==(const ClockEvent&, const ClockEvent&) = default;
};

// Events order by time, then by the sequence number they were scheduled with.
struct EventKey {
    std::uint64_t time_ns = 0;
    std::uint64_t sequence = 0;

    friend auto operator<=>(const EventKey&, const EventKey&) = default;
};

struct TimelineEvent {
    ClockEvent event;
    std::uint64_t time_ns = 0;
    std::uint64_t sequence = 0;

    EventKey key() const { return {time_ns, sequence}; }
    friend bool operator==(const TimelineEvent&, const TimelineEvent&) = default;
};

enum class ClockErrorKind : std::uint8_t { Overflow = 0, Rewind = 1, EventLimit = 2, Horizon = 3 };

struct ClockError {
    ClockErrorKind kind = ClockErrorKind::Overflow;
    std::uint64_t from_ns = 0;     // Rewind
    std::uint64_t to_ns = 0;       // Rewind
    std::uint64_t limit = 0;       // EventLimit
    std::uint64_t horizon_ns = 0;  // Horizon

    static ClockError overflow() { return {}; }
    static ClockError rewind(std::uint64_t from, std::uint64_t to) {
        return {ClockErrorKind::Rewind, from, to, 0, 0};
    }
    static ClockError event_limit(std::uint64_t limit) { return {ClockErrorKind::EventLimit, 0, 0, limit, 0}; }
    static ClockError horizon(std::uint64_t horizon) { return {ClockErrorKind::Horizon, 0, 0, 0, horizon}; }

    friend bool operator==(const ClockError&, const ClockError&) = default;
};

// "virtual time overflow", "virtual monotonic clock cannot rewind from {}ns to {}ns",
// "virtual timeline event limit exceeded ({})",
// "virtual event exceeds the configured {}ns scheduling horizon".
std::string error_text(const ClockError& error);

class Clock {
public:
    static constexpr __int128 kBootWallNs = 1735689600000000000;  // 2025-01-01T00:00:00Z
    static constexpr std::uint64_t kEventLimit = 16384;
    static constexpr std::uint64_t kHorizonNs = 3153600000000000000;  // 100 years of 365 days

    // The boot clock: monotonic time 0 at the boot wall time, an empty timeline.
    Clock() = default;

    // Schedules `event` at time t; the answer is its key. Refused, in this order: t before now
    // (Rewind), the timeline full (EventLimit), t beyond the horizon (Horizon), sequence numbers
    // used up (Overflow).
    Result<EventKey, ClockError> schedule_at(std::uint64_t t, ClockEvent event);
    // At now + delay; Overflow when that passes 64 bits.
    Result<EventKey, ClockError> schedule_after(std::uint64_t delay_ns, ClockEvent event);
    // A TimerDue for `target` after `delay_ns`; adds the delay to sleep_total_ns.
    Result<EventKey, ClockError> add_timer(std::uint64_t target, std::uint64_t delay_ns);

    // Moves now to t (t == now is allowed) and moves every pending event due by then to the ready
    // list, in key order; they are also returned. Rewind when t is before now (nothing changes).
    Result<std::vector<TimelineEvent>, ClockError> advance_to(std::uint64_t t);

    // Milliseconds since the Unix epoch (floor); 0 when out of range.
    std::uint64_t wall_time_ms() const;

    // Removes a pending event by its key; answers whether there was one. Ready events stay.
    bool cancel(EventKey key);
    // Removes every pending and ready event whose target is `target`; the rest keep their order.
    void forget_target(std::uint64_t target);

    // Takes the front of the ready list.
    std::optional<TimelineEvent> pop_ready();

    // The key of the earliest pending event.
    std::optional<EventKey> next_pending() const;

    std::uint64_t now_ns() const { return now_ns_; }
    __int128 wall_base_ns() const { return wall_base_ns_; }
    __int128 wall_offset_ns() const { return wall_offset_ns_; }
    std::uint64_t event_limit() const { return event_limit_; }
    std::uint64_t horizon_ns() const { return horizon_ns_; }
    std::uint64_t next_sequence() const { return next_sequence_; }
    std::uint64_t sleep_total_ns() const { return sleep_total_ns_; }
    const std::map<EventKey, ClockEvent>& pending() const { return pending_; }
    const std::deque<TimelineEvent>& ready() const { return ready_; }

private:
    void index_erase(const EventKey& key, const ClockEvent& event);

    std::deque<TimelineEvent> ready_;
    __int128 wall_base_ns_ = kBootWallNs;
    __int128 wall_offset_ns_ = 0;
    std::uint64_t event_limit_ = kEventLimit;
    std::uint64_t horizon_ns_ = kHorizonNs;
    std::uint64_t now_ns_ = 0;
    std::uint64_t next_sequence_ = 0;
    std::map<EventKey, ClockEvent> pending_;
    std::uint64_t sleep_total_ns_ = 0;
    // (target, time, sequence) of every pending event, so a finishing process's events are found
    // without scanning the whole timeline.
    std::set<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> pending_by_target_;
};

// ---- Real-time pacing ----

// The virtual time at which pacing started and the host's monotonic instant at that moment.
struct PacingBaseline {
    std::uint64_t virtual_ns = 0;
    std::chrono::steady_clock::time_point host;
};

// The host's monotonic clock and thread sleep; replaceable so pacing can be exercised without
// waiting.
struct HostClock {
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<void(std::uint64_t seconds, std::uint32_t nanoseconds)> sleep;

    // std::chrono::steady_clock and std::this_thread::sleep_for.
    static const HostClock& system();
};

// The baseline's virtual time plus the host time elapsed since its instant (saturating); the
// baseline's virtual time when the host clock reads earlier than the instant.
std::uint64_t host_elapsed_ns(const PacingBaseline& baseline, const HostClock& host = HostClock::system());

// With a baseline, advances the clock to the host-paced time when that is later than now.
Result<void, std::string> sync_real_time_clock(Clock& clock, const std::optional<PacingBaseline>& pacing,
                                               const HostClock& host = HostClock::system());

// With a baseline, first sleeps the host thread until t is due by the pacing and syncs; then
// advances the clock to t when t is later than now. Due events stay in the ready list.
Result<void, std::string> advance_time_to(Clock& clock, const std::optional<PacingBaseline>& pacing,
                                          std::uint64_t t, const HostClock& host = HostClock::system());

// Syncs with the host, collects the events due now and dispatches the ready events.
Result<void, std::string> poll_clock(Clock& clock, Scheduler& scheduler,
                                     const std::optional<PacingBaseline>& pacing,
                                     const HostClock& host = HostClock::system());

// Dispatches the ready events front to back. A TimerDue wakes its target when the target is
// blocked (or stopped) on a reason due at exactly the event's time; otherwise the event is stale
// and does nothing. A failing wake stops the loop with the error's text; the failing event is
// consumed and the later ones stay ready.
Result<void, std::string> dispatch_ready_events(Clock& clock, Scheduler& scheduler);

}  // namespace tw
