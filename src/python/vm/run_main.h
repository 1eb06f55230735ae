// Running a compiled program as the module __main__: setting the module up on the first call,
// one slice of the dispatch driver per call, and the exit status, traceback text or failure
// message when the program ends.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include "python/compiler/code.h"
#include "python/vm/exec_state.h"

namespace tw {
struct Machine;
class WaitReason;
}  // namespace tw

namespace tw::py {

struct MainModuleExit {
    enum class Kind : std::uint8_t { Success, Status, Message } kind = Kind::Success;
    std::int32_t status = 0;  // Status
    std::string message;      // Message
    bool requested = false;   // Status: the program asked to end (exit(), quit(), SystemExit)
    friend bool operator==(const MainModuleExit&, const MainModuleExit&) = default;
};

struct MainModuleStep {
    enum class Kind : std::uint8_t { NotFinished, Blocked, Finished } kind = Kind::NotFinished;
    std::shared_ptr<const WaitReason> wait;  // Blocked
    MainModuleExit exit;                     // Finished
};

struct MainModuleMode {
    bool echo = false;        // expression statements print their value
    bool dispatched = false;  // a scheduled process: native calls may suspend
};

// One call of the runner: sets `__main__` up and pushes the root frame over `main_code` on the
// first call (`in.started`), then runs one slice.
MainModuleStep run_main_module(Interpreter& in, const CodeObjectPtr& main_code, Machine& machine,
                               std::span<const std::string> argv, std::string_view stdin_bytes, MainModuleMode mode,
                               std::string& stdout_buffer, std::string& stderr_buffer);

// "<string>" for "-c", "<stdin>" for none, "-" or "", else the path.
std::string program_display_name(std::span<const std::string> argv);

}  // namespace tw::py
