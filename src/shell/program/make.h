// make: the makefile reader, the variable expander and the goal planner, and the state of the
// resumable program that runs recipe lines as "sh -c" children one at a time.
//
// Planning is depth first over an explicit stack of frames, so that the program step can stop
// between any two recipe lines (waiting for a child or for room in an output pipe) and resume
// where it was. The engine is plain data and deep-copies with the machine.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/scheduler.h"

namespace tw {

class SyscallContext;
struct PendingBytes;

inline constexpr std::uint64_t kMakefileLimit = 1 << 20;
inline constexpr std::uint64_t kMakeLineLimit = 20000;
inline constexpr std::size_t kMakeTargetLimit = 4096;
inline constexpr std::uint64_t kMakeRecipeLimit = 20000;
inline constexpr std::uint32_t kMakeExpansionBudget = 16;
inline constexpr std::uint64_t kMakeExpansionLimit = 4 << 20;
inline constexpr std::size_t kMakePlanDepth = 256;
inline constexpr std::size_t kMakePrerequisiteLimit = 4096;

struct MakeRecipeLine {
    std::uint64_t line = 0;  // the first physical line
    std::string text;        // continuation lines joined with newlines, leading tabs removed
    friend bool operator==(const MakeRecipeLine&, const MakeRecipeLine&) = default;
};

struct MakeRule {
    std::vector<std::string> prerequisites;  // as written, in order, duplicates kept
    std::vector<MakeRecipeLine> recipe;
    friend bool operator==(const MakeRule&, const MakeRule&) = default;
};

// What planning a target yields. A missing file has no time: older than every existing file.
struct PlanResult {
    std::optional<std::uint64_t> mtime;
    bool remade = false;
    bool failed = false;  // its recipe, or one of a prerequisite, failed under -k
    friend bool operator==(const PlanResult&, const PlanResult&) = default;
};

namespace plan_frame {
struct Prereqs {
    std::string target;
    MakeRule rule;
    std::vector<std::string> expanded;
    std::size_t next = 0;
    std::vector<PlanResult> results;
    bool existed = false;
    bool top_level = false;
    friend bool operator==(const Prereqs&, const Prereqs&) = default;
};
struct Recipe {
    std::string target;
    std::vector<MakeRecipeLine> lines;
    std::size_t next = 0;
    std::vector<std::string> prerequisites;  // for $< and $^
    bool top_level = false;
    friend bool operator==(const Recipe&, const Recipe&) = default;
};
}  // namespace plan_frame

using PlanFrame = std::variant<plan_frame::Prereqs, plan_frame::Recipe>;

// The recipe command under way.
struct MakeCurrentRecipe {
    std::string target;
    std::string command;
    Bytes echo;
    std::uint64_t echo_written = 0;
    std::optional<Pid> child;
    std::uint64_t line = 0;
    bool ignore_errors = false;
    bool run = true;
    friend bool operator==(const MakeCurrentRecipe&, const MakeCurrentRecipe&) = default;
};

struct MakeEngine {
    std::string cwd;
    std::string makefile_name;
    std::deque<std::string> goals;
    std::vector<PlanFrame> plan_stack;
    Bytes stdout_text;
    std::uint64_t stdout_written = 0;
    Bytes stderr_text;
    std::uint64_t stderr_written = 0;
    std::optional<MakeCurrentRecipe> current_recipe;
    std::map<std::string, std::string> variables;
    std::set<std::string> phony;
    std::map<std::string, MakeRule> rules;
    std::map<std::string, std::string> environment;
    std::map<std::string, PlanResult> planned;
    std::set<std::string> in_progress;
    std::uint64_t recipes_started = 0;
    std::int32_t exit_status = 0;
    bool dry_run = false;
    bool silent = false;
    bool keep_going = false;
    bool stop = false;
    std::uint64_t memory_charged = 0;  // for the makefile text, released when make ends
    friend bool operator==(const MakeEngine&, const MakeEngine&) = default;
};

// A final result of make_start, or of an error that ends make: the status and the text for
// standard error.
struct MakeFailure {
    std::int32_t status = 2;
    std::string message;
};

// Reads the arguments, changes directory, reads and parses the makefile and chooses the goals.
Result<MakeEngine, MakeFailure> make_start(SyscallContext& sys, std::span<const std::string> args);

// NAME = VALUE or NAME := VALUE: the trimmed name (a shell name) and the trimmed value.
std::optional<std::pair<std::string, std::string>> make_parse_assignment(std::string_view text);
// "unsupported target or prerequisite '{}' at line {}" for an empty name or one with '%' or '$'.
std::optional<std::string> make_check_target_name(std::string_view name, std::uint64_t line);
// Whether the path names something that exists and is not a directory (links followed).
bool make_file_exists(SyscallContext& sys, std::string_view directory, std::string_view path);

// Expands $(NAME), ${NAME}, $$, $@, $< and $^; other $ forms stay for the shell.
Result<std::string, std::string> make_expand_variables(std::string_view text,
                                                       const std::map<std::string, std::string>& variables,
                                                       std::string_view target,
                                                       std::span<const std::string> prerequisites,
                                                       std::uint32_t budget);

// Plans one target: delivers a known result, or pushes a frame for it. The failure ends make.
Result<void, MakeFailure> make_plan_target(MakeEngine& engine, SyscallContext& sys, const std::string& name,
                                           bool top_level);
// Hands a target's result to the frame that asked for it, or reports a top-level goal.
void make_report_nothing_to_do(MakeEngine& engine, const std::string& name, const PlanResult& result,
                               bool top_level);
// The modification time of a file (links followed); none when it cannot be examined.
std::optional<std::uint64_t> make_file_mtime(SyscallContext& sys, std::string_view directory, std::string_view path);
// The words of a text split at white space.
std::vector<std::string> make_words(std::string_view text);
// "make: TEXT\n".
std::string make_format_message(std::string_view text);

// One planning move on the top frame (or the next goal when the stack is empty). Sets
// `current_recipe` when a recipe line is to run; answers false when nothing is left to do.
Result<bool, MakeFailure> make_advance(MakeEngine& engine, SyscallContext& sys);
// The outcome of a recipe line that failed (status not 0, errors not ignored).
void make_recipe_failed(MakeEngine& engine, SyscallContext& sys, const std::string& target, std::uint64_t line,
                        std::int32_t status);

}  // namespace tw
