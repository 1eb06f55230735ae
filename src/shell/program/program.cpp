// The framework of the resumable programs: the step entry point, output draining, charged reads,
// the launcher's table and the process-program adapter.
#include "shell/program/program.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/panic.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "shell/launch.h"

namespace tw {

void PendingBytes::append(BytesView bytes) {
    if (!pending()) {
        data.clear();
        written = 0;
    }
    data.append(bytes);
}

namespace {

// "NAME: write error: MESSAGE" on descriptor 2 of the program's process, NAME being the first
// word of its command line (a full disk says "No space left on device").
void report_write_error(SyscallContext& sys, const SyscallError& error) {
    Machine& m = sys.machine();
    std::string_view name = "tarnwick";
    if (const ProcessRecord* record = m.processes.find(sys.getpid()); record && !record->command.empty()) {
        name = record->command;
        name = name.substr(0, name.find(' '));
        if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos && slash + 1 < name.size())
            name.remove_prefix(slash + 1);
    }
    m.write_stderr_all(fmt::format("{}: write error: {}\n", name, write_failure_text(error)));
}

}  // namespace

std::optional<ProgramStep> drain_output(SyscallContext& sys, std::int32_t fd, PendingBytes& out,
                                        std::uint64_t& budget) {
    while (out.written < out.data.size()) {
        if (budget == 0) return ProgramStep::yield();
        const std::uint64_t allowance = sys.output_remaining();
        if (allowance == 0) {
            (void)sys.charge_output(1);  // records the stop reason
            return ProgramStep::finished(kExhaustedStatus);
        }
        const std::uint64_t rest = out.data.size() - out.written;
        const std::uint64_t chunk = std::min({budget, allowance, rest});
        auto written = sys.write(fd, BytesView(out.data).substr(out.written, chunk));
        if (!written) {
            const DescriptorError* e = written.error().descriptor_error();
            if (e != nullptr && *e == DescriptorError::BrokenPipe) return ProgramStep::finished(141);
            if (fd != 2) report_write_error(sys, written.error());
            return ProgramStep::finished(1);
        }
        if (written->blocked()) return ProgramStep::blocked(std::move(*written->wait));
        const std::uint64_t n = written->written;
        if (n == 0) return ProgramStep::finished(1);
        out.written += n;
        if (!sys.charge_cpu(n) || !sys.charge_output(n)) return ProgramStep::finished(kExhaustedStatus);
        budget -= std::min(budget, n);
    }
    return std::nullopt;
}

ProgramStep drain_then_finish(SyscallContext& sys, std::int32_t fd, PendingBytes& out, std::uint64_t& budget,
                              std::int32_t final_status) {
    if (auto step = drain_output(sys, fd, out, budget)) return *step;
    return ProgramStep::finished(final_status);
}

ProgramRead program_read(SyscallContext& sys, std::int32_t fd, std::uint64_t max) {
    ProgramRead result;
    auto outcome = sys.read(fd, max);
    if (!outcome) {
        result.kind = ProgramRead::Kind::Failed;
        result.error = error_text(outcome.error());
        return result;
    }
    if (outcome->blocked()) {
        result.kind = ProgramRead::Kind::Blocked;
        result.wait = std::move(outcome->wait);
        return result;
    }
    if (outcome->data.empty()) {
        result.kind = ProgramRead::Kind::End;
        return result;
    }
    if (!sys.charge_cpu(outcome->data.size())) {
        result.kind = ProgramRead::Kind::Exhausted;
        return result;
    }
    result.kind = ProgramRead::Kind::Data;
    result.data = std::move(outcome->data);
    return result;
}

ProgramContinuation error_exit_state(Bytes message, std::int32_t status) {
    return ProgramContinuation{program::ErrorExit{std::move(message), 0, status}};
}

std::optional<ProgramContinuation> launch_program(ProgramKind kind, std::span<const std::string> args) {
    switch (kind) {
        case ProgramKind::True: return ProgramContinuation{program::Exit{0}};
        case ProgramKind::False: return ProgramContinuation{program::Exit{1}};
        case ProgramKind::Pwd: return ProgramContinuation{program::Pwd{}};
        case ProgramKind::Yes: return launch_yes(args);
        case ProgramKind::Cat: return launch_cat(args);
        case ProgramKind::Tee: return launch_tee(args);
        case ProgramKind::Head: return launch_head(args);
        case ProgramKind::Find: return launch_find(args);
        case ProgramKind::Sleep: return launch_sleep(args);
        case ProgramKind::Usleep: return launch_usleep(args);
        case ProgramKind::Nohup: return launch_nohup(args);
        case ProgramKind::Timeout: return ProgramContinuation{program::Timeout{.args = {args.begin(), args.end()}}};
        case ProgramKind::Env: return ProgramContinuation{program::Env{.args = {args.begin(), args.end()}}};
        case ProgramKind::Nice: return ProgramContinuation{program::Nice{.args = {args.begin(), args.end()}}};
        case ProgramKind::Xargs: return ProgramContinuation{program::Xargs{.args = {args.begin(), args.end()}}};
        case ProgramKind::Make: return ProgramContinuation{program::Make{.args = {args.begin(), args.end()}}};
        default: return std::nullopt;
    }
}

ProgramStep Machine::program_step(ProgramContinuation& continuation, SyscallContext& sys) {
    if (!sys.charge_cpu(1)) return ProgramStep::finished(kExhaustedStatus);
    std::uint64_t budget = kProgramStepBytes;
    struct Stepper {
        SyscallContext& sys;
        std::uint64_t& budget;
        ProgramStep operator()(program::Exit& p) const { return ProgramStep::finished(p.status); }
        ProgramStep operator()(program::ErrorExit& p) const {
            PendingBytes message{std::move(p.message), p.written};
            ProgramStep step = drain_then_finish(sys, 2, message, budget, p.status);
            p.message = std::move(message.data);
            p.written = message.written;
            return step;
        }
        ProgramStep operator()(program::Pwd& p) const { return step_pwd(p, sys, budget); }
        ProgramStep operator()(program::Yes& p) const { return step_yes(p, sys, budget); }
        ProgramStep operator()(program::Cat& p) const { return step_cat(p, sys, budget); }
        ProgramStep operator()(program::Tee& p) const { return step_tee(p, sys, budget); }
        ProgramStep operator()(program::Head& p) const { return step_head(p, sys, budget); }
        ProgramStep operator()(program::Native& p) const { return step_native(p, sys, budget); }
        ProgramStep operator()(program::Find& p) const { return step_find(p, sys, budget); }
        ProgramStep operator()(program::Sleep& p) const { return step_sleep(p, sys, budget); }
        ProgramStep operator()(program::Timeout& p) const { return step_timeout(p, sys, budget); }
        ProgramStep operator()(program::Env& p) const { return step_env(p, sys, budget); }
        ProgramStep operator()(program::Nohup& p) const { return step_nohup(p, sys, budget); }
        ProgramStep operator()(program::Nice& p) const { return step_nice(p, sys, budget); }
        ProgramStep operator()(program::Xargs& p) const { return step_xargs(p, sys, budget); }
        ProgramStep operator()(program::Make& p) const { return step_make(p, sys, budget); }
    };
    return std::visit(Stepper{sys, budget}, continuation.state);
}

namespace {

// A resumable program as the program of a process.
class ResumableProgram final : public ProgramImpl {
public:
    explicit ResumableProgram(ProgramContinuation state) : state_(std::move(state)) {}

    ProgramStep step(Machine& machine) override {
        static const ArgvLauncher launcher = command_launcher();
        SyscallContext sys(machine, launcher);
        return machine.program_step(state_, sys);
    }
    std::unique_ptr<ProgramImpl> clone() const override { return std::make_unique<ResumableProgram>(state_); }
    void cancel_wait(Machine& machine) override {
        SyscallContext sys(machine);
        release_program(state_, sys);
    }

private:
    ProgramContinuation state_;
};

}  // namespace

ProcessContinuation resumable_process_program(ProgramContinuation program) {
    return ExtensionProgram(std::make_unique<ResumableProgram>(std::move(program)));
}

// ---- the builders of command launch ----

ProcessContinuation error_exit_program(std::string message, std::int32_t status) {
    return resumable_process_program(error_exit_state(std::move(message), status));
}

ProcessContinuation resumable_program(ProgramKind kind, std::vector<std::string> argv) {
    std::span<const std::string> args(argv);
    if (!args.empty()) args = args.subspan(1);
    if (std::optional<ProgramContinuation> program = launch_program(kind, args))
        return resumable_process_program(std::move(*program));
    return error_exit_program(fmt::format("{}: program is not available yet\n", program_kind_name(kind)), 126);
}

ProcessContinuation native_command_program(const NativeCommand& command, std::string name,
                                           std::vector<std::string> args) {
    return resumable_process_program(native_state(command, std::move(name), std::move(args)));
}

}  // namespace tw
