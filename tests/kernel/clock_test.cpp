#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <utility>
#include <vector>

#include "kernel/clock.h"
#include "kernel/scheduler.h"

namespace tw {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kSecond = 1000000000;

std::vector<std::uint64_t> targets(const std::vector<TimelineEvent>& events) {
    std::vector<std::uint64_t> out;
    for (const auto& e : events) out.push_back(e.event.target);
    return out;
}

std::vector<std::uint64_t> targets(const std::deque<TimelineEvent>& events) {
    return targets(std::vector<TimelineEvent>(events.begin(), events.end()));
}

TEST(Clock, BootState) {
    Clock c;
    EXPECT_EQ(c.now_ns(), 0u);
    EXPECT_EQ(c.next_sequence(), 0u);
    EXPECT_EQ(c.event_limit(), 16384u);
    EXPECT_EQ(c.horizon_ns(), 3153600000000000000u);
    EXPECT_TRUE(c.wall_base_ns() == static_cast<__int128>(1735689600000000000));
    EXPECT_TRUE(c.wall_offset_ns() == 0);
    EXPECT_EQ(c.wall_time_ms(), 1735689600000u);
    ASSERT_TRUE(c.advance_to(kSecond + kSecond / 2));
    EXPECT_EQ(c.wall_time_ms(), 1735689601500u);
    ASSERT_TRUE(c.advance_to(kMax));
    EXPECT_EQ(c.wall_time_ms(), (1735689600000000000u + static_cast<unsigned __int128>(kMax)) / 1000000);
}

TEST(Clock, EventsDueTogetherFireInKeyOrder) {
    Clock c;
    const EventKey a = c.schedule_at(10, ClockEvent::timer_due(1)).value();
    const EventKey b = c.schedule_at(10, ClockEvent::timer_due(2)).value();
    const EventKey d = c.schedule_at(5, ClockEvent::timer_due(3)).value();
    ASSERT_TRUE(c.schedule_at(11, ClockEvent::timer_due(4)));
    EXPECT_EQ(a, (EventKey{10, 0}));
    EXPECT_EQ(b, (EventKey{10, 1}));
    EXPECT_EQ(d, (EventKey{5, 2}));
    EXPECT_EQ(c.next_pending(), d);

    const auto due = c.advance_to(10).value();
    EXPECT_EQ(targets(due), (std::vector<std::uint64_t>{3, 1, 2}));
    EXPECT_EQ(targets(c.ready()), (std::vector<std::uint64_t>{3, 1, 2}));
    EXPECT_EQ(due[0].time_ns, 5u);
    EXPECT_EQ(c.now_ns(), 10u);
    EXPECT_EQ(c.pending().size(), 1u);

    // Advancing to now collects what has become due at now; going back changes nothing.
    ASSERT_TRUE(c.schedule_at(10, ClockEvent::timer_due(5)));
    EXPECT_EQ(targets(c.advance_to(10).value()), std::vector<std::uint64_t>{5});
    EXPECT_EQ(c.now_ns(), 10u);
    EXPECT_EQ(error_text(c.advance_to(9).error()), "virtual monotonic clock cannot rewind from 10ns to 9ns");
    EXPECT_EQ(c.now_ns(), 10u);
    EXPECT_EQ(c.ready().size(), 4u);
    EXPECT_EQ(c.pending().size(), 1u);

    EXPECT_EQ(c.pop_ready()->event.target, 3u);
    EXPECT_EQ(c.ready().size(), 3u);
}

TEST(Clock, ScheduleRefusals) {
    Clock c;
    ASSERT_TRUE(c.advance_to(5));
    const auto rewind = c.schedule_at(3, ClockEvent::timer_due(1));
    EXPECT_EQ(rewind.error(), ClockError::rewind(5, 3));
    EXPECT_EQ(error_text(rewind.error()), "virtual monotonic clock cannot rewind from 5ns to 3ns");

    EXPECT_TRUE(c.schedule_after(Clock::kHorizonNs, ClockEvent::timer_due(1)));
    const auto far = c.schedule_after(Clock::kHorizonNs + 1, ClockEvent::timer_due(1));
    EXPECT_EQ(error_text(far.error()),
              "virtual event exceeds the configured 3153600000000000000ns scheduling horizon");

    const auto wrap = c.add_timer(1, kMax - 4);
    EXPECT_EQ(error_text(wrap.error()), "virtual time overflow");
    EXPECT_EQ(c.sleep_total_ns(), 0u);  // refused timers add nothing
    ASSERT_TRUE(c.add_timer(1, 7));
    ASSERT_TRUE(c.add_timer(1, 8));
    EXPECT_EQ(c.sleep_total_ns(), 15u);
    EXPECT_EQ(c.pending().size(), 3u);
    EXPECT_EQ(c.next_sequence(), 3u);  // refusals use no sequence number
}

TEST(Clock, EventLimitCountsPendingAndReady) {
    Clock c;
    for (int i = 0; i < 16000; ++i) ASSERT_TRUE(c.schedule_at(0, ClockEvent::timer_due(1)));
    ASSERT_TRUE(c.advance_to(0));
    for (int i = 0; i < 384; ++i) ASSERT_TRUE(c.schedule_at(1, ClockEvent::timer_due(1)));
    const auto full = c.schedule_at(1, ClockEvent::timer_due(1));
    EXPECT_EQ(error_text(full.error()), "virtual timeline event limit exceeded (16384)");
    // Rewind is checked before the limit.
    ASSERT_TRUE(c.advance_to(0));
    EXPECT_EQ(c.schedule_at(0, ClockEvent::timer_due(1)).error().kind, ClockErrorKind::EventLimit);
    ASSERT_TRUE(c.pop_ready());
    EXPECT_TRUE(c.schedule_at(1, ClockEvent::timer_due(1)));
}

TEST(Clock, CancelAndForget) {
    Clock c;
    const EventKey k1 = c.schedule_at(1, ClockEvent::timer_due(7)).value();
    ASSERT_TRUE(c.schedule_at(1, ClockEvent::timer_due(8)));
    ASSERT_TRUE(c.schedule_at(1, ClockEvent::timer_due(7)));
    ASSERT_TRUE(c.schedule_at(2, ClockEvent::timer_due(9)));
    ASSERT_TRUE(c.schedule_at(3, ClockEvent::timer_due(7)));
    const EventKey k6 = c.schedule_at(4, ClockEvent::timer_due(7)).value();
    ASSERT_TRUE(c.schedule_at(5, ClockEvent::timer_due(8)));
    ASSERT_TRUE(c.advance_to(2));

    EXPECT_FALSE(c.cancel(k1));  // already ready: untouched
    EXPECT_EQ(c.ready().size(), 4u);
    EXPECT_TRUE(c.cancel(k6));
    EXPECT_FALSE(c.cancel(k6));
    EXPECT_FALSE(c.cancel(EventKey{99, 99}));

    c.forget_target(7);
    EXPECT_EQ(targets(c.ready()), (std::vector<std::uint64_t>{8, 9}));
    ASSERT_EQ(c.pending().size(), 1u);
    EXPECT_EQ(c.pending().begin()->second.target, 8u);
    // The forgotten events stay forgotten when time moves on.
    EXPECT_EQ(targets(c.advance_to(10).value()), std::vector<std::uint64_t>{8});

    // Copies keep their own timeline.
    Clock copy = c;
    ASSERT_TRUE(copy.schedule_at(20, ClockEvent::timer_due(7)));
    copy.forget_target(8);
    EXPECT_EQ(c.ready().size(), 3u);
    EXPECT_TRUE(c.pending().empty());
}

// Adds `pid`, runs it and blocks it on `reason`.
void block(Scheduler& s, Pid pid, WaitReason reason) {
    ASSERT_TRUE(s.add_task(pid));
    ASSERT_EQ(s.dispatch().value(), pid);
    ASSERT_TRUE(s.block_running(std::move(reason)));
}

TEST(ClockDispatch, WakesOnlyTasksWaitingForExactlyThatTime) {
    Clock c;
    Scheduler s;
    block(s, 1, WaitReason::timer(100));
    block(s, 2, WaitReason::any({WaitReason::pipe_readable(3), WaitReason::child_deadline(9, 100)}));
    block(s, 3, WaitReason::timer(200));  // waits for another time: stale
    block(s, 4, WaitReason::timer(100));
    ASSERT_TRUE(s.stop_task(4));          // stopped with its reason: loses it
    block(s, 6, WaitReason::child(100));  // no time in its reason
    ASSERT_TRUE(s.add_task(5));           // not waiting at all: stale
    for (std::uint64_t t : {1, 2, 3, 4, 5, 6}) ASSERT_TRUE(c.schedule_at(100, ClockEvent::timer_due(t)));
    ASSERT_TRUE(c.schedule_at(100, ClockEvent::timer_due(77)));                  // no such task
    ASSERT_TRUE(c.schedule_at(100, ClockEvent::timer_due(kMax - (kMax >> 32) + 1)));  // beyond 32 bits

    // Woken for another reason first: the event finds it ready and does nothing.
    s.wake_blocked(WaitReason::pipe_readable(3));
    ASSERT_TRUE(c.advance_to(100));
    ASSERT_TRUE(dispatch_ready_events(c, s));
    EXPECT_TRUE(c.ready().empty());
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{5, 2, 1}));
    EXPECT_EQ(s.task_state(3), TaskState::blocked(WaitReason::timer(200)));
    EXPECT_EQ(s.task_state(4), TaskState::stopped(std::nullopt));
    EXPECT_EQ(s.task_state(6)->kind(), TaskKind::Blocked);
}

struct FakeHost {
    std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};
    std::vector<std::pair<std::uint64_t, std::uint32_t>> sleeps;

    HostClock clock() {
        return HostClock{
            [this] { return now; },
            [this](std::uint64_t sec, std::uint32_t ns) {
                sleeps.emplace_back(sec, ns);
                now += std::chrono::seconds(sec) + std::chrono::nanoseconds(ns);
            },
        };
    }
};

TEST(ClockPacing, AdvancingAheadOfHostTimeSleepsTheDifference) {
    FakeHost fake;
    const HostClock host = fake.clock();
    Clock c;
    const std::optional<PacingBaseline> pacing = PacingBaseline{0, fake.now};

    fake.now += std::chrono::seconds(1);
    ASSERT_TRUE(advance_time_to(c, pacing, 3 * kSecond + kSecond / 2, host));
    ASSERT_EQ(fake.sleeps.size(), 1u);
    EXPECT_EQ(fake.sleeps[0], (std::pair<std::uint64_t, std::uint32_t>{2, 500000000}));
    EXPECT_EQ(c.now_ns(), 3 * kSecond + kSecond / 2);

    // A target already reached by host time: no sleep; the clock catches up with the host.
    fake.now += std::chrono::seconds(2);
    ASSERT_TRUE(advance_time_to(c, pacing, 4 * kSecond, host));
    EXPECT_EQ(fake.sleeps.size(), 1u);
    EXPECT_EQ(c.now_ns(), 5 * kSecond + kSecond / 2);

    // Without a baseline time is purely virtual.
    ASSERT_TRUE(advance_time_to(c, std::nullopt, 100 * kSecond, host));
    EXPECT_EQ(fake.sleeps.size(), 1u);
    EXPECT_EQ(c.now_ns(), 100 * kSecond);
    ASSERT_TRUE(sync_real_time_clock(c, std::nullopt, host));
    EXPECT_EQ(c.now_ns(), 100 * kSecond);

    // A host clock reading before the baseline instant gives the baseline's virtual time.
    const PacingBaseline later{42, fake.now + std::chrono::seconds(5)};
    EXPECT_EQ(host_elapsed_ns(later, host), 42u);
    EXPECT_EQ(host_elapsed_ns(PacingBaseline{kMax - 1, fake.now - std::chrono::seconds(1)}, host), kMax);
}

TEST(ClockPacing, PollCollectsAndDispatchesWhatHostTimeMadeDue) {
    FakeHost fake;
    const HostClock host = fake.clock();
    Clock c;
    Scheduler s;
    const std::optional<PacingBaseline> pacing = PacingBaseline{0, fake.now};
    block(s, 1, WaitReason::timer(kSecond));
    block(s, 2, WaitReason::timer(3 * kSecond));
    ASSERT_TRUE(c.add_timer(1, kSecond));
    ASSERT_TRUE(c.add_timer(2, 3 * kSecond));

    fake.now += std::chrono::seconds(2);
    ASSERT_TRUE(poll_clock(c, s, pacing, host));
    EXPECT_EQ(c.now_ns(), 2 * kSecond);
    EXPECT_EQ(s.run_queue(), std::deque<Pid>{1});
    EXPECT_EQ(s.blocked_queue(), std::vector<Pid>{2});
    EXPECT_EQ(c.pending().size(), 1u);
    EXPECT_TRUE(c.ready().empty());
}

}  // namespace
}  // namespace tw
