// The handle native code and the dispatch loop hold on a running program: references to the
// machine, the program's heap and execution state and its output buffers, plus the height of the
// heap's scoped root stack when the context's scope was opened. A context is a small record,
// copied for each nested native-call scope and dropped when the scope ends.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tw {
struct Machine;
}

namespace tw::py {

class Heap;
class ExecState;
class Interpreter;
struct RootSource;

struct RuntimeContext {
    Machine& machine;
    std::span<const std::string> argv;  // sys.argv
    std::string_view stdin_bytes;       // fixed standard input of a run the scheduler does not dispatch
    Heap& heap;
    ExecState& exec;
    std::string& stdout_buffer;
    std::string& stderr_buffer;
    std::uint64_t scope_depth = 0;
    bool echo = false;        // expression statements print their value
    bool dispatched = false;  // a scheduled process: native calls may suspend it
    // What a collection triggered by an allocation marks beyond the scoped root stack (the
    // interpreter: execution state, type registry, modules); null marks only the stack.
    RootSource* roots = nullptr;
    // The program's interpreter data (heap, types, execution state); set by every runner.
    Interpreter* interpreter = nullptr;

    // A copy whose scope starts at the current height of the scoped root stack.
    RuntimeContext enter_scope() const;
    // Drops the roots registered since the scope was opened and gives back the native
    // allocations charged at or above its height.
    void exit_scope() const;
};

// Opens a nested scope for as long as it lives and closes it on every path.
class NativeCallScope {
public:
    explicit NativeCallScope(const RuntimeContext& outer) : context(outer.enter_scope()) {}
    ~NativeCallScope() { context.exit_scope(); }
    NativeCallScope(const NativeCallScope&) = delete;
    NativeCallScope& operator=(const NativeCallScope&) = delete;

    RuntimeContext context;
};

}  // namespace tw::py
