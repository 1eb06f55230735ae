#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>

#include "base/panic.h"
#include "kernel/scheduler.h"

namespace tw {
namespace {

using WR = WaitReason;

// Adds `pid`, runs it and blocks it on `reason` (the run queue must be empty).
void block(Scheduler& s, Pid pid, WaitReason reason) {
    ASSERT_TRUE(s.add_task(pid));
    ASSERT_EQ(s.dispatch().value(), pid);
    ASSERT_EQ(s.block_running(std::move(reason)).value(), pid);
}

TEST(Scheduler, DispatchBlockAndYieldEdges) {
    Scheduler s;
    EXPECT_EQ(s.dispatch().value(), std::nullopt);
    EXPECT_EQ(s.block_running(WR::timer(1)).error(), SchedulerError::NoRunningTask);
    EXPECT_EQ(s.yield_running().error(), SchedulerError::NoRunningTask);
    EXPECT_EQ(s.finish_running(0).error(), SchedulerError::NoRunningTask);
    EXPECT_TRUE(s.blocked_queue().empty());

    ASSERT_TRUE(s.add_task(1));
    ASSERT_TRUE(s.add_task(2));
    EXPECT_EQ(s.add_task(2).error(), SchedulerError::DuplicateTask);
    EXPECT_EQ(s.dispatch().value(), 1u);
    EXPECT_EQ(s.dispatch().error(), SchedulerError::TaskAlreadyRunning);
    EXPECT_EQ(s.run_queue(), std::deque<Pid>{2});
    EXPECT_EQ(s.yield_running().value(), 1u);
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{2, 1}));
    EXPECT_EQ(s.dispatch().value(), 2u);
    EXPECT_EQ(s.finish_running(3).value(), 2u);
    EXPECT_EQ(s.task_state(2), TaskState::exited(3));
    EXPECT_EQ(s.running(), std::nullopt);

    s.remove_task(1);  // Ready: kept
    s.remove_task(2);  // Exited: forgotten
    EXPECT_TRUE(s.task_state(1).has_value());
    EXPECT_FALSE(s.task_state(2).has_value());

    Scheduler boot = Scheduler::with_running(1234);
    EXPECT_EQ(boot.running(), 1234u);
    EXPECT_EQ(boot.tasks(), (std::map<Pid, TaskState>{{1234, TaskState::running()}}));
    EXPECT_TRUE(boot.run_queue().empty());
}

TEST(Scheduler, RefusesThe1025thTask) {
    Scheduler s;
    for (Pid p = 1; p <= Scheduler::kMaxTasks; ++p) ASSERT_TRUE(s.add_task(p));
    EXPECT_EQ(s.add_task(5000).error(), SchedulerError::Capacity);
    EXPECT_EQ(s.add_task(1).error(), SchedulerError::DuplicateTask);  // checked first
    EXPECT_EQ(s.tasks().size(), 1024u);
}

TEST(Scheduler, WakeByState) {
    Scheduler s;
    EXPECT_EQ(s.wake(9).error(), SchedulerError::UnknownTask);

    block(s, 10, WR::pipe_readable(1));  // Blocked
    block(s, 11, WR::pipe_readable(1));  // Stopped(some)
    block(s, 12, WR::pipe_readable(1));  // Exited, below
    ASSERT_TRUE(s.stop_task(11));
    ASSERT_TRUE(s.add_task(13));  // Ready
    ASSERT_TRUE(s.add_task(14));  // Running
    ASSERT_TRUE(s.wake(12));
    ASSERT_TRUE(s.stop_task(13));
    ASSERT_TRUE(s.add_task(113));  // 13 stays Stopped(none); 113 is Ready
    // Run queue now: 14, 12, 113.
    ASSERT_EQ(s.dispatch().value(), 14u);
    EXPECT_EQ(s.blocked_queue(), (std::vector<Pid>{10, 11}));

    EXPECT_TRUE(s.wake(113));  // Ready: nothing changes
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{12, 113}));
    EXPECT_EQ(s.wake(14).error(), SchedulerError::InvalidTransition);
    EXPECT_EQ(s.task_state(14), TaskState::running());

    EXPECT_TRUE(s.wake(10));
    EXPECT_EQ(s.task_state(10), TaskState::ready());
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{12, 113, 10}));

    EXPECT_TRUE(s.wake(11));
    EXPECT_EQ(s.task_state(11), TaskState::stopped(std::nullopt));
    EXPECT_TRUE(s.blocked_queue().empty());
    EXPECT_TRUE(s.wake(13));
    EXPECT_EQ(s.task_state(13), TaskState::stopped(std::nullopt));
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{12, 113, 10}));

    ASSERT_TRUE(s.finish_running(0));
    EXPECT_EQ(s.wake(14).error(), SchedulerError::InvalidTransition);
}

TEST(Scheduler, WakeByReasonMatrix) {
    const WR any = WR::any({WR::pipe_readable(3), WR::timer(1000)});
    const WR deadline = WR::child_deadline(1300, 5000);
    enum Op { ByReason, ChildWake, ActivityWake, FileLocks };
    struct Case {
        WR waiting;
        Op op;
        WR wake;  // ByReason only
        Pid pid;  // ChildWake / ActivityWake only
        bool woken;
    };
    const WR unused = WR::timer(0);
    const Case cases[] = {
        {any, ByReason, WR::pipe_readable(3), 0, true},
        {any, ByReason, WR::pipe_readable(4), 0, false},
        {any, ByReason, WR::timer(1000), 0, true},
        {any, ByReason, any, 0, true},
        {any, ByReason, WR::any({WR::pipe_readable(3)}), 0, false},
        {WR::any({WR::child(7), WR::any({WR::file_lock(9)})}), ByReason, WR::file_lock(9), 0, true},
        {WR::any({WR::any({WR::pipe_readable(3)}), WR::timer(1)}), ByReason,
         WR::any({WR::pipe_readable(3)}), 0, true},
        {WR::pipe_readable(3), ByReason, WR::pipe_writable(3), 0, false},
        {WR::child_deadline(1300, 5000), ByReason, WR::child_deadline(1300, 5001), 0, false},
        {deadline, ChildWake, unused, 1300, true},
        {deadline, ChildWake, unused, 1301, false},
        {deadline, ActivityWake, unused, 1300, false},
        {deadline, ByReason, WR::child(1300), 0, false},
        {WR::child(1300), ChildWake, unused, 1300, true},
        {WR::any({WR::timer(5), WR::child_activity_deadline(1300, 9)}), ActivityWake, unused, 1300, true},
        {WR::child_activity(1300), ActivityWake, unused, 1300, true},
        {WR::child_activity(1300), ChildWake, unused, 1300, false},
        {WR::any({WR::timer(5), WR::file_lock(0xffffffffffffffff)}), FileLocks, unused, 0, true},
        {WR::timer(5), FileLocks, unused, 0, false},
        {WR::any({}), ByReason, WR::any({}), 0, true},
        {WR::any({}), ByReason, WR::timer(0), 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(debug_text(c.waiting) + " / " + debug_text(c.wake) + " op " + std::to_string(c.op));
        Scheduler s;
        block(s, 50, c.waiting);
        switch (c.op) {
            case ByReason: s.wake_blocked(c.wake); break;
            case ChildWake: s.wake_child_waiters(c.pid); break;
            case ActivityWake: s.wake_child_activity_waiters(c.pid); break;
            case FileLocks: s.wake_file_lock_waiters(); break;
        }
        EXPECT_EQ(s.task_state(50)->kind(), c.woken ? TaskKind::Ready : TaskKind::Blocked);
        EXPECT_EQ(c.waiting.matches(c.wake), c.op == ByReason && c.woken);
    }

    EXPECT_TRUE(any.is_due_at(1000));
    EXPECT_FALSE(any.is_due_at(999));
    EXPECT_TRUE(deadline.is_due_at(5000));
    EXPECT_TRUE(WR::any({WR::any({WR::child_activity_deadline(1, 7)})}).is_due_at(7));
    EXPECT_FALSE(WR::child(5000).is_due_at(5000));
    EXPECT_TRUE(any.contains_timer());
    EXPECT_FALSE(deadline.contains_timer());
    EXPECT_TRUE(WR::any({WR::any({WR::file_lock(1)})}).contains_file_lock());
}

TEST(Scheduler, WakesFollowBlockingOrderAndIncludeStoppedWaiters) {
    Scheduler s;
    block(s, 30, WR::pipe_readable(1));
    block(s, 10, WR::any({WR::timer(4), WR::pipe_readable(1)}));
    block(s, 20, WR::pipe_writable(1));
    block(s, 40, WR::pipe_readable(1));
    ASSERT_TRUE(s.stop_task(40));
    s.wake_blocked(WR::pipe_readable(1));
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{30, 10}));
    EXPECT_EQ(s.task_state(40), TaskState::stopped(std::nullopt));
    EXPECT_EQ(s.blocked_queue(), std::vector<Pid>{20});
    // Woken tasks are no longer found by any part of their old reason.
    s.wake_blocked(WR::pipe_readable(1));
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{30, 10}));
    ASSERT_EQ(s.dispatch().value(), 30u);
    ASSERT_TRUE(s.block_running(WR::timer(4)));
    s.wake_blocked(WR::timer(4));
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{10, 30}));
}

TEST(Scheduler, StopWakeAndContinue) {
    Scheduler s;
    block(s, 5, WR::timer(100));
    ASSERT_TRUE(s.add_task(6));
    ASSERT_TRUE(s.add_task(7));

    ASSERT_TRUE(s.stop_task(5));
    EXPECT_EQ(s.task_state(5), TaskState::stopped(WR::timer(100)));
    EXPECT_EQ(s.blocked_queue(), std::vector<Pid>{5});
    ASSERT_TRUE(s.stop_task(5));  // already stopped: unchanged
    EXPECT_EQ(s.task_state(5), TaskState::stopped(WR::timer(100)));

    // Continued while still waiting: blocked again on the same reason, still wakeable by it.
    ASSERT_TRUE(s.continue_task(5));
    EXPECT_EQ(s.task_state(5), TaskState::blocked(WR::timer(100)));
    ASSERT_TRUE(s.stop_task(5));
    s.wake_blocked(WR::timer(100));
    EXPECT_EQ(s.task_state(5), TaskState::stopped(std::nullopt));
    EXPECT_TRUE(s.blocked_queue().empty());
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{6, 7}));
    ASSERT_TRUE(s.continue_task(5));
    EXPECT_EQ(s.task_state(5), TaskState::ready());
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{6, 7, 5}));

    // A ready task leaves the run queue; the running one leaves the running slot.
    ASSERT_TRUE(s.stop_task(7));
    EXPECT_EQ(s.run_queue(), (std::deque<Pid>{6, 5}));
    ASSERT_EQ(s.dispatch().value(), 6u);
    ASSERT_TRUE(s.stop_task(6));
    EXPECT_EQ(s.running(), std::nullopt);
    EXPECT_EQ(s.task_state(6), TaskState::stopped(std::nullopt));
    ASSERT_TRUE(s.continue_task(5));  // Ready: unchanged, not queued twice
    EXPECT_EQ(s.run_queue(), std::deque<Pid>{5});

    EXPECT_EQ(s.stop_task(99).error(), SchedulerError::UnknownTask);
    EXPECT_EQ(s.continue_task(99).error(), SchedulerError::UnknownTask);
    ASSERT_EQ(s.dispatch().value(), 5u);
    ASSERT_TRUE(s.finish_running(1));
    EXPECT_EQ(s.stop_task(5).error(), SchedulerError::InvalidTransition);
    EXPECT_EQ(s.continue_task(5).error(), SchedulerError::InvalidTransition);
}

TEST(Scheduler, DebugAndErrorTexts) {
    EXPECT_EQ(debug_text(WR::child_deadline(1235, 5000000000)), "ChildDeadline(1235, 5000000000)");
    EXPECT_EQ(debug_text(WR::any({WR::pipe_readable(3), WR::timer(1000)})),
              "Any([PipeReadable(3), Timer(1000)])");
    EXPECT_EQ(debug_text(WR::any({})), "Any([])");
    EXPECT_EQ(debug_text(WR::host_http(18446744073709551615u)), "HostHttp(18446744073709551615)");
    EXPECT_EQ(debug_text(TaskState::stopped(WR::shell_session(1234))), "Stopped(Some(ShellSession(1234)))");
    EXPECT_EQ(debug_text(TaskState::exited(-1)), "Exited(-1)");
    EXPECT_EQ(error_text(SchedulerError::NoRunningTask), "NoRunningTask");
    EXPECT_EQ(error_text(SchedulerError::InvalidTransition), "InvalidTransition");
    EXPECT_THROW((void)WR::timer(1).pid(), Panic);
}

template <class Pred>
bool has_leaf(const WaitReason& r, Pred pred) {
    if (r.kind() != WaitKind::Any) return pred(r);
    return std::ranges::any_of(r.reasons(), [&](const WaitReason& e) { return has_leaf(e, pred); });
}

// The indexed wakes against a direct model of the documented queue rules, under random
// operations: states and both queues must agree after every step.
struct Model {
    std::deque<Pid> run;
    std::deque<Pid> blocked;
    std::optional<Pid> running;
    std::map<Pid, TaskState> tasks;

    void wake(Pid p) {
        TaskState& st = tasks.at(p);
        if (st.kind() == TaskKind::Blocked) {
            std::erase(blocked, p);
            st = TaskState::ready();
            run.push_back(p);
        } else if (st.kind() == TaskKind::Stopped && st.reason()) {
            std::erase(blocked, p);
            st = TaskState::stopped(std::nullopt);
        }
    }
    template <class Pred>
    void wake_where(Pred pred) {
        std::vector<Pid> hit;
        for (Pid p : blocked)
            if (const WaitReason* r = tasks.at(p).waiting_reason(); r && pred(*r)) hit.push_back(p);
        for (Pid p : hit) wake(p);
    }
};

TEST(Scheduler, IndexedWakesAgreeWithQueueRules) {
    std::mt19937 rng(12345);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto leaf = [&]() -> WR {
        const std::uint64_t x = static_cast<std::uint64_t>(pick(3));
        switch (pick(6)) {
            case 0: return WR::pipe_readable(static_cast<std::uint32_t>(x));
            case 1: return WR::timer(x);
            case 2: return WR::child(static_cast<Pid>(x));
            case 3: return WR::child_deadline(static_cast<Pid>(x), x + 1);
            case 4: return WR::child_activity_deadline(static_cast<Pid>(x), x);
            default: return WR::file_lock(x);
        }
    };
    auto reason = [&]() -> WR {
        if (pick(3) != 0) return leaf();
        std::vector<WR> v;
        for (int i = pick(4); i > 0; --i) v.push_back(pick(4) == 0 ? WR::any({leaf(), leaf()}) : leaf());
        return WR::any(std::move(v));
    };

    Scheduler s;
    Model m;
    for (int step = 0; step < 20000; ++step) {
        const Pid p = static_cast<Pid>(pick(12));
        switch (pick(10)) {
            case 0:
                if (!m.tasks.contains(p)) {
                    m.tasks.emplace(p, TaskState::ready());
                    m.run.push_back(p);
                }
                (void)s.add_task(p);
                break;
            case 1:
                if (!m.running && !m.run.empty()) {
                    m.running = m.run.front();
                    m.run.pop_front();
                    m.tasks.at(*m.running) = TaskState::running();
                }
                (void)s.dispatch();
                break;
            case 2: {
                WR r = reason();
                if (m.running) {
                    m.tasks.at(*m.running) = TaskState::blocked(r);
                    m.blocked.push_back(*m.running);
                    m.running.reset();
                }
                (void)s.block_running(r);
                break;
            }
            case 3: {
                WR w = pick(5) == 0 ? reason() : leaf();
                m.wake_where([&](const WR& r) { return r.matches(w); });
                s.wake_blocked(w);
                break;
            }
            case 4:
                m.wake_where([&](const WR& r) {
                    return has_leaf(r, [&](const WR& x) {
                        return (x.kind() == WaitKind::Child || x.kind() == WaitKind::ChildDeadline) &&
                               x.pid() == p;
                    });
                });
                s.wake_child_waiters(p);
                break;
            case 5:
                m.wake_where([](const WR& r) { return r.contains_file_lock(); });
                s.wake_file_lock_waiters();
                break;
            case 6:
                if (auto it = m.tasks.find(p); it != m.tasks.end()) {
                    TaskState& st = it->second;
                    if (st.kind() == TaskKind::Ready) {
                        std::erase(m.run, p);
                        st = TaskState::stopped(std::nullopt);
                    } else if (st.kind() == TaskKind::Running) {
                        m.running.reset();
                        st = TaskState::stopped(std::nullopt);
                    } else if (st.kind() == TaskKind::Blocked) {
                        st = TaskState::stopped(st.reason());
                    }
                }
                (void)s.stop_task(p);
                break;
            case 7:
                if (auto it = m.tasks.find(p); it != m.tasks.end() && it->second.kind() == TaskKind::Stopped) {
                    if (it->second.reason()) {
                        it->second = TaskState::blocked(*it->second.reason());
                    } else {
                        it->second = TaskState::ready();
                        m.run.push_back(p);
                    }
                }
                (void)s.continue_task(p);
                break;
            case 8:
                if (m.tasks.contains(p)) m.wake(p);
                (void)s.wake(p);
                break;
            default:
                if (m.running) {
                    m.tasks.at(*m.running) = TaskState::exited(0);
                    m.tasks.erase(*m.running);  // finished and reaped at once
                    s.remove_task(*s.finish_running(0));
                    m.running.reset();
                }
                break;
        }
        ASSERT_EQ(s.tasks(), m.tasks) << "step " << step;
        ASSERT_EQ(s.run_queue(), m.run) << "step " << step;
        ASSERT_EQ(s.blocked_queue(), std::vector<Pid>(m.blocked.begin(), m.blocked.end())) << "step " << step;
        ASSERT_EQ(s.running(), m.running) << "step " << step;
    }

    // Copies carry their own index.
    Scheduler copy = s;
    copy.wake_file_lock_waiters();
    for (int i = 0; i < 3; ++i) copy.wake_blocked(WR::pipe_readable(static_cast<std::uint32_t>(i)));
    EXPECT_EQ(s.tasks(), m.tasks);
}

}  // namespace
}  // namespace tw
