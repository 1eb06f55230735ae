// Test support for the executor: a machine whose default shell writes into two captures, and a
// driver loop that steps the machine as the host's loop does until the shell has no frames left.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "kernel/machine.h"
#include "shell/continuation.h"
#include "shell/exec.h"
#include "shell/parser.h"
#include "shell/variables.h"

namespace tw::exec_test {

inline constexpr MachineLimits kLimits{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26,
                                       .output = 1 << 20};

struct RunResult {
    std::int32_t status = 0;
    std::string out;
    std::string err;
    std::string failure;  // the driver's own failure, empty when the run ended normally
};

// A shell program that, instead of finishing its process, notes the status and stays alive, so
// that tests can look at the shell's state afterwards.
struct HeldOutcome {
    bool done = false;
    std::int32_t status = 0;
};

class HeldShell final : public ProgramImpl {
public:
    HeldShell(ShellContinuation c, std::shared_ptr<HeldOutcome> outcome)
        : shell_(std::move(c)), outcome_(std::move(outcome)) {}
    ProgramStep step(Machine& machine) override {
        if (outcome_->done) return ProgramStep::yield();
        ProgramStep s = shell_.step(machine);
        if (s.kind != ProgramStep::Kind::Finished) return s;
        outcome_->done = true;
        outcome_->status = s.status;
        return ProgramStep::yield();
    }
    std::unique_ptr<ProgramImpl> clone() const override { return std::make_unique<HeldShell>(*this); }
    Result<void, std::string> run_signal_handler(Machine& machine, const Trap& trap) override {
        return shell_.run_signal_handler(machine, trap);
    }

private:
    ShellProgram shell_;
    std::shared_ptr<HeldOutcome> outcome_;
};

class ExecFixture : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);
    std::uint32_t out_capture = 0;
    std::uint32_t err_capture = 0;

    void SetUp() override { reset_streams(); }

    ProcessState& shell() { return *m.states.find_mut(kFirstShellPid); }

    // Fresh captures on descriptors 1 and 2 of the default shell, /tmp as its directory.
    void reset_streams() {
        (void)m.states.select(kFirstShellPid);
        out_capture = *m.open_descriptions.insert_capture();
        err_capture = *m.open_descriptions.insert_capture();
        // The fixture's own hold: the captures outlive a shell that closes or replaces them.
        EXPECT_TRUE(m.open_descriptions.add_ref(out_capture).has_value());
        EXPECT_TRUE(m.open_descriptions.add_ref(err_capture).has_value());
        EXPECT_TRUE(m.install_active_descriptor(1, out_capture).has_value());
        EXPECT_TRUE(m.install_active_descriptor(2, err_capture).has_value());
        shell().cwd = "/tmp";
        set_variable(shell(), "PWD", "/tmp");
    }

    // Standard input of the default shell: a closed buffer holding `bytes`.
    void set_stdin(std::string bytes) {
        (void)m.states.select(kFirstShellPid);
        const std::uint32_t in = *m.open_descriptions.insert_buffer(std::move(bytes));
        EXPECT_TRUE(m.install_active_descriptor(0, in).has_value());
    }

    std::string var(std::string_view name) {
        auto v = lookup_parameter(shell(), name);
        return v ? *v : std::string("<unset>");
    }

    std::shared_ptr<HeldOutcome> outcome_;

    // Installs `source` as the default shell's program; false when it does not parse.
    bool start(std::string_view source, std::string* failure = nullptr) {
        auto parsed = shell_parse(source);
        if (!parsed) {
            if (failure) *failure = "parse: " + error_text(parsed.error());
            return false;
        }
        (void)m.states.select(kFirstShellPid);
        outcome_ = std::make_shared<HeldOutcome>();
        EXPECT_TRUE(m.states
                        .set_program(kFirstShellPid, ExtensionProgram(std::make_unique<HeldShell>(
                                                         ExecFrame::program_stack(*parsed), outcome_)))
                        .has_value());
        return true;
    }

    // Steps the machine until the default shell's program is done, nothing can run, or the step
    // limit is reached; then collects the captures.
    RunResult drive(int step_limit = 5'000'000) {
        RunResult result;
        for (int i = 0; i < step_limit; ++i) {
            if (outcome_->done) {
                result.status = outcome_->status;
                break;
            }
            std::optional<Pid> p = m.scheduler.running();
            if (!p) {
                auto dispatched = m.scheduler.dispatch();
                if (!dispatched || !*dispatched) {
                    const std::optional<EventKey> next = m.clock.next_pending();
                    if (!next) {
                        result.failure = "no process can run";
                        break;
                    }
                    (void)m.advance_time_to(next->time_ns);
                    (void)m.dispatch_ready_events();
                    continue;
                }
                p = *dispatched;
            }
            if (auto r = m.drive_process_step(*p, StepDriver::Host); !r) {
                result.failure = r.error();
                break;
            }
        }
        (void)m.states.select(kFirstShellPid);
        result.out = m.open_descriptions.take_captured_output(out_capture).value_or("<no capture>");
        result.err = m.open_descriptions.take_captured_output(err_capture).value_or("<no capture>");
        return result;
    }

    // Runs `source` in the default shell until its program is done (the shell stays alive).
    RunResult run(std::string_view source, int step_limit = 5'000'000) {
        RunResult result;
        if (!start(source, &result.failure)) return result;
        return drive(step_limit);
    }
};

}  // namespace tw::exec_test
