// The execution state of one Python program: the value stack shared by all frames, the frame
// stack, fast locals, the try-handler stack, the exceptions being handled, the with-statement
// stack, the pending exception, the parked native call and the deadline block. Nothing of a
// running program lives on the host's call stack between slices.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "python/front/tokens.h"
#include "python/heap/box.h"
#include "python/heap/error.h"
#include "python/heap/heap.h"
#include "python/heap/value.h"
#include "python/objects/types.h"
#include "python/vm/value_stack.h"

namespace tw {
class WaitReason;
}

namespace tw::py {

enum class FrameKindTag : std::uint8_t { Generator = 0, Entry = 2, Call = 3 };

struct FrameKind {
    FrameKindTag tag = FrameKindTag::Entry;
    // Generator: an escaping exception continues into the caller's frame.
    bool continues = false;
    static FrameKind generator(bool continues) { return {FrameKindTag::Generator, continues}; }
    static FrameKind entry() { return {FrameKindTag::Entry, false}; }
    static FrameKind call() { return {FrameKindTag::Call, false}; }
    friend bool operator==(FrameKind, FrameKind) = default;
};

// What a new frame runs in.
struct FrameDescriptor {
    std::optional<std::uint64_t> locals_base;
    Value scope;
    Value globals;
    Value function;  // absent for module bodies and exec/eval code
    bool own_scope = false;
    bool class_body = false;
};

struct Frame {
    // Members take their defaults only (a value-initialised frame is not zeroed first).
    Frame() {}
    // The frame of a plain call: fast locals at `locals_base`, the stacks' current heights.
    Frame(const CodeObject* code, std::uint32_t locals_base, Value scope, Value globals, Value function,
          std::uint32_t exc_base, std::uint32_t value_base, std::uint32_t handler_base, std::uint32_t with_base)
        : fast_locals(1),
          locals_base(locals_base),
          scope(scope),
          globals(globals),
          function(function),
          code(code),
          exc_base(exc_base),
          value_base(value_base),
          handler_base(handler_base),
          with_base(with_base),
          kind(FrameKind::call()) {}

    std::uint32_t fast_locals = 0;
    std::uint32_t locals_base = 0;
    Value scope;
    Value globals;
    Value function;
    // The code run; kept alive by `code_owner`, or by the function of a call frame (a root of
    // the frame) when `code_owner` is empty.
    const CodeObject* code = nullptr;
    std::shared_ptr<const CodeObject> code_owner;
    std::uint64_t ip = 0;
    std::uint32_t exc_base = 0;
    std::uint32_t value_base = 0;
    std::uint32_t handler_base = 0;
    std::uint32_t with_base = 0;
    bool own_scope = false;
    bool class_body = false;
    FrameKind kind;
};

struct HandlerRecord {
    std::uint64_t handler_ip = 0;
    std::uint64_t value_height = 0;
    std::uint64_t exception_height = 0;
};

struct TracebackEntry {
    Value function;   // optional
    Value namespace_;  // optional
    std::string file;
    std::uint64_t line = 0;
    std::string name;
};

// A suspended native call kept for resumption.
struct ParkedCall {
    enum class Kind : std::uint8_t { WaitOnly, FunctionCall, MethodCall, InputLine } kind = Kind::WaitOnly;
    std::shared_ptr<const WaitReason> wait;  // what the program waits on (immutable)
    SourceSpan position;                     // the calling instruction
    Value receiver;                          // MethodCall
    Value callee;
    std::vector<Value> arguments;
    std::vector<std::pair<Symbol, Value>> keywords;
};

struct Deadline {
    bool armed = false;
    std::uint64_t start_clock_ns = 0;
    std::uint64_t start_work = 0;  // work units x 1000
    std::uint64_t timeout_ns = 0;
};

struct StdinState {
    std::string pending;
    // How much of `pending` is already known to be whole UTF-8 characters (bytes and characters),
    // and how much holds no line feed, so a read that waits for more input never scans it again.
    std::uint64_t validated = 0, validated_chars = 0, searched = 0;
    bool end_of_input = false;
    // The fixed input of a run that is not dispatched has been moved into `pending`.
    bool fixed_loaded = false;
};

class ExecState {
public:
    static constexpr std::uint64_t kMaxCallDepth = 256;

    ExecState();
    ~ExecState();
    ExecState(const ExecState&);
    ExecState& operator=(const ExecState&);
    ExecState(ExecState&&) noexcept;
    ExecState& operator=(ExecState&&) noexcept;

    Deadline deadline;
    ValueStack values;
    std::vector<Frame> frames;
    ValueStack locals;
    std::vector<HandlerRecord> handlers;
    std::vector<TracebackEntry> traceback;
    std::vector<Value> active_exceptions;
    std::vector<Value> with_stack;
    std::unique_ptr<WaitReason> pending_wait;
    std::optional<Value> pending_exception;
    Box<ParkedCall> parked_call;
    std::uint64_t synchronous_depth = 0;
    bool suspension_allowed = true;
    std::uint64_t call_depth = 0;
    std::uint64_t comparison_depth = 0;
    StdinState stdin_state;
    std::uint64_t charged_memory = 0;
    // Deadlines with a wake-up event pending on the machine's clock (asyncio timers).
    std::set<std::uint64_t> timer_deadlines;
    // The end of a time.sleep that parked the program; the call that runs again after the wake
    // finds it passed and returns.
    std::optional<std::uint64_t> sleep_deadline;

    // A new frame over `code`; "VM stack depth exceeds the frame index range" when a stack base
    // does not fit 32 bits.
    PyResult<Frame> new_frame(std::shared_ptr<const CodeObject> code, std::uint64_t ip, std::uint64_t value_base,
                              const FrameDescriptor& d, FrameKind kind) const;
    // Pushes the frame of a plain call to `function`, whose record holds `code`: fast locals
    // at `locals_base`, values from the current height. False (nothing pushed) when a stack
    // base does not fit 32 bits.
    bool push_call_frame(const CodeObject* code, std::uint64_t locals_base, Value scope, Value globals, Value function) {
        constexpr std::uint64_t kMax = 0xFFFFFFFFu;
        if ((active_exceptions.size() | values.size() | handlers.size() | with_stack.size() | locals_base) > kMax)
            return false;
        frames.emplace_back(code, std::uint32_t(locals_base), scope, globals, function,
                            std::uint32_t(active_exceptions.size()), std::uint32_t(values.size()),
                            std::uint32_t(handlers.size()), std::uint32_t(with_stack.size()));
        return true;
    }
    // Truncates the stacks to the frame's bases; stacks already lower are left alone.
    void lower_water_marks(const Frame& frame) {
        lower(values, frame.value_base);
        lower(active_exceptions, frame.exc_base);
        if (frame.fast_locals == 1) lower(locals, frame.locals_base);
        lower(handlers, frame.handler_base);
        lower(with_stack, frame.with_base);
    }
    // Charges n bytes to the memory budget and the state's own total: "modeled Python memory
    // overflow" (Unsupported), "memory limit exceeded" (Resource).
    PyStatus charge_memory(ResourceMeter& meter, std::uint64_t n);

    // Every Value the state holds, in the collector's root order.
    template <class F>
    void for_each_root(F&& f) const {
        for (const Value& v : values) f(v);
        for (const Value& v : locals) f(v);
        for (const Value& v : active_exceptions) f(v);
        for (const Value& v : with_stack) f(v);
        if (pending_exception) f(*pending_exception);
        for (const TracebackEntry& t : traceback) f(t.function), f(t.namespace_);
        for (const Frame& fr : frames) f(fr.scope), f(fr.globals), f(fr.function);
        if (parked_call) {
            f(parked_call->callee);
            f(parked_call->receiver);
            for (const Value& v : parked_call->arguments) f(v);
            for (const auto& kw : parked_call->keywords) f(kw.second);
        }
    }

private:
    template <class S>
    static void lower(S& stack, std::uint64_t base) {
        if (stack.size() > base) stack.erase(stack.begin() + std::ptrdiff_t(base), stack.end());
    }
};

// The cache of one instruction: a global's entry position, or what an attribute load found for
// a type (valid while the type and the attribute epoch are those recorded).
struct SiteEntry {
    std::uint64_t key = 0;     // attribute sites: type id << 32 | epoch (0: empty)
    std::uint32_t slot = 0;    // globals: entry position + 1; attributes: the instance entry
    std::uint32_t kind = 0;    // attributes: 1 instance entry, 2 class function
    std::uint32_t symbol = 0;  // the name the entry answers for
    Value value;               // attributes: the class function
};

// One program's interpreter data: its heap, its type registry and its execution state. It is the
// root source of every collection its allocations trigger.
class Interpreter final : public RootSource {
public:
    // A heap with the builtin types registered.
    Interpreter();

    void visit_roots(ValueVisitor& v) override;

    Heap heap;
    TypeRegistry types;
    ExecState state;
    Value sys_path;  // the cached sys.path list, absent until made
    std::vector<std::string> initial_search_path;  // what sys.path starts as
    // The directories of the module files whose bodies are running, innermost first.
    std::vector<std::string> import_directories;
    // Builtin names already resolved, by symbol; never emptied while the program lives.
    Namespace builtins_cache;
    // Raised whenever a class attribute changes: attribute site caches of an older epoch miss.
    std::uint64_t attribute_epoch = 1;
    bool started = false;  // the main module's frame was pushed
    Symbol class_symbol = 0xFFFFFFFFu;  // "__class__" once interned
    std::size_t class_symbol_seen = 0;  // the symbol count when "__class__" was last looked up
    // A heap str whose only reference is the variable `s` of the `s += "..."` that made it;
    // absent when unknown. The dispatch loop forgets it before any instruction that could read
    // the variable other than the next `s += "..."`, which may then append in place.
    Value fresh_str;
    // One cache entry per instruction of each code object run, by code id.
    std::vector<std::vector<SiteEntry>> site_caches;

    // The site cache of a code object (made on first use; its entries never move).
    SiteEntry* site_cache(const CodeObject& code);
};

}  // namespace tw::py
