// Processes: the public process records (what ps, /proc, kill and the host see) and the
// per-process execution state, of which exactly one is active at a time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/descriptors.h"
#include "kernel/language_state.h"
#include "kernel/scheduler.h"
#include "kernel/step.h"

namespace tw {

// The positional parameters ($1 on) of a shell process. Removing elements from the front (shift)
// costs what is removed, not what stays: the slots given up are only reclaimed, in one move of
// the rest, once they outnumber the elements that stay.
class PositionalParams {
public:
    using const_iterator = std::vector<std::string>::const_iterator;

    PositionalParams() = default;
    PositionalParams& operator=(std::vector<std::string> items) {
        items_ = std::move(items);
        first_ = 0;
        return *this;
    }

    std::size_t size() const { return items_.size() - first_; }
    bool empty() const { return size() == 0; }
    const std::string& operator[](std::size_t i) const { return items_[first_ + i]; }
    const_iterator begin() const { return items_.begin() + static_cast<std::ptrdiff_t>(first_); }
    const_iterator end() const { return items_.end(); }
    std::span<const std::string> view() const { return std::span<const std::string>(items_).subspan(first_); }
    std::vector<std::string> to_vector() const { return std::vector<std::string>(begin(), end()); }
    // The elements, moved out; the list is empty afterwards.
    std::vector<std::string> take() {
        if (first_ != 0) items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(first_));
        first_ = 0;
        return std::exchange(items_, {});
    }
    void clear() {
        items_.clear();
        first_ = 0;
    }
    // Removes the first n elements (n <= size()).
    void drop_front(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) std::string().swap(items_[first_ + i]);
        first_ += n;
        if (first_ == items_.size()) {
            clear();
        } else if (first_ > size()) {
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(first_));
            first_ = 0;
        }
    }

    friend bool operator==(const PositionalParams& a, const std::vector<std::string>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    std::vector<std::string> items_;
    std::size_t first_ = 0;  // elements before this index were removed
};

// The signals the machine knows; stored as their index, ordered as their numbers.
enum class Signal : std::uint8_t { HUP, INT, KILL, USR1, USR2, PIPE, TERM, CHLD, CONT, STOP, XFSZ };
inline constexpr std::size_t kSignalCount = 11;

std::string_view signal_name(Signal s);   // "HUP", without the SIG prefix
int signal_number(Signal s);               // 1, 2, 9, ...
// A name or a number, in any letter case, with or without one "SIG" prefix ("term", "SIGTERM",
// "15"); nothing is trimmed and numbers have no sign or leading zeros.
std::optional<Signal> signal_parse(std::string_view text);

enum class ProcessStatus : std::uint8_t { Running = 0, Stopped = 1, Exited = 2 };

struct ProcessRecord {
    std::string command;
    std::string cwd;
    ProcessStatus status = ProcessStatus::Running;
    Signal stop_signal = Signal::STOP;
    std::int32_t exit_code = 0;
    std::map<std::string, std::string> environment;
    std::map<std::int32_t, std::string> open_fds;
    Pid pid = 0;
    Pid ppid = 0;
    std::uint32_t uid = 0;
    Pid pgid = 0;
    Pid sid = 0;
    std::optional<Signal> term_signal;
    // Nobody will wait for this process (its shell disowned it): its record goes when it exits.
    bool reap_on_exit = false;
};

inline constexpr std::size_t kMaxProcessRecords = 1024;

class ProcessTable {
public:
    explicit ProcessTable(Pid next_pid = 1235) : next_pid_(next_pid) {}

    const std::map<Pid, ProcessRecord>& records() const { return records_; }
    const ProcessRecord* find(Pid pid) const;
    ProcessRecord* find_mut(Pid pid);
    Pid next_pid() const { return next_pid_; }
    void set_next_pid(Pid pid) { next_pid_ = pid; }
    // Inserts or replaces the record under its own pid.
    void insert(ProcessRecord record);

    void set_term_signal(Pid pid, Signal signal);
    void mark_exited(Pid pid, std::int32_t status, std::string cwd);
    void update_context(Pid pid, std::string cwd, std::map<std::string, std::string> environment);
    void set_open_fds(Pid pid, std::map<std::int32_t, std::string> listing);
    std::optional<ProcessRecord> reap(Pid pid);
    std::vector<Pid> group_members(Pid group) const;
    std::vector<Pid> running_group_members(Pid group) const;

private:
    std::map<Pid, ProcessRecord> records_;
    Pid next_pid_;
};

// A trap: ignore the signal, or run a command. A command trap keeps its text as written and,
// once the shell has parsed it, the parsed action with its modeled size (measured by whoever
// parses it: the kernel cannot look into parsed code).
struct Trap {
    enum class Kind : std::uint8_t { Ignore, Command };
    Kind kind = Kind::Ignore;
    std::string text;          // the action as written (empty for Ignore)
    ParsedCodePtr action;      // the parsed action; null when not parsed
    std::uint64_t action_size = 0;

    static Trap ignore() { return {Kind::Ignore, {}, nullptr, 0}; }
    // A command trap known by its text only.
    static Trap command(std::string text) { return {Kind::Command, std::move(text), nullptr, 0}; }
    static Trap parsed(std::string text, ParsedCodePtr action, std::uint64_t action_size) {
        return {Kind::Command, std::move(text), std::move(action), action_size};
    }
    bool is_ignore() const { return kind == Kind::Ignore; }
    // What the trap counts towards the fork size: 16 for ignore, else text + command + 24.
    std::uint64_t fork_size() const;

    // Equal kinds and texts: the parsed command follows from the text.
    friend bool operator==(const Trap& a, const Trap& b) { return a.kind == b.kind && a.text == b.text; }
};

// What delivering the pending signals of the active process asks of the step driver.
struct SignalDelivery {
    enum class Kind : std::uint8_t {
        Terminate,  // end the process with 128 + the signal's number
        Stop,       // stop the process
        RunTrap,    // run the trap's handler before the next step
    };
    Kind kind = Kind::Terminate;
    Signal signal = Signal::TERM;
    Trap trap;  // RunTrap: a copy of the trap

    friend bool operator==(const SignalDelivery&, const SignalDelivery&) = default;
};

// One background job of a shell.
struct JobEntry {
    enum State : std::uint8_t { Running = 0, Stopped = 1, Done = 2 };
    std::string command;
    std::uint8_t state = Running;
    Signal stop_signal = Signal::STOP;  // while Stopped
    std::uint32_t exit_status = 0;      // once Done
    std::uint32_t job_id = 0;
    Pid pid = 0;  // the job's process, also its process group
};

// An indexed or associative shell array.
struct ShellArray {
    // What an element of an indexed array takes besides its value: a tree node with the index
    // and the string.
    static constexpr std::uint64_t kIndexedElementOverhead = 64;
    struct Indexed { std::map<std::uint64_t, std::string> elements; };
    struct Associative { std::map<std::string, std::string> elements; };
    std::variant<Indexed, Associative> value;
    // Modeled size of the elements: (value + kIndexedElementOverhead) each for indexed arrays,
    // (key + 48) + (value + 48) each for associative ones.
    std::uint64_t modeled_size() const;
};

// The shell's option flags; all off in a new shell, copied into child shells.
struct ShellOptions {
    bool errexit = false;
    bool errtrace = false;
    bool nounset = false;
    bool xtrace = false;
    bool pipefail = false;
    bool operator==(const ShellOptions&) const = default;
};

// The pending shell error of a process: the first failure of a command wins.
struct PendingError {
    std::optional<std::string> message;
    std::int32_t status = 1;
    bool fatal = false;
};

// The execution state of one process. Every process starts as a copy of a shell, so the shell's
// own state lives here too; the fields below are the ones the kernel and the variable store use.
struct ProcessState {
    // ---- kernel ----
    // Absent while a driver has taken it out to step it, and before a program is installed.
    std::optional<ProcessContinuation> program;
    std::string cwd = "/";
    DescriptorTable descriptors;
    std::set<Signal> pending_signals;
    // Set by `timeout` on the processes it signals when its deadline passes; a program that
    // outlives the signal (one that ignores it) ends with status 124 at its next step.
    bool timed_out = false;
    std::map<Signal, Trap> signal_traps;
    bool in_trap_handler = false;
    Bytes pending_stdin;
    std::uint64_t pending_stdin_pos = 0;
    std::uint64_t random_state = 0x5EED5EED5EED5EEDULL;
    std::uint64_t process_charge = 0;
    std::uint64_t program_charge = 0;
    std::uint64_t state_size_baseline = 0;
    std::uint64_t shell_state_charge = 0;
    std::uint64_t expansion_charge = 0;
    Pid pid = 0;
    Pid ppid = 0;
    Pid sid = 0;
    Pid pgid = 0;
    Pid shell_pid = 0;
    std::uint32_t uid = 0;
    std::uint16_t umask = 022;
    bool capture_output = false;

    // ---- shell variables ----
    std::unordered_map<std::string, std::string> variables;
    std::uint64_t variables_size = 0;
    std::unordered_map<std::string, ShellArray> arrays;
    std::uint64_t arrays_size = 0;
    std::set<std::string> exported_names;
    std::set<std::string> readonly_names;
    PositionalParams positional_params;
    std::uint64_t positional_size = 0;
    std::string shell_name = "bash";
    std::int32_t last_status = 0;
    std::uint32_t random_seed = 1;
    std::uint64_t optind = 1;
    std::uint64_t getopts_position = 1;
    std::uint64_t local_saved_size = 0;
    std::uint64_t call_saved_size = 0;
    std::optional<PendingError> pending_error;
    // What `local` saved before hiding a variable: put back when the function call ends.
    struct SavedVariable {
        std::optional<std::string> scalar;
        std::optional<ShellArray> array;
        bool exported = false;
    };
    // One scope per shell function call in progress, innermost last.
    std::vector<std::map<std::string, SavedVariable>> local_scopes;

    // ---- options and directories ----
    ShellOptions options;
    std::set<std::string> shopt_enabled;
    std::vector<std::string> dir_stack;
    std::map<std::string, std::string> hashed_commands;

    // ---- jobs and traps ----
    std::vector<JobEntry> job_table;
    std::uint32_t next_job_number = 1;
    std::optional<Trap> exit_trap;
    std::optional<Trap> err_trap;
    bool err_trap_enabled = true;

    // ---- the shell executor ----
    // The state of the language the process runs that the kernel does not look into (the
    // shell's functions and aliases: shell/language.h).
    LanguageSlot language;
    // An interactive interpreter a program left in this shell: its actions are then its input.
    LanguageSlot python_repl;
    // Requests set by the builtins (exit, return, break, continue) and consumed by the executor's
    // frames while they unwind.
    bool exit_requested = false;
    std::int32_t exit_status = 0;
    bool return_requested = false;
    std::int32_t return_status = 0;
    std::uint32_t pending_break = 0;
    std::uint32_t pending_continue = 0;
    // Enclosing loops, sourced scripts and tested positions (if/while/until conditions, the left
    // side of && and ||, the operand of !).
    std::uint32_t loop_depth = 0;
    std::uint32_t source_depth = 0;
    std::uint32_t condition_depth = 0;
    // The ERR trap's handler is running.
    bool in_err_trap = false;

    // Inserts or replaces a scalar variable, keeping the modeled size; no special names.
    void store_variable(std::string_view name, std::string value);
    void export_variable(std::string_view name) { exported_names.emplace(name); }
    // Exported names that have a scalar value, with their values, in name order.
    std::map<std::string, std::string> environment_snapshot() const;
    // Variables, arrays, positional parameters, local and call saves, unread standard input,
    // functions and traps.
    std::uint64_t modeled_size() const;
    // The size of the state a child copies, measured without allocating; creation refuses more
    // than kForkSizeLimit.
    std::uint64_t fork_size() const;
};

inline constexpr std::uint64_t kForkSizeLimit = 33554432;  // 32 MiB
inline constexpr std::uint64_t kForkOverhead = 256;
inline constexpr Pid kPidLimit = 0x80000000u;  // process numbers stay below 2^31
inline constexpr std::uint64_t kCommandTextLimit = 4096;

// How a child is placed in process groups and sessions.
enum class GroupMode : std::uint8_t {
    Inherit = 0,     // the parent's group and session
    NewGroup = 1,    // a group numbered by the child's pid, in the parent's session
    NewSession = 2,  // a session and group both numbered by the child's pid
};

// A child that runs a command: system call 68 and command dispatch.
struct ChildRequest {
    std::vector<std::string> argv;
    std::optional<Bytes> input;  // becomes the child's standard input
    struct Configuration {
        std::optional<std::string> directory;
        std::optional<std::map<std::string, std::string>> environment;
    } configuration;
    bool detached = false;  // the parent is not suspended
    GroupMode group_mode = GroupMode::Inherit;
};

// Installs the program of a prepared child for its argv (the command-launch layer).
using ArgvLauncher = std::function<Result<void, std::string>(Machine&, Pid, const std::vector<std::string>&)>;

// The arguments joined with single spaces, at most 4096 bytes: no separator once the text holds
// 4096 bytes, and an argument is cut before the first character that would pass the limit.
std::string argv_display_line(const std::vector<std::string>& argv);

// Modeled size of one scalar variable entry.
std::uint64_t variable_entry_size(std::string_view name, std::string_view value);

class ProcessStateTable {
public:
    ProcessStateTable() = default;
    // A copy looks its active state up afresh; map nodes stay put on a move, but the cache is
    // dropped there too for simplicity.
    ProcessStateTable(const ProcessStateTable& other) : states_(other.states_), active_(other.active_) {}
    ProcessStateTable(ProcessStateTable&& other) noexcept
        : states_(std::move(other.states_)), active_(other.active_) {
        other.active_cache_ = nullptr;
    }
    ProcessStateTable& operator=(const ProcessStateTable& other) {
        if (this != &other) {
            states_ = other.states_;
            active_ = other.active_;
            active_cache_ = nullptr;
        }
        return *this;
    }
    ProcessStateTable& operator=(ProcessStateTable&& other) noexcept {
        if (this != &other) {
            states_ = std::move(other.states_);
            active_ = other.active_;
            active_cache_ = nullptr;
            other.active_cache_ = nullptr;
        }
        return *this;
    }

    const std::map<Pid, ProcessState>& states() const { return states_; }
    Pid active_pid() const { return active_; }
    // The active state; its absence is a broken invariant.
    const ProcessState& active() const;
    ProcessState& active_mut();
    const ProcessState* find(Pid pid) const;
    ProcessState* find_mut(Pid pid);
    // Fails with "process state does not exist for PID {}".
    Result<void, std::string> select(Pid pid);
    // Fails with "process state already exists for PID {}".
    Result<void, std::string> insert(Pid pid, ProcessState state);
    // Replaces the program, dropping the old one; "process state does not exist for PID {}".
    Result<void, std::string> set_program(Pid pid, ProcessContinuation program);
    // Takes the program out (none without a state or a program).
    std::optional<ProcessContinuation> take_program(Pid pid);
    void erase(Pid pid) {
        if (pid == active_) active_cache_ = nullptr;
        states_.erase(pid);
    }

private:
    std::map<Pid, ProcessState> states_;
    Pid active_ = 0;
    // The node of the active state, found on first use after a change (map nodes do not move
    // while they exist). Never copied.
    mutable ProcessState* active_cache_ = nullptr;
};

}  // namespace tw
