// The top-level run loop driven with small programs in place of a parsed shell source: output
// collection, virtual time, children, signals, the ends of an action that cannot go on, and the
// shell being usable again afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/action.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "shell/exec.h"
#include "shell/parser.h"
#include "shell/program/program.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 26};

// Writes `out` and `err`, then finishes with `status`.
CallbackProgram writer(Bytes out, Bytes err, std::int32_t status) {
    return {[=](Machine& m) {
        (void)m.write_fd(1, out);
        (void)m.write_fd(2, err);
        return ProgramStep::finished(status);
    }};
}

// Copies standard input to standard output until its end.
CallbackProgram echo_input() {
    return {[](Machine& m) {
        auto r = m.read_fd(0, 4096);
        if (!r) return ProgramStep::finished(1);
        if (r->blocked()) return ProgramStep::blocked(*r->wait);
        if (r->data.empty()) return ProgramStep::finished(0);
        (void)m.write_fd(1, r->data);
        return ProgramStep::yield();
    }};
}

struct Ran {
    std::int32_t status;
    Bytes out;
    Bytes err;
};

Ran run(Machine& m, ProcessContinuation program, BytesView input = {}) {
    Ran r;
    r.status = m.run_until_idle(std::move(program), input, r.out, r.err);
    return r;
}

// What a shell left idle between actions looks like.
void expect_idle_shell(const Machine& m) {
    EXPECT_EQ(m.scheduler.running(), kFirstShellPid);
    EXPECT_EQ(m.states.active_pid(), kFirstShellPid);
    EXPECT_FALSE(m.states.find(kFirstShellPid)->program.has_value());
}

class Loop : public ::testing::Test {
protected:
    Machine m = Machine::build(kRoomy);
};

TEST_F(Loop, CollectsOutputAndRestoresTheShellsDescriptors) {
    const auto before = m.states.active().descriptors.fds();
    Ran r = run(m, writer("out\n", "err\n", 3));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(m.states.active().descriptors.fds(), before);
    expect_idle_shell(m);
    // The action's own descriptions are gone with it.
    EXPECT_EQ(m.open_descriptions.descriptions().size(), before.size());
}

TEST_F(Loop, StandardInputIsTheActionsInput) {
    Bytes input(10000, 'i');
    Ran r = run(m, echo_input(), input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, input);
}

TEST_F(Loop, VirtualTimeJumpsToTheNextEvent) {
    Ran r = run(m, CallbackProgram{[armed = false](Machine& m) mutable {
                    if (armed) return ProgramStep::finished(0);
                    armed = true;
                    SyscallContext sys(m);
                    auto key = sys.sleep(5'000'000'000);
                    return ProgramStep::blocked(WaitReason::timer(key->time_ns));
                }});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(m.clock.now_ns(), 5'000'000'000u);
}

TEST(RealTimeLoop, WaitsForTheNextEventInsteadOfGivingUp) {
    Machine m = Machine::create(kRoomy, true);
    Ran r = run(m, CallbackProgram{[armed = false](Machine& m) mutable {
                    if (armed) return ProgramStep::finished(0);
                    armed = true;
                    SyscallContext sys(m);
                    auto key = sys.sleep(2'000'000);
                    return ProgramStep::blocked(WaitReason::timer(key->time_ns));
                }});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_GE(m.clock.now_ns(), 2'000'000u);

    Ran stuck = run(m, CallbackProgram{[](Machine&) { return ProgramStep::blocked(WaitReason::pipe_readable(7)); }});
    EXPECT_EQ(stuck.status, 125);
    EXPECT_EQ(stuck.err, "tarnwick: all processes are blocked without an event\n");
}

TEST_F(Loop, ChildrenRunWhileTheRootWaits) {
    // The root starts a child that yields a while, waits for it and finishes with its status.
    Ran r = run(m, CallbackProgram{[child = Pid(0)](Machine& m) mutable {
                    if (child == 0) {
                        child = *m.create_child_process("child", true, false, false, GroupMode::Inherit);
                        (void)m.states.set_program(child, CallbackProgram{[n = 3](Machine& m) mutable {
                                                       (void)m.write_fd(1, "c");
                                                       return n-- > 0 ? ProgramStep::yield() : ProgramStep::finished(7);
                                                   }});
                        return ProgramStep::blocked(WaitReason::child(child));
                    }
                    const ProcessRecord* record = m.processes.find(child);
                    if (record->status != ProcessStatus::Exited) return ProgramStep::blocked(WaitReason::child(child));
                    return ProgramStep::finished(record->exit_code);
                }});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "cccc");
    expect_idle_shell(m);
}

TEST_F(Loop, ResumablePipelineEndToEnd) {
    // yes | head -n 3, both children of the root, which waits for head.
    Ran r = run(m, CallbackProgram{[head = Pid(0)](Machine& m) mutable {
                    if (head == 0) {
                        auto [rd, wr] = *m.open_descriptions.create_pipe();
                        const Pid yes = *m.create_child_process("yes", true, false, false, GroupMode::Inherit);
                        (void)m.install_descriptor(yes, 1, wr);
                        (void)m.states.set_program(yes, resumable_process_program(*launch_program(ProgramKind::Yes, {})));
                        head = *m.create_child_process("head", true, false, false, GroupMode::Inherit);
                        (void)m.install_descriptor(head, 0, rd);
                        const std::vector<std::string> args{"-n", "3"};
                        (void)m.states.set_program(head,
                                                   resumable_process_program(*launch_program(ProgramKind::Head, args)));
                    }
                    const ProcessRecord* record = m.processes.find(head);
                    if (record->status != ProcessStatus::Exited) return ProgramStep::blocked(WaitReason::child(head));
                    return ProgramStep::finished(record->exit_code);
                }});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "y\ny\ny\n");
}

TEST_F(Loop, NoPossibleProgressEndsWith125AndTheShellWorksAgain) {
    // The root waits for a pipe that nobody will ever write.
    Ran stuck = run(m, CallbackProgram{[](Machine& m) {
                        (void)m.write_fd(1, "partial\n");
                        return ProgramStep::blocked(WaitReason::pipe_readable(999));
                    }});
    EXPECT_EQ(stuck.status, 125);
    EXPECT_EQ(stuck.out, "partial\n");
    EXPECT_EQ(stuck.err, "tarnwick: all processes are blocked without an event\n");
    expect_idle_shell(m);

    Ran next = run(m, writer("again\n", "", 0));
    EXPECT_EQ(next.status, 0);
    EXPECT_EQ(next.out, "again\n");
}

TEST_F(Loop, StepFailureIsReportedAndTheShellWorksAgain) {
    // A child without a program cannot be stepped.
    Ran failed = run(m, CallbackProgram{[started = false](Machine& m) mutable {
                         if (!started) {
                             started = true;
                             const Pid child = *m.create_child_process("empty", true, false, false, GroupMode::Inherit);
                             return ProgramStep::blocked(WaitReason::child(child));
                         }
                         return ProgramStep::finished(0);
                     }});
    EXPECT_EQ(failed.status, 125);
    EXPECT_EQ(failed.err, "tarnwick: scheduler: active process 1235 has no program\n");
    expect_idle_shell(m);

    Ran next = run(m, writer("ok\n", "", 4));
    EXPECT_EQ(next.status, 4);
    EXPECT_EQ(next.out, "ok\n");
}

TEST_F(Loop, StoppedRootIsContinuedForTheNextAction) {
    Ran stopped = run(m, CallbackProgram{[](Machine& m) {
                          (void)m.send_signal(kFirstShellPid, Signal::STOP);
                          return ProgramStep::yield();
                      }});
    EXPECT_EQ(stopped.status, 125);
    EXPECT_EQ(stopped.err, "tarnwick: all processes are blocked without an event\n");
    expect_idle_shell(m);
    EXPECT_EQ(m.processes.find(kFirstShellPid)->status, ProcessStatus::Running);
    EXPECT_EQ(run(m, writer("", "", 0)).status, 0);
}

TEST_F(Loop, KilledRootEndsTheActionAndTerminatesTheMachine) {
    Ran killed = run(m, CallbackProgram{[](Machine& m) {
                         (void)m.send_signal(kFirstShellPid, Signal::KILL);
                         return ProgramStep::yield();
                     }});
    EXPECT_EQ(killed.status, 137);
    EXPECT_EQ(m.terminated_status(), std::make_pair(true, 137));
}

TEST_F(Loop, ReadyBackgroundTasksRunBeforeTheAction) {
    std::vector<std::string> order;
    auto record = [&order](std::string name, ProgramStep step) {
        return CallbackProgram{[&order, name, step](Machine&) {
            order.push_back(name);
            return step;
        }};
    };
    const Pid job = *m.create_child_process("job", true, false, false, GroupMode::Inherit);
    ASSERT_TRUE(m.states.set_program(job, record("job", ProgramStep::finished(0))).has_value());
    EXPECT_EQ(run(m, record("action", ProgramStep::finished(0))).status, 0);
    EXPECT_EQ(order, (std::vector<std::string>{"job", "action"}));
}

TEST_F(Loop, ReplacingAnInstalledProgramIsRefused) {
    ASSERT_TRUE(m.states.set_program(kFirstShellPid, writer("", "", 0)).has_value());
    Ran r = run(m, writer("never\n", "", 0));
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\ntarnwick: unable to start shell continuation (status 125)\n");
}

TEST_F(Loop, SchedulerStepReportsIdleWithoutAdvancing) {
    const Pid sleeper = *m.create_child_process("sleeper", true, false, false, GroupMode::Inherit);
    ASSERT_TRUE(m.states.set_program(sleeper, CallbackProgram{[armed = false](Machine& m) mutable {
                                         if (armed) return ProgramStep::finished(0);
                                         armed = true;
                                         SyscallContext sys(m);
                                         return ProgramStep::blocked(WaitReason::timer(sys.sleep(1000)->time_ns));
                                     }})
                    .has_value());
    ASSERT_TRUE(m.scheduler.block_running(WaitReason::shell_session(kFirstShellPid)).has_value());
    auto step = m.scheduler_step(kFirstShellPid, false);  // the sleeper blocks
    ASSERT_TRUE(step.has_value());
    EXPECT_EQ(*step, StepReport::idle());
    step = m.scheduler_step(kFirstShellPid, false);
    ASSERT_TRUE(step.has_value());
    EXPECT_EQ(*step, StepReport::idle());
    EXPECT_EQ(m.clock.now_ns(), 0u);
    step = m.scheduler_step(kFirstShellPid, true);  // time moves; the sleeper finishes
    ASSERT_TRUE(step.has_value());
    EXPECT_EQ(*step, StepReport::progress());
    EXPECT_EQ(m.clock.now_ns(), 1000u);
}

// ---- run_action before the program runs ----

TEST_F(Loop, SyntaxErrorIsReportedAndSetsStatus) {
    const std::uint64_t cpu = m.meter.cpu_used();
    ActionResult r = m.run_action("echo (", "");
    EXPECT_EQ(r.outcome.exit_status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tarnwick: syntax error: unexpected end of file (expected `)`)\n");
    EXPECT_EQ(m.states.active().last_status, 2);
    EXPECT_EQ(m.meter.cpu_used() - cpu, 6u);  // the source's length
    EXPECT_EQ(m.meter.memory_current(), 0u);  // the parse's memory is given back
    expect_idle_shell(m);
}

TEST(RunAction, SourceLongerThanTheCpuBudgetIsRefused) {
    Machine m = Machine::build(MachineLimits{.cpu = 5, .memory = 1 << 20, .disk = 1 << 20, .output = 100});
    ActionResult r = m.run_action("echo hello", "");
    EXPECT_EQ(r.outcome.exit_status, 137);
    EXPECT_EQ(r.outcome.stop_reason, StopReason::cpu_exhausted);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    // Terminated: nothing more is charged or run.
    const std::uint64_t memory_peak = m.meter.memory_peak();
    ActionResult again = m.run_action("echo again", "");
    EXPECT_EQ(again.outcome.exit_status, 137);
    EXPECT_EQ(again.outcome.usage.memory_peak, memory_peak);
    EXPECT_EQ(again.err, "");
}

// ---- whole shell actions ----

TEST_F(Loop, ASignalTheShellSendsItselfLastActsInThatAction) {
    ActionResult killed = m.run_action("kill $$", "");
    EXPECT_EQ(killed.outcome.exit_status, 143);
    EXPECT_EQ(m.terminated_status(), std::make_pair(true, 143));

    Machine trapped = Machine::build(kRoomy);
    ActionResult r = trapped.run_action("trap 'echo caught' TERM; kill $$", "");
    EXPECT_EQ(r.outcome.exit_status, 0);
    EXPECT_EQ(r.out, "caught\n");
    EXPECT_TRUE(trapped.states.active().pending_signals.empty());
    ActionResult next = trapped.run_action("echo ok", "");
    EXPECT_EQ(next.outcome.exit_status, 0);
    EXPECT_EQ(next.out, "ok\n");
}

TEST(RunAction, ATrapThatRaisesItsOwnSignalLoopsOnlyInItsAction) {
    Machine m = Machine::build(MachineLimits{.cpu = 200'000, .memory = 1 << 24, .disk = 1 << 20, .output = 1 << 20});
    ActionResult r = m.run_action("trap 'kill -TERM $$' TERM; kill -TERM $$", "");
    EXPECT_EQ(r.outcome.stop_reason, StopReason::cpu_exhausted);
    EXPECT_EQ(r.outcome.exit_status, 137);
}

TEST(RunAction, CapturedOutputPastItsBoundStopsTheRunAndSaysSo) {
    Machine m = Machine::build(kRoomy);
    ActionResult r = m.run_action("yes | head -c 5000000; echo after", "");
    EXPECT_EQ(r.out.size(), kMaxBufferedBytes);
    EXPECT_EQ(r.err, kOutputCutMessage);
    EXPECT_EQ(r.outcome.stop_reason, StopReason::output_limit_exceeded);

    Machine fed = Machine::build(kRoomy);
    ActionResult big = fed.run_action("cat", Bytes(kMaxBufferedBytes + 1, 'x'));
    EXPECT_EQ(big.outcome.exit_status, 125);
    EXPECT_NE(big.err.find("tarnwick: action stdin exceeds 4 MiB\n"), std::string::npos);
}

TEST(RunAction, ShellMessagesPayForTheirBytes) {
    Machine m = Machine::build(MachineLimits{.cpu = 1'000'000, .memory = 1 << 24, .disk = 1 << 20, .output = 30});
    ActionResult r = m.run_action("f() { f; }; f", "");
    EXPECT_EQ(r.err, "tarnwick: shell continuation f");
    EXPECT_EQ(r.outcome.stop_reason, StopReason::output_limit_exceeded);
    EXPECT_EQ(r.outcome.usage.output_bytes, 30u);
}

TEST(RunAction, FullDiskGivesWriterMessagesAndRedirectionsStillWork) {
    // The disk holds more than the memory budget: redirecting must not pay for a copy of it.
    Machine m = Machine::build(MachineLimits{.cpu = 100'000'000, .memory = 1 << 20, .disk = 4 << 20, .output = 1 << 26});
    ActionResult r = m.run_action("head -c 3000000 /dev/zero > /tmp/a; head -c 3000000 /dev/zero > /tmp/b; echo $?; "
                                  "echo x > /tmp/c; cat /tmp/c",
                                  "");
    EXPECT_EQ(r.outcome.stop_reason, std::nullopt);
    EXPECT_EQ(r.out, "1\nx\n");
    EXPECT_EQ(r.err, "head: write error: No space left on device\n");
}

TEST_F(Loop, PipelineThroughCat) {
    ActionResult r = m.run_action("echo hi | cat; echo done", "");
    EXPECT_EQ(r.outcome.exit_status, 0);
    EXPECT_EQ(r.out, "hi\ndone\n");
    EXPECT_EQ(r.err, "");
    expect_idle_shell(m);
}

TEST_F(Loop, ActionInputReachesTheCommands) {
    ActionResult r = m.run_action("head -n 2 | cat -n", "a\nb\nc\n");
    EXPECT_EQ(r.outcome.exit_status, 0);
    EXPECT_EQ(r.out, "     1\ta\n     2\tb\n");
}

TEST_F(Loop, ExitEndsTheShellForGood) {
    ActionResult r = m.run_action("echo a; exit 4; echo b", "");
    EXPECT_EQ(r.outcome.exit_status, 4);
    EXPECT_EQ(r.out, "a\n");
    EXPECT_EQ(m.terminated_status(), std::make_pair(true, 4));
    ActionResult again = m.run_action("echo again", "");
    EXPECT_EQ(again.outcome.exit_status, 4);
    EXPECT_EQ(again.out, "");
}

TEST_F(Loop, ExitInAPipelineStageLeavesTheShell) {
    ActionResult r = m.run_action("exit 3 | cat; echo $?", "");
    EXPECT_EQ(r.outcome.exit_status, 0);
    EXPECT_EQ(r.out, "0\n");
    EXPECT_EQ(m.terminated_status(), std::make_pair(false, 0));
}

TEST_F(Loop, ShellEndedByAFatalErrorTerminatesTheMachine) {
    ActionResult r = m.run_action("echo ${x:?oops}; echo after", "");
    EXPECT_EQ(r.outcome.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(m.terminated_status(), std::make_pair(true, 1));
    const std::uint64_t cpu = m.meter.cpu_used();
    ActionResult again = m.run_action("echo again", "");
    EXPECT_EQ(again.outcome.exit_status, 1);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(m.meter.cpu_used(), cpu);
}

TEST_F(Loop, AbandonedShellPipelineLeavesAWorkingShell) {
    // The pipeline waits for input that never ends: nothing can run any more.
    auto program = shell_parse("cat | cat");
    ASSERT_TRUE(program.has_value());
    auto started = m.start_action(shell_program_continuation(*program, false), "partial\n", false);
    ASSERT_TRUE(started.has_value());
    StepReport report = StepReport::progress();
    for (int i = 0; i < 1000 && report.kind == StepReport::Kind::Progress; ++i) {
        auto step = m.scheduler_step(started->root, true);
        ASSERT_TRUE(step.has_value()) << step.error();
        report = *step;
    }
    ASSERT_EQ(report, StepReport::idle());
    abandon_action(m, started->root);
    Bytes out, err;
    collect_action_output(m, started->out_capture, started->err_capture, out, err);
    restore_action_descriptors(m, std::move(started->saved));
    EXPECT_EQ(out, "partial\n");
    expect_idle_shell(m);

    ActionResult next = m.run_action("echo next | cat", "");
    EXPECT_EQ(next.outcome.exit_status, 0);
    EXPECT_EQ(next.out, "next\n");
    EXPECT_EQ(next.err, "");
}

// ---- outcome ----

TEST(Outcome, JsonIsCompactAndOrdered) {
    RunOutcome o;
    o.exit_status = -1;
    o.stop_reason = StopReason::output_limit_exceeded;
    o.limits = {1, 2, 3, 4};
    o.usage = {5, 6, 7, 8, 9, 10};
    o.command_usage = {{"a\"b\\\n\x01", 11, -12}};
    EXPECT_EQ(outcome_json(o),
              R"({"exit_status":-1,"stop_reason":"output_limit_exceeded","limits":{"cpu":1,"memory":2,"disk":3,)"
              R"("output":4},"usage":{"cpu_used":5,"memory_current":6,"memory_peak":7,"disk_current":8,)"
              R"("disk_peak":9,"output_bytes":10},"command_usage":[{"command":"a\"b\\\n\u0001","cpu":11,)"
              R"("disk_delta":-12}],"cost_model_version":2})");
    o.stop_reason.reset();
    o.command_usage.clear();
    EXPECT_NE(outcome_json(o).find(R"("stop_reason":null,)"), std::string::npos);
    EXPECT_NE(outcome_json(o).find(R"("command_usage":[],)"), std::string::npos);
}

TEST(Outcome, ExhaustedMeterReports137) {
    Machine m = Machine::build(MachineLimits{.cpu = 10, .memory = 1 << 20, .disk = 1 << 20, .output = 100});
    EXPECT_FALSE(m.meter.charge_cpu(11));
    EXPECT_EQ(m.action_outcome(0).exit_status, 137);
    EXPECT_EQ(m.action_outcome(0).stop_reason, StopReason::cpu_exhausted);
    EXPECT_EQ(m.terminated_status(), std::make_pair(true, 137));
}

}  // namespace
}  // namespace tw
