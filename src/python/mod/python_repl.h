// The interactive mode: `python` with no program and no input leaves an interpreter in the
// shell that ran it; the host's later actions on that shell are then Python source for it, each
// run to its end with the values of expression statements echoed, until exit() or quit().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw {
struct Machine;
}

namespace tw::py {

inline constexpr std::string_view kReplBanner =
    "Python 3.14.0 (tarnwick)\nType exit() or quit() to return to the shell.\n>>> ";

// Stores a fresh interpreter as the interactive state of the shell that started the active
// process (its parent), replacing an earlier one. False when its memory cannot be charged.
bool enter_python_repl(Machine& machine);

// Whether the active process holds an interactive interpreter.
bool python_repl_active(const Machine& machine);

// Runs one action's source in the active process's interactive interpreter: absent when there
// is none (the source is shell source then); else the action's status, with its output appended.
std::optional<std::int32_t> run_python_repl_action(Machine& machine, std::string_view source, std::string& out,
                                                   std::string& err);

}  // namespace tw::py
