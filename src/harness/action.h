// Actions and the top-level run loop. An action is one program (normally a parsed shell source)
// run by one shell process with its own standard input and captured standard output and error.
// The loop steps the whole machine, one process step at a time, until the action's process is
// done, nothing can run any more, or a step fails.
//
// The Machine members (scheduler_step, select_next_task, dispatch_due_events, start_action,
// run_until_idle, run_action, terminated_status, action_outcome) are declared in kernel/machine.h
// and defined here; this header gives their types and the free helpers around them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/descriptors.h"
#include "kernel/meter.h"
#include "kernel/scheduler.h"

namespace tw {

struct Machine;
struct ShellCommand;

// What one step of the whole machine did.
struct StepReport {
    enum class Kind : std::uint8_t {
        Progress,      // something ran; step again
        Idle,          // nothing can run now
        RootFinished,  // the action's process is done with `status`
    };
    Kind kind = Kind::Progress;
    std::int32_t status = 0;  // RootFinished

    static StepReport progress() { return {Kind::Progress, 0}; }
    static StepReport idle() { return {Kind::Idle, 0}; }
    static StepReport root_finished(std::int32_t status) { return {Kind::RootFinished, status}; }
    friend bool operator==(const StepReport&, const StepReport&) = default;
};

// What installing an action left to undo: the process's previous descriptor table, and the
// descriptions of the action's standard streams.
struct StartedAction {
    DescriptorTable saved;
    Pid root = 0;
    std::uint32_t input = 0;
    std::uint32_t out_capture = 0;
    std::uint32_t err_capture = 0;
    bool buffered = true;  // the input is complete; otherwise the host may extend and close it
};

// The machine's usage at the end of a run.
struct Usage {
    std::uint64_t cpu_used = 0;
    std::uint64_t memory_current = 0;
    std::uint64_t memory_peak = 0;
    std::uint64_t disk_current = 0;
    std::uint64_t disk_peak = 0;
    std::uint64_t output_bytes = 0;
    friend bool operator==(const Usage&, const Usage&) = default;
};

// The outcome block of a run.
struct RunOutcome {
    std::int32_t exit_status = 0;  // 137 whenever the meter has a stop reason
    std::optional<StopReason> stop_reason;
    MachineLimits limits;
    Usage usage;
    std::vector<CommandUsage> command_usage;
    std::uint32_t cost_model_version = 2;
};

struct ActionResult {
    RunOutcome outcome;
    Bytes out;
    Bytes err;
};

// The outcome block as compact JSON: {"exit_status":0,"stop_reason":null,"limits":{...},
// "usage":{...},"command_usage":[...],"cost_model_version":2}.
std::string outcome_json(const RunOutcome& outcome);
// Appends `text` as a JSON string: `"` and `\` escaped, control characters as \b \t \n \f \r or
// \u00XX, everything else as its bytes. Invalid UTF-8 is replaced by U+FFFD first.
void append_json_string(std::string& out, std::string_view text);

// The charged parse of one action's source: 2 x length + 8192 bytes of memory held while parsing
// and length units of CPU. A refusal is (137, ""); a syntax error is (2, "tarnwick: syntax error:
// ...\n") and sets $? of the active process to 2.
Result<std::shared_ptr<const ShellCommand>, std::pair<std::int32_t, std::string>> parse_action(
    Machine& machine, std::string_view source);

// What an action's error output ends with when a capture reached its 4 MiB bound (the run then
// stops with output_limit_exceeded).
inline constexpr std::string_view kOutputCutMessage = "tarnwick: output cut at 4 MiB (4194304 bytes captured)\n";
// Why an action with more than 4 MiB of standard input is refused.
inline constexpr std::string_view kActionStdinTooLarge = "action stdin exceeds 4 MiB";

// Moves the machine's own output buffers, then the unread bytes of the two captures, to out and
// err; a capture that was cut at its bound adds kOutputCutMessage to err once.
void collect_action_output(Machine& machine, std::uint32_t out_capture, std::uint32_t err_capture, Bytes& out,
                           Bytes& err);

// Puts back the descriptor table saved for an action into the active process, releasing the
// action's descriptors (and waking whoever waits on a pipe end that went away).
void restore_action_descriptors(Machine& machine, DescriptorTable saved);

// Gives back the shell-state memory charged for the active process.
void release_shell_state_memory(Machine& machine);

// Makes the action's process usable for the next action after the loop gave up on it (an error
// or nothing left to run): its program is dropped and released, and it becomes the running,
// active task again. The other processes stay as they are.
void abandon_action(Machine& machine, Pid root);

}  // namespace tw
