#include "python/vm/dispatch.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/truth.h"
#include "python/front/definitions.h"
#include "python/objects/instance.h"
#include "python/objects/value_access.h"
#include "python/vm/engine.h"
#include "python/vm/try.h"
#include "python/vm/exceptions.h"
#include "python/vm/generators.h"
#include "python/vm/iteration.h"
#include "python/vm/iterating_calls.h"
#include "python/vm/statements.h"
#include "python/vm/imports.h"
#include "python/types/mapping_types.h"
#include "python/vm/mapping_slots.h"
#include "python/vm/namespace.h"
#include "python/vm/raise.h"

namespace tw::py {

namespace {

PyError stack_effect_error() { return PyError::unsupported("invalid bytecode stack effect"); }
PyError underflow_error() { return PyError::unsupported("stack underflow"); }
PyError unbound_local() { return PyError::unsupported("local variable referenced before assignment"); }
PyError no_active_exception() { return PyError::unsupported("no active exception"); }

PyResult<Value> load_constant(RuntimeContext& ctx, const CodeConstant& c) {
    switch (c.kind) {
        case ConstantKind::None: return Value::none();
        case ConstantKind::Bool: return Value::from_bool(c.flag);
        case ConstantKind::Int: return Value::from_int(c.int_value);
        case ConstantKind::Float: return Value::from_float(c.float_value);
        case ConstantKind::Str: return new_str(ctx.heap, c.text, ctx.roots, ctx.machine.meter);
        case ConstantKind::Ellipsis: return intern_static_definition(StaticDefinition::of(DefinitionTag::Ellipsis));
        case ConstantKind::Bytes:
            return ctx.heap.allocate_object(BytesPayload{c.text}, ctx.roots, ctx.machine.meter);
        case ConstantKind::Imaginary:
            return ctx.heap.allocate_object(ComplexPayload{0.0, c.float_value}, ctx.roots, ctx.machine.meter);
        case ConstantKind::BigInt: {
            if (auto charged = python_charge_work(ctx.machine.meter, c.text.size()); !charged) return fail(std::move(charged.error()));
            auto big = Box<BigInt>::make();
            if (mpz_set_str(big->get(), c.text.c_str(), 10) != 0)
                return fail(PyError::unsupported("invalid arbitrary-precision integer literal"));
            if (big->fits_i64()) return Value::from_int(big->to_i64());
            return ctx.heap.allocate_object(BigIntPayload{std::move(big)}, ctx.roots, ctx.machine.meter);
        }
        default: return fail(PyError::unsupported("constant kind is not supported by the interpreter yet"));
    }
}

// The small-integer and float fast paths; none when the operands need the general protocol.
PyResult<std::optional<Value>> binary_fast(std::uint8_t op, Value a, Value b) {
    using B = BinaryOperator;
    if (a.is_int() && b.is_int()) {
        std::int64_t x = a.as_int(), y = b.as_int(), r = 0;
        switch (B(op)) {
            case B::Add: if (__builtin_add_overflow(x, y, &r)) return std::nullopt; return Value::from_int(r);
            case B::Sub: if (__builtin_sub_overflow(x, y, &r)) return std::nullopt; return Value::from_int(r);
            case B::Mult: if (__builtin_mul_overflow(x, y, &r)) return std::nullopt; return Value::from_int(r);
            case B::FloorDiv:
            case B::Mod: {
                if (y == 0 || (x == std::numeric_limits<std::int64_t>::min() && y == -1)) return std::nullopt;
                std::int64_t q = x / y, m = x % y;
                if (m != 0 && ((m < 0) != (y < 0))) --q, m += y;
                return Value::from_int(B(op) == B::FloorDiv ? q : m);
            }
            case B::Div: {
                if (y == 0) return std::nullopt;
                constexpr std::int64_t exact = std::int64_t(1) << 53;
                if (x > exact || x < -exact || y > exact || y < -exact) return std::nullopt;
                return Value::from_float(double(x) / double(y));
            }
            case B::BitAnd: return Value::from_int(x & y);
            case B::BitOr: return Value::from_int(x | y);
            case B::BitXor: return Value::from_int(x ^ y);
            default: return std::nullopt;
        }
    }
    if ((a.is_float() || a.is_int()) && (b.is_float() || b.is_int()) && (a.is_float() || b.is_float())) {
        double x = a.is_float() ? a.as_float() : double(a.as_int());
        double y = b.is_float() ? b.as_float() : double(b.as_int());
        switch (B(op)) {
            case B::Add: return Value::from_float(x + y);
            case B::Sub: return Value::from_float(x - y);
            case B::Mult: return Value::from_float(x * y);
            case B::Div:
                if (y == 0) return std::nullopt;
                return Value::from_float(x / y);
            default: return std::nullopt;
        }
    }
    return std::nullopt;
}

// The unary operators on small ints, floats and values whose truth needs no method.
PyResult<std::optional<Value>> unary_fast(const Heap& heap, std::uint8_t op, Value a) {
    using U = UnaryOperator;
    if (U(op) == U::Not) {
        auto truth = py_truth_fast(heap, a);
        if (!truth) return fail(std::move(truth.error()));
        if (!*truth) return std::nullopt;
        return Value::from_bool(!**truth);
    }
    if (a.is_int()) {
        std::int64_t x = a.as_int();
        switch (U(op)) {
            case U::UAdd: return a;
            case U::USub: if (x == std::numeric_limits<std::int64_t>::min()) return std::nullopt; return Value::from_int(-x);
            default: return Value::from_int(~x);
        }
    }
    if (a.is_float() && U(op) != U::Invert) return U(op) == U::UAdd ? a : Value::from_float(-a.as_float());
    return std::nullopt;
}

template <class T>
bool compare_numbers(CompareOperator op, T x, T y) {
    using C = CompareOperator;
    switch (op) {
        case C::Eq: return x == y;
        case C::NotEq: return x != y;
        case C::Lt: return x < y;
        case C::LtE: return x <= y;
        case C::Gt: return x > y;
        default: return x >= y;
    }
}

// A push the compiler keeps inline in the large loop.
[[gnu::always_inline]] inline void push_value(ValueStack& stack, const Value& v) { stack.push_back(v); }

// Adding, subtracting and multiplying small ints that stay small: true with the result.
[[gnu::always_inline]] inline bool int_arith(std::uint8_t op, std::int64_t x, std::int64_t y, std::int64_t& out) {
    switch (BinaryOperator(op)) {
        case BinaryOperator::Add: return !__builtin_add_overflow(x, y, &out);
        case BinaryOperator::Sub: return !__builtin_sub_overflow(x, y, &out);
        case BinaryOperator::Mult: return !__builtin_mul_overflow(x, y, &out);
        default: return false;
    }
}

// Ordering comparisons of two small ints: true with the result.
[[gnu::always_inline]] inline bool int_compare(std::uint8_t op, std::int64_t x, std::int64_t y, bool& out) {
    switch (CompareOperator(op)) {
        case CompareOperator::Eq: out = x == y; return true;
        case CompareOperator::NotEq: out = x != y; return true;
        case CompareOperator::Lt: out = x < y; return true;
        case CompareOperator::LtE: out = x <= y; return true;
        case CompareOperator::Gt: out = x > y; return true;
        case CompareOperator::GtE: out = x >= y; return true;
        default: return false;
    }
}

std::optional<Value> compare_fast(std::uint8_t op, Value a, Value b) {
    using C = CompareOperator;
    C c = C(op);
    if (c == C::Is) return Value::from_bool(values_identical(a, b));
    if (c == C::IsNot) return Value::from_bool(!values_identical(a, b));
    if (c == C::In || c == C::NotIn) return std::nullopt;
    if (a.is_int() && b.is_int()) return Value::from_bool(compare_numbers(c, a.as_int(), b.as_int()));
    if (a.is_float() && b.is_float()) return Value::from_bool(compare_numbers(c, a.as_float(), b.as_float()));
    return std::nullopt;
}

bool is_str_value(const Heap& heap, Value v) {
    if (v.is_inline_str()) return true;
    const HeapSlot* s = heap.get_if_object(v);
    return s && s->kind() == HeapObjectKind::Str;
}

// `x += "const"` at `ip` (the InplaceOp): a load of a variable, a constant, the operator and a
// store back into the same variable. A name loaded through the scope chain must be stored into
// the same namespace, which holds outside class bodies and functions with their own namespace.
bool is_append_pattern(const CodeObject& code, std::uint64_t ip, bool own_scope) {
    if (ip < 2 || ip + 1 >= code.instructions.size()) return false;
    const Instruction& load = code.instructions[ip - 2];
    const Instruction& constant = code.instructions[ip - 1];
    const Instruction& op = code.instructions[ip];
    const Instruction& store = code.instructions[ip + 1];
    if (constant.op != PyOpcode::LoadConst || op.op != PyOpcode::InplaceOp ||
        BinaryOperator(op.flag) != BinaryOperator::Add || store.a != load.a)
        return false;
    switch (load.op) {
        case PyOpcode::LoadFast: return store.op == PyOpcode::StoreFast;
        case PyOpcode::LoadGlobal: return store.op == PyOpcode::StoreGlobal;
        case PyOpcode::LoadName: return store.op == PyOpcode::StoreName && !own_scope;
        default: return false;
    }
}

// Whether the instruction at `ip` leaves the fresh str's variable unread: constants, stores,
// jumps, loop steps (ForIter forgets it itself before running an iterator's code), and the
// loads and operators of an append to it.
bool keeps_fresh_str(const CodeObject& code, std::uint64_t ip, bool own_scope) {
    switch (code.instructions[ip].op) {
        case PyOpcode::LoadConst:
        case PyOpcode::StoreFast:
        case PyOpcode::StoreName:
        case PyOpcode::StoreGlobal:
        case PyOpcode::Jump:
        case PyOpcode::ForIter: return true;
        case PyOpcode::LoadFast:
        case PyOpcode::LoadGlobal:
        case PyOpcode::LoadName: return is_append_pattern(code, ip + 2, own_scope);
        case PyOpcode::InplaceOp: return is_append_pattern(code, ip, own_scope);
        default: return false;
    }
}

// `s += t` for the fresh str s: t is appended to s's own text, charged as the concatenation
// would be (the work for both parts and the allocation CPU of the whole result; memory for the
// growth only, the old text being gone). False when the operands are not a heap str and a str.
PyResult<bool> append_in_place(RuntimeContext& ctx, Value s, Value t) {
    Heap& heap = ctx.heap;
    const HeapSlot* slot = heap.get_if_object(s);
    if (!slot || slot->kind() != HeapObjectKind::Str) return false;
    std::string_view tail;
    std::uint64_t tail_chars = 0;
    if (t.is_inline_str()) {
        tail = t.inline_str();
        tail_chars = HeapStr::make(std::string(tail)).char_count;
    } else {
        const HeapSlot* ts = heap.get_if_object(t);
        if (!ts || ts->kind() != HeapObjectKind::Str) return false;
        tail = std::get<HeapStr>(ts->object).text;
        tail_chars = std::get<HeapStr>(ts->object).char_count;
    }
    const std::uint64_t head = std::get<HeapStr>(slot->object).text.size();
    TRY_DO(python_charge_work(ctx.machine.meter, (head + tail.size()) / 64 + 1));
    TRY_DO(Heap::charge_object_cpu(slot->modeled_size + tail.size(), ctx.machine.meter));
    std::string copy(tail);  // `t` may move when the heap grows
    TRY_DO(heap.update_object_size(s, copy.size(), ctx.roots, ctx.machine.meter));
    TRY_ASSIGN(mut, heap.slot_mut(s));
    HeapStr& str = std::get<HeapStr>(mut->object);
    str.text.append(copy);
    str.char_count += tail_chars;
    return true;
}

// A call of a Python function with exactly its positional parameters and nothing else to
// bind (no star arguments, keywords, defaults to fill, cells or generator): the arguments become
// the first local slots of a new frame. False, with nothing changed, for every other call, which
// takes the general path. The site remembers the last function found fit for this (kind 6: the
// function in `value`, its local count in `slot`), whose record cannot change.
[[gnu::always_inline]] inline bool push_plain_call(ExecState& st, const Heap& heap, const CodeObject& code,
                                                   SiteEntry* site, const Instruction& in) {
    constexpr std::uint32_t kPlainCallSite = 5, kKnownCallee = 6;
    if (!site) [[unlikely]]
        return false;
    if (site->kind != kPlainCallSite && site->kind != kKnownCallee) {
        if (in.a >= code.call_sites.size()) return false;
        const CallSiteInfo& info = code.call_sites[in.a];
        if (!info.keyword_names.empty() || info.flags.size() != info.positional_count) return false;
        for (std::uint8_t f : info.flags)
            if (f) return false;
        site->kind = kPlainCallSite;
        site->symbol = info.positional_count;
    }
    ValueStack& stack = st.values;
    const std::uint64_t npos = site->symbol;
    const std::uint64_t value_base = st.frames.back().value_base;
    if (stack.size() < value_base + npos + 1) [[unlikely]]
        return false;
    bool drop_marker = false;
    if (in.op == PyOpcode::CallMethod) {
        if (npos == 0) return false;
        const Value& r = stack[stack.size() - npos];
        drop_marker = r.is_native() && r.native_kind() == NativeKind::NoReceiver;
    }
    const std::uint64_t given = npos - (drop_marker ? 1 : 0);
    const std::uint64_t callee_at = stack.size() - npos - 1;
    const Value callee = stack[callee_at];
    if (!callee.is_object()) return false;
    const HeapSlot* slot = heap.resolve(callee.handle());
    if (!slot || slot->kind() != HeapObjectKind::Function) [[unlikely]]
        return false;
    const FunctionRecord* rec = std::get_if<FunctionPayload>(&slot->object)->record.get();
    const CodeObject& target = *rec->code;
    std::uint64_t nlocals;
    if (site->kind == kKnownCallee && site->value == callee && target.positional_count == given) {
        nlocals = site->slot;
    } else {
        if (given != target.positional_count || target.parameters.size() != given || target.vararg_index ||
            target.kwarg_index || target.needs_scope || target.has_yield || target.is_async)
            return false;
        nlocals = target.local_names ? target.local_names->size() : given;
        if (nlocals < given || nlocals > 0xFFFFFFFFu) return false;
        site->kind = kKnownCallee;
        site->value = callee;
        site->slot = std::uint32_t(nlocals);
    }
    if (st.call_depth >= ExecState::kMaxCallDepth) return false;
    const std::uint64_t locals_base = st.locals.size();
    // Stack heights beyond the frame's 32-bit fields are the general path's error.
    if ((st.active_exceptions.size() | callee_at | st.handlers.size() | st.with_stack.size() | locals_base |
         (locals_base + nlocals)) > std::numeric_limits<std::uint32_t>::max())
        return false;
    st.locals.reserve(locals_base + nlocals);
    for (std::uint64_t i = stack.size() - given; i < stack.size(); ++i) push_value(st.locals, stack[i]);
    for (std::uint64_t i = given; i < nlocals; ++i) push_value(st.locals, Value::absent());
    stack.resize(callee_at);
    st.frames.emplace_back(&target, std::uint32_t(locals_base), rec->closure, rec->globals, callee,
                           std::uint32_t(st.active_exceptions.size()), std::uint32_t(callee_at),
                           std::uint32_t(st.handlers.size()), std::uint32_t(st.with_stack.size()));
    ++st.call_depth;
    return true;
}

// Truncates the stacks to the bases of the frame being left (as `ExecState::lower_water_marks`),
// inline for the return of a call frame.
[[gnu::always_inline]] inline void leave_call_frame(ExecState& st, const Frame& f) {
    if (st.values.size() > f.value_base) st.values.resize(f.value_base);
    if (st.active_exceptions.size() > f.exc_base) [[unlikely]]
        st.active_exceptions.resize(f.exc_base);
    if (f.fast_locals == 1 && st.locals.size() > f.locals_base) st.locals.resize(f.locals_base);
    if (st.handlers.size() > f.handler_base) [[unlikely]]
        st.handlers.resize(f.handler_base);
    if (st.with_stack.size() > f.with_base) [[unlikely]]
        st.with_stack.resize(f.with_base);
}

}  // namespace

void Cursor::no_active_frame() { panic("bytecode execution requires an active frame"); }

void sync_cursor(const Cursor& cursor, ExecState& state) {
    if (state.frames.empty() || state.frames.back().code != cursor.code) {
        std::string text = fmt::format("SYNC MISMATCH op_index={} cursor_code={} frames={}", cursor.ip,
                                       cursor.code ? cursor.code->id : kNoCodeId, state.frames.size());
        for (const Frame& f : state.frames)
            text += fmt::format("(code={} kind={} ip={})", f.code ? f.code->id : kNoCodeId, int(f.kind.tag), f.ip);
        panic(std::move(text));
    }
    state.frames.back().ip = cursor.ip;
}

const SourceSpan& position_at(const CodeObject& code, std::uint64_t ip) {
    if (ip >= code.positions.size()) panic("instruction position beyond the code object");
    return code.positions[ip];
}

SliceResult run_slice(RuntimeContext& ctx) {
    NativeCallScope scope(ctx);
    RuntimeContext& inner = scope.context;
    ResourceMeter& meter = inner.machine.meter;
    if (inner.machine.states.active_mut().timed_out) return StepOutcome::exit(vm::kTimeoutStatus);
    if (inner.exec.parked_call) {
        auto resumed = vm::resume_parked_call(inner);
        if (!resumed) return std::unexpected(std::move(resumed.error()));
        if (*resumed) return **resumed;
    }
    std::uint64_t limit = meter.limits().cpu;
    std::uint64_t remaining = meter.cpu_used() >= limit ? 0 : limit - meter.cpu_used();
    if (remaining == 0 || meter.stop_reason()) {
        meter.charge_cpu(1);
        return StepOutcome::exit(vm::kBudgetStopStatus);
    }
    std::uint64_t budget = std::min(remaining, kSliceInstructions);
    Cursor cursor = Cursor::from_top_frame(inner.exec.frames);
    std::uint64_t steps = 0;
    SliceResult result = dispatch_slice(inner, cursor, budget, steps);
    if (steps != 0) meter.charge_cpu(steps);
    return result;
}

namespace {

// The instructions off the hot path; `Next` unless they say otherwise.
PyResult<StepOutcome> execute_other(RuntimeContext& ctx, Cursor& cursor, const Instruction& in, std::uint64_t& steps);

}  // namespace

namespace {

// Forgets the fresh str unless the instruction at `ip` leaves its variable unread.
[[gnu::noinline]] void forget_fresh_str(Interpreter& interpreter, const CodeObject& code, std::uint64_t ip,
                                        std::uint64_t end, const ExecState& st) {
    if (ip >= end || !keeps_fresh_str(code, ip, st.frames.back().own_scope)) interpreter.fresh_str = Value::absent();
}

// The operations the loop dispatches on, in `PyOpcode` order, each with its label; the
// instructions without a fast path of their own share `op_other`.
#define TW_DISPATCH_TABLE(X)                                                                                \
    X(LoadConst, op_load_const) X(LoadName, op_load_name) X(LoadGlobal, op_load_global)                     \
    X(StoreName, op_store_name) X(LoadFast, op_load_fast) X(StoreFast, op_store_fast)                       \
    X(StoreEnclosing, op_other) X(StoreNonlocal, op_other) X(StoreGlobal, op_store_name)                    \
    X(StoreAttr, op_attr) X(StoreSubscr, op_other) X(DeleteAttr, op_other) X(DeleteName, op_other)          \
    X(DeleteFast, op_other) X(DeleteGlobal, op_other) X(DeleteSubscr, op_other) X(ImportModule, op_other)   \
    X(ImportFrom, op_other) X(ImportStar, op_other) X(LoadAttr, op_attr) X(LoadSubscr, op_other)            \
    X(BuildSlice, op_other) X(BuildList, op_other) X(BuildTuple, op_other) X(BuildDict, op_other)           \
    X(BuildSet, op_other) X(BuildUnpacked, op_other) X(UnpackSequence, op_other) X(MakeFunction, op_other)  \
    X(MakeClass, op_other) X(GetIter, op_other) X(ForIter, op_for_iter) X(UnaryOp, op_other)                \
    X(BinaryOp, op_binary) X(InplaceOp, op_binary) X(FormatValue, op_other) X(CompareOp, op_binary)         \
    X(Call, op_call) X(LoadMethod, op_attr) X(CallMethod, op_call) X(Copy, op_copy) X(Swap, op_swap)        \
    X(PopTop, op_pop_top) X(Jump, op_jump) X(JumpIfFalseOrPop, op_branch) X(JumpIfTrueOrPop, op_branch)     \
    X(PopJumpIfFalse, op_branch) X(ReturnValue, op_return) X(RaiseSyntaxError, op_other)                    \
    X(RaiseAssertionError, op_other) X(SetupExcept, op_other) X(PopBlock, op_other)                         \
    X(ExceptionMatch, op_other) X(PopExcept, op_other) X(Reraise, op_other) X(Raise, op_other)              \
    X(RaiseFrom, op_other) X(YieldValue, op_other) X(YieldFrom, op_other) X(ResumeAwait, op_other)          \
    X(WithEnter, op_other) X(WithExit, op_other) X(WithExceptExit, op_other)                                \
    X(AsyncWithExceptExit, op_other) X(AsyncWithExceptResult, op_other) X(ExprStatement, op_other)          \
    X(Halt, op_other)

#define TW_OPCODE_OF(op, label) PyOpcode::op,
constexpr PyOpcode kDispatchOrder[] = {TW_DISPATCH_TABLE(TW_OPCODE_OF)};
#undef TW_OPCODE_OF
constexpr bool dispatch_order_matches() {
    for (std::size_t i = 0; i < std::size(kDispatchOrder); ++i)
        if (std::size_t(kDispatchOrder[i]) != i) return false;
    return std::size(kDispatchOrder) == kPyOpcodeCount;
}
static_assert(dispatch_order_matches(), "the dispatch table follows the opcode numbering");

}  // namespace

// One iteration per instruction, dispatched by computed goto: every fast path ends with its own
// copy of the instruction header (`TW_DISPATCH`), so that each has its own indirect jump. The
// instruction index, the code's instructions and the uncharged steps live in locals; `cursor`
// is brought up to date (`cursor.ip = ip`) before anything that reads it.
SliceResult dispatch_slice(RuntimeContext& ctx, Cursor& cursor, std::uint64_t budget, std::uint64_t& steps_ref) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    ResourceMeter& meter = ctx.machine.meter;
    ValueStack& stack = st.values;
    // `left` counts down the instructions the slice may still start; the steps not yet charged
    // are those started since `charged_mark` (the caller's count carried in).
    std::uint64_t left = budget;
    std::uint64_t charged_mark = std::uint64_t(0) - steps_ref;
    auto uncharged = [&] { return (budget - left) - charged_mark; };
    struct StepsWriteBack {
        std::uint64_t& to;
        const std::uint64_t& budget;
        const std::uint64_t& left;
        const std::uint64_t& mark;
        ~StepsWriteBack() { to = (budget - left) - mark; }
    } steps_write_back{steps_ref, budget, left, charged_mark};
    const CodeObject* code = cursor.code;
    const Instruction* instrs = code->instructions.data();
    std::uint64_t ip = cursor.ip;
    std::uint64_t end = cursor.end;
    Interpreter& interpreter = vm::interp(ctx);
    if (interpreter.class_symbol == kNoSymbol && interpreter.class_symbol_seen != heap.symbols.size()) [[unlikely]] {
        interpreter.class_symbol_seen = heap.symbols.size();
        interpreter.class_symbol = heap.symbols.lookup("__class__").value_or(kNoSymbol);
    }
    const Symbol class_symbol = interpreter.class_symbol;
    // The site cache of the code run, without a call when it is already made.
    auto site_cache_of = [&interpreter](const CodeObject& c) __attribute__((always_inline)) {
        if (c.id < interpreter.site_caches.size()) {
            std::vector<SiteEntry>& entries = interpreter.site_caches[c.id];
            if (entries.size() == c.instructions.size()) return entries.data();
        }
        return interpreter.site_cache(c);
    };
    SiteEntry* cache = site_cache_of(*code);
    // The top frame changed: the cursor, the code and its site cache follow it.
    auto refresh = [&]() __attribute__((always_inline)) {
        cursor.refresh(st.frames);
        code = cursor.code;
        instrs = code->instructions.data();
        cache = site_cache_of(*code);
        ip = cursor.ip;
        end = cursor.end;
    };
    auto pop = [&](Value& out) {
        if (stack.size() <= cursor.value_base) return false;
        out = stack.back();
        stack.pop_back();
        return true;
    };
    // An instruction without a fast path (or whose fast path missed); the outcome in `outcome`.
    auto run_other = [&](const Instruction& in) {
        cursor.ip = ip;
        std::uint64_t counted = uncharged();
        auto r = execute_other(ctx, cursor, in, counted);
        charged_mark = (budget - left) - counted;
        return r;
    };

#define TW_LABEL_OF(op, label) &&label,
    static const void* const kLabels[] = {TW_DISPATCH_TABLE(TW_LABEL_OF)};
#undef TW_LABEL_OF

    PyError error;
    const Instruction* in = nullptr;
    Value a, b;

    // Whether the fresh str or the deadline needs the full header after a fast path.
    bool watch = true;

// The instruction header after anything that may have charged the meter, registered roots or
// changed the fresh str or the deadline: the slice budget, then (at `full_header`) the stop
// reason, the fresh str, the scoped roots of the previous instruction, the end of the code and
// the deadline.
#define TW_DISPATCH()                   \
    do {                                \
        if (left == 0) [[unlikely]]     \
            goto slice_done;            \
        --left;                         \
        goto full_header;               \
    } while (0)
// The header after a fast path, which charges nothing, registers no roots and leaves the fresh
// str and the deadline alone: only the budget, the end of the code and, while one of those two
// is live, the rest of the full header.
#define TW_FAST_DISPATCH()                   \
    do {                                     \
        if (left == 0) [[unlikely]]          \
            goto slice_done;                 \
        --left;                              \
        if (watch) [[unlikely]]              \
            goto watched_header;             \
        if (ip >= end) [[unlikely]]          \
            goto left_code;                  \
        in = &instrs[ip];                    \
        goto* kLabels[std::size_t(in->op)];  \
    } while (0)
#define TW_FAST_NEXT()      \
    do {                    \
        ++ip;               \
        TW_FAST_DISPATCH(); \
    } while (0)
#define TW_NEXT()     \
    do {              \
        ++ip;         \
        TW_DISPATCH(); \
    } while (0)
#define TW_FAIL(e)            \
    do {                      \
        error = (e);          \
        goto raise;           \
    } while (0)

    TW_DISPATCH();

full_header:
    if (meter.stop_reason()) [[unlikely]] {
        ++left;  // not started
        goto stopped;
    }
    if (heap.root_depth() != ctx.scope_depth) [[unlikely]]
        ctx.exit_scope();
watched_header:
    if (interpreter.fresh_str.is_present()) [[unlikely]]
        forget_fresh_str(interpreter, *code, ip, end, st);
    watch = interpreter.fresh_str.is_present() || st.deadline.armed;
    if (ip >= end) [[unlikely]]
        goto left_code;
    if (!st.deadline.armed) [[likely]] {
        in = &instrs[ip];
        goto* kLabels[std::size_t(in->op)];
    }
    {  // the deadline, armed
    const Deadline& d = st.deadline;
    std::uint64_t now = ctx.machine.clock.now_ns();
    std::uint64_t clock_elapsed = now > d.start_clock_ns ? now - d.start_clock_ns : 0;
    std::uint64_t work = meter.cpu_used() > std::numeric_limits<std::uint64_t>::max() / 1000
                             ? std::numeric_limits<std::uint64_t>::max()
                             : meter.cpu_used() * 1000;
    std::uint64_t work_elapsed = work > d.start_work ? work - d.start_work : 0;
    if (std::max(clock_elapsed, work_elapsed) >= d.timeout_ns) {
        st.deadline.armed = false;
        TW_FAIL(PyError::exception("Failed", "test timed out"));
    }
    in = &instrs[ip];
    goto* kLabels[std::size_t(in->op)];
}

op_load_const: {
    const CodeConstant& c = code->constants[in->a];
    if (c.kind == ConstantKind::Int) {
        push_value(stack, Value::from_int(c.int_value));
        TW_FAST_NEXT();
    }
    auto v = load_constant(ctx, c);
    if (!v) TW_FAIL(std::move(v.error()));
    push_value(stack, *v);
    TW_NEXT();
}

op_load_fast: {
    if (cursor.locals == Cursor::Locals::Fast) [[likely]] {
        std::uint64_t i = std::uint64_t(cursor.locals_base) + in->a;
        if (i >= st.locals.size() || st.locals[i].is_absent()) [[unlikely]]
            TW_FAIL(unbound_local());
        push_value(stack, st.locals[i]);
        TW_FAST_NEXT();
    } else if (cursor.locals == Cursor::Locals::Heap) {
        auto ns = scope_of(heap, st.frames.back().scope);
        if (!ns) TW_FAIL(std::move(ns.error()));
        if (in->a >= (*ns)->slots.size()) TW_FAIL(PyError::unsupported("invalid local slot"));
        if ((*ns)->slots[in->a].is_absent()) TW_FAIL(unbound_local());
        push_value(stack, heap.clone_value((*ns)->slots[in->a]));
    } else {
        TW_FAIL(PyError::unsupported("local bytecode requires local slots"));
    }
    TW_NEXT();
}

op_store_fast: {
    if (!pop(a)) TW_FAIL(stack_effect_error());
    if (cursor.locals == Cursor::Locals::Fast) [[likely]] {
        std::uint64_t i = std::uint64_t(cursor.locals_base) + in->a;
        if (i >= st.locals.size()) [[unlikely]]
            TW_FAIL(PyError::unsupported("invalid local slot"));
        st.locals[i] = a;
        TW_FAST_NEXT();
    } else if (cursor.locals == Cursor::Locals::Heap) {
        auto slot = heap.slot_mut(st.frames.back().scope);
        if (!slot) TW_FAIL(std::move(slot.error()));
        auto* payload = std::get_if<NamespacePayload>(&(*slot)->object);
        if (!payload) TW_FAIL(PyError::unsupported("invalid scope reference"));
        if (in->a >= payload->scope->slots.size()) TW_FAIL(PyError::unsupported("invalid local slot"));
        payload->scope->slots[in->a] = a;
    } else {
        TW_FAIL(PyError::unsupported("local bytecode requires local slots"));
    }
    TW_NEXT();
}

op_load_name: {
    // The scope chain of the frame; what it misses (globals of a class body, builtins,
    // __class__) is the general path's.
    if (in->a != class_symbol) {
        const Value* found = nullptr;
        Value scope = st.frames.back().scope;
        // The site cache: an entry of the frame's own scope (one without slots) at a known
        // position.
        SiteEntry* site = cache ? &cache[ip] : nullptr;
        const HeapSlot* first = scope.is_object() ? heap.resolve(scope.handle()) : nullptr;
        const auto* first_payload = first ? std::get_if<NamespacePayload>(&first->object) : nullptr;
        const bool slotless =
            first_payload && (!first_payload->scope->slot_names || first_payload->scope->slot_names->empty());
        if (slotless && site && site->kind == 4 && site->key == scope.handle().bits() && site->symbol == in->a) {
            const auto& entries = first_payload->scope->entries();
            if (site->slot <= entries.size() && entries[site->slot - 1].symbol == in->a) {
                push_value(stack, entries[site->slot - 1].value);
                TW_FAST_NEXT();
            }
        }
        if (slotless && site) {
            if (auto pos = first_payload->scope->index_of(in->a)) {
                site->key = scope.handle().bits();
                site->slot = std::uint32_t(*pos) + 1;
                site->kind = 4;
                site->symbol = in->a;
                push_value(stack, first_payload->scope->entries()[*pos].value);
                TW_FAST_NEXT();
            }
        }
        bool searched = false;  // the whole chain, without finding the name
        for (;;) {
            const HeapSlot* s = scope.is_object() ? heap.resolve(scope.handle()) : nullptr;
            const auto* payload = s ? std::get_if<NamespacePayload>(&s->object) : nullptr;
            if (!payload) break;
            const Namespace& ns = *payload->scope;
            if ((found = ns.find(in->a))) break;
            if (!ns.parent) {
                searched = true;
                break;
            }
            scope = *ns.parent;
        }
        if (found) {
            push_value(stack, *found);
            TW_FAST_NEXT();
        }
        // Module-level code: the chain was the globals, next come the builtins.
        const Frame& frame = st.frames.back();
        if (searched && !frame.class_body && frame.scope == frame.globals) {
            if (auto pushed = vm::push_builtin_name(ctx, in->a); !pushed) TW_FAIL(std::move(pushed.error()));
            TW_NEXT();
        }
    }
    auto outcome = run_other(*in);
    if (!outcome) TW_FAIL(std::move(outcome.error()));
    TW_NEXT();
}

op_load_global: {
    SiteEntry* site = cache ? &cache[ip] : nullptr;
    if (site && site->slot) {
        const Value globals = st.frames.back().globals;
        const HeapSlot* gs = globals.is_object() ? heap.resolve(globals.handle()) : nullptr;
        const auto* payload = gs ? std::get_if<NamespacePayload>(&gs->object) : nullptr;
        if (payload) {
            const auto& entries = payload->scope->entries();
            if (site->slot <= entries.size() && entries[site->slot - 1].symbol == in->a) {
                push_value(stack, entries[site->slot - 1].value);
                TW_FAST_NEXT();
            }
        }
    }
    auto ns = scope_of(heap, st.frames.back().globals);
    if (!ns) TW_FAIL(std::move(ns.error()));
    const Value* v = (*ns)->get(in->a);
    if (v) {
        if (site)
            if (auto pos = (*ns)->index_of(in->a)) site->slot = std::uint32_t(*pos) + 1;
        push_value(stack, heap.clone_value(*v));
    } else if (auto pushed = vm::push_builtin_name(ctx, in->a); !pushed) {
        TW_FAIL(std::move(pushed.error()));
    }
    TW_NEXT();
}

op_attr: {
    // LoadAttr, LoadMethod and StoreAttr through the attribute site cache: an instance's own
    // attribute at a known position, or a function its class binds, for one type at one
    // attribute epoch.
    SiteEntry* site = cache ? &cache[ip] : nullptr;
    std::size_t need = in->op == PyOpcode::StoreAttr ? 2 : 1;
    if (site && site->key && stack.size() >= std::size_t(cursor.value_base) + need) {
        Value obj = stack.back();
        const HeapSlot* s = obj.is_object() ? heap.resolve(obj.handle()) : nullptr;
        if (s && site->kind == 3 && in->op == PyOpcode::LoadMethod && site->symbol == in->a &&
            site->key == std::uint64_t(s->type_id) << 32) {
            stack.back() = site->value;
            push_value(stack, obj);
            TW_FAST_NEXT();
        }
        if (s && s->kind() == HeapObjectKind::Object && site->symbol == in->a &&
            site->key == (std::uint64_t(s->type_id) << 32 | (interpreter.attribute_epoch & 0xFFFFFFFF))) {
            const AttributeStore* attrs = s->attributes ? s->attributes.get() : nullptr;
            if (site->kind == 1 && attrs && !attrs->dictionary && attrs->shape == std::uint64_t(site->value.as_int()) &&
                site->slot < attrs->shaped_values.size()) {
                if (in->op == PyOpcode::StoreAttr) {
                    Value v = stack[stack.size() - 2];
                    heap.slot_mut_resolved(s).attributes->shaped_values[site->slot] = v;
                    stack.resize(stack.size() - 2);
                } else if (in->op == PyOpcode::LoadAttr) {
                    stack.back() = attrs->shaped_values[site->slot];
                } else {
                    stack.back() = attrs->shaped_values[site->slot];
                    push_value(stack, intern_static_definition(StaticDefinition::of(DefinitionTag::NoReceiver)));
                }
                TW_FAST_NEXT();
            }
            if (site->kind == 2 && in->op == PyOpcode::LoadMethod) {
                // The instance must not hold the name itself; `slot` remembers a shape (+ 1)
                // already seen without it.
                bool shadowed = false, looked = false;
                if (attrs && (attrs->dictionary || site->slot != std::uint64_t(attrs->shape) + 1)) {
                    looked = true;
                    auto own = instance_get_attr(heap, obj, in->a);
                    shadowed = !own || *own;
                    if (!shadowed && !attrs->dictionary && attrs->shape < 0xFFFFFFFFu &&
                        !heap.shapes.slot_of(attrs->shape, in->a))
                        site->slot = attrs->shape + 1;
                }
                if (!shadowed) {
                    stack.back() = site->value;
                    push_value(stack, obj);
                    if (!looked) TW_FAST_NEXT();
                    TW_NEXT();
                }
            }
        }
    }
    Value obj = stack.size() > cursor.value_base ? stack.back() : Value::absent();
    heap.push_root(obj);
    auto outcome = run_other(*in);
    if (!outcome) TW_FAIL(std::move(outcome.error()));
    if (site)
        vm::record_attribute_site(ctx, *site, obj, in->a,
                                  in->op == PyOpcode::LoadMethod ? stack[stack.size() - 2] : Value::absent(),
                                  in->op == PyOpcode::LoadMethod && stack.back() == obj);
    TW_NEXT();
}

op_store_name: {
    // StoreName and StoreGlobal: a name already bound at the cached position of a namespace
    // without slots is rebound in place. StoreName stores into the frame's own namespace when
    // it has one, else into the globals.
    const Frame& frame = st.frames.back();
    const Value target = in->op == PyOpcode::StoreName && frame.own_scope ? frame.scope : frame.globals;
    SiteEntry* site = cache ? &cache[ip] : nullptr;
    if (site && site->slot && stack.size() > cursor.value_base) {
        const HeapSlot* gs = target.is_object() ? heap.resolve(target.handle()) : nullptr;
        const auto* payload = gs ? std::get_if<NamespacePayload>(&gs->object) : nullptr;
        if (payload && site->key == target.handle().bits() &&
            (!payload->scope->slot_names || payload->scope->slot_names->empty()) &&
            site->slot <= payload->scope->entries().size() &&
            payload->scope->entries()[site->slot - 1].symbol == in->a) {
            std::get<NamespacePayload>(heap.slot_mut_resolved(gs).object).scope->entries_mut()[site->slot - 1].value =
                stack.back();
            stack.pop_back();
            TW_FAST_NEXT();
        }
    }
    auto outcome = run_other(*in);
    if (!outcome) TW_FAIL(std::move(outcome.error()));
    if (site && target.is_object()) {
        auto ns = scope_of(heap, target);
        if (ns)
            if (auto pos = (*ns)->index_of(in->a)) {
                site->slot = std::uint32_t(*pos) + 1;
                site->key = target.handle().bits();
            }
    }
    TW_NEXT();
}

op_binary: {
    // BinaryOp, InplaceOp and CompareOp.
    if (stack.size() < std::size_t(cursor.value_base) + 2) [[unlikely]]
        TW_FAIL(in->op == PyOpcode::CompareOp ? stack_effect_error() : underflow_error());
    b = stack.back();
    a = stack[stack.size() - 2];
    if (a.is_int() && b.is_int()) {
        if (in->op == PyOpcode::CompareOp) {
            bool t;
            if (int_compare(in->flag, a.as_int(), b.as_int(), t)) {
                stack.pop_back();
                stack.back() = Value::from_bool(t);
                TW_FAST_NEXT();
            }
        } else {
            std::int64_t r;
            if (int_arith(in->flag, a.as_int(), b.as_int(), r)) {
                stack.pop_back();
                stack.back() = Value::from_int(r);
                TW_FAST_NEXT();
            }
        }
    }
    const bool append = in->op == PyOpcode::InplaceOp && a.is_object() &&
                        is_append_pattern(*code, ip, st.frames.back().own_scope);
    if (append && a == interpreter.fresh_str) {
        heap.push_root(a), heap.push_root(b);
        auto done = append_in_place(ctx, a, b);
        if (!done) TW_FAIL(std::move(done.error()));
        if (*done) {
            stack.pop_back();  // a stays, grown, for the store
            TW_NEXT();
        }
    }
    stack.resize(stack.size() - 2);
    // Only two strs are joined without running code of the program.
    if (!is_str_value(heap, a) || !is_str_value(heap, b)) interpreter.fresh_str = Value::absent();
    std::optional<Value> r;
    cursor.ip = ip;
    if (in->op == PyOpcode::CompareOp) {
        r = compare_fast(in->flag, a, b);
        if (!r) {
            auto slow = vm::compare_operation(ctx, in->flag, a, b);
            if (!slow) TW_FAIL(std::move(slow.error()));
            r = *slow;
        }
    } else {
        auto fast = binary_fast(in->flag, a, b);
        if (!fast) TW_FAIL(std::move(fast.error()));
        r = *fast;
        if (!r) {
            auto slow = vm::binary_operation(ctx, in->flag, a, b, in->op == PyOpcode::InplaceOp);
            if (!slow) TW_FAIL(std::move(slow.error()));
            r = *slow;
        }
    }
    push_value(stack, *r);
    // Two strs joined into a new heap str that the next instruction stores: that variable will
    // hold its only reference.
    if (in->op == PyOpcode::InplaceOp && is_str_value(heap, a) && is_str_value(heap, b) && *r != a && *r != b &&
        r->is_object() && is_append_pattern(*code, ip, st.frames.back().own_scope)) {
        const HeapSlot* rs = heap.resolve(r->handle());
        if (rs && rs->kind() == HeapObjectKind::Str) interpreter.fresh_str = *r;
    }
    TW_NEXT();
}

op_branch: {
    // PopJumpIfFalse, JumpIfFalseOrPop and JumpIfTrueOrPop.
    if (stack.size() <= cursor.value_base) [[unlikely]]
        TW_FAIL(stack_effect_error());
    Value top = stack.back();
    bool t;
    const bool fast = top.is_bool();
    if (fast) [[likely]] {
        t = top.as_bool();
    } else {
        cursor.ip = ip;
        auto truth = vm::truth(ctx, top);
        if (!truth) TW_FAIL(std::move(truth.error()));
        t = *truth;
    }
    if (in->op == PyOpcode::PopJumpIfFalse) {
        stack.pop_back();
        ip = t ? ip + 1 : in->a;
    } else if (t == (in->op == PyOpcode::JumpIfTrueOrPop)) {
        ip = in->a;
    } else {
        stack.pop_back();
        ++ip;
    }
    if (fast) TW_FAST_DISPATCH();
    TW_DISPATCH();
}

op_jump:
    ip = in->a;
    TW_FAST_DISPATCH();

op_pop_top:
    if (!pop(a)) TW_FAIL(stack_effect_error());
    TW_FAST_NEXT();

op_copy:
    if (in->a == 0 || stack.size() - cursor.value_base < in->a) TW_FAIL(PyError::unsupported("invalid bytecode copy depth"));
    push_value(stack, stack[stack.size() - in->a]);
    TW_FAST_NEXT();

op_swap:
    if (in->a == 0 || stack.size() - cursor.value_base < in->a) TW_FAIL(PyError::unsupported("invalid bytecode swap depth"));
    std::swap(stack.back(), stack[stack.size() - in->a]);
    TW_FAST_NEXT();

op_for_iter: {
    if (stack.size() <= cursor.value_base) [[unlikely]]
        TW_FAIL(stack_effect_error());
    Value it = stack.back();
    // Range iterators and iterators over lists and tuples step in place.
    if (it.is_object()) {
        const HeapSlot* s = heap.resolve(it.handle());
        if (s && s->kind() == HeapObjectKind::RangeIterator) {
            auto& r = std::get<RangeIteratorPayload>(heap.slot_mut_resolved(s).object);
            if (!r.exhausted && (r.step > 0 ? r.current < r.stop : r.current > r.stop)) {
                push_value(stack, Value::from_int(r.current));
                if (__builtin_add_overflow(r.current, r.step, &r.current)) r.exhausted = true;
                TW_FAST_NEXT();
            }
            r.exhausted = true;
            stack.pop_back();
            ip = in->a;
            TW_FAST_DISPATCH();
        }
        if (s && s->kind() == HeapObjectKind::SequenceIterator) {
            const auto& seq = std::get<SequenceIteratorPayload>(s->object);
            const HeapSlot* src = seq.source.is_object() ? heap.resolve(seq.source.handle()) : nullptr;
            const std::vector<Value>* items = nullptr;
            if (src && src->kind() == HeapObjectKind::List) items = &std::get<ListPayload>(src->object).items;
            else if (src && src->kind() == HeapObjectKind::Tuple) items = &std::get<TuplePayload>(src->object).items;
            if (items) {
                if (seq.position < items->size()) {
                    push_value(stack, (*items)[seq.position]);
                    ++std::get<SequenceIteratorPayload>(heap.slot_mut_resolved(s).object).position;
                    TW_FAST_NEXT();
                }
                stack.pop_back();
                ip = in->a;
                TW_FAST_DISPATCH();
            }
        }
    }
    interpreter.fresh_str = Value::absent();
    cursor.ip = ip;
    sync_cursor(cursor, st);
    auto step = vm::for_iter_step(ctx, ip);
    if (!step) TW_FAIL(std::move(step.error()));
    switch (*step) {
        case vm::ForIterStep::Continue: TW_NEXT();
        case vm::ForIterStep::Exhausted: ip = in->a; TW_DISPATCH();
        case vm::ForIterStep::Resumed: refresh(); TW_DISPATCH();
        case vm::ForIterStep::Blocked: return StepOutcome::of(StepOutcome::Blocked);
    }
    TW_NEXT();
}

op_call: {
    // Call and CallMethod: the steps counted so far are charged first, so that the callee
    // sees an up-to-date CPU use.
    if (std::uint64_t steps = uncharged(); steps != 0) {
        meter.charge_cpu(steps);
        charged_mark = budget - left;
    }
    st.frames.back().ip = ip + 1;
    if (push_plain_call(st, heap, *code, cache ? &cache[ip] : nullptr, *in)) {
        refresh();
        // Only the charge above can have changed what the full header checks.
        if (!meter.stop_reason()) [[likely]]
            TW_FAST_DISPATCH();
        TW_DISPATCH();
    }
    cursor.ip = ip;
    auto outcome = vm::call_site(ctx, *code, in->a, in->op == PyOpcode::CallMethod);
    if (!outcome) TW_FAIL(std::move(outcome.error()));
    switch (outcome->kind) {
        case StepOutcome::Next: TW_NEXT();
        case StepOutcome::Refresh: refresh(); TW_DISPATCH();
        default: return *outcome;
    }
}

op_return: {
    if (!pop(a)) TW_FAIL(stack_effect_error());
    const Frame& f = st.frames.back();
    if (f.kind.tag == FrameKindTag::Call) [[likely]] {
        // Nothing runs between the pop and the push: the value needs no root.
        leave_call_frame(st, f);
        st.frames.pop_back();
        if (st.call_depth > 0) --st.call_depth;
        push_value(stack, a);
        refresh();
        TW_FAST_DISPATCH();
    }
    cursor.ip = ip;
    sync_cursor(cursor, st);
    if (f.kind.tag == FrameKindTag::Generator) {
        auto done = vm::return_from_generator(ctx, a);
        if (!done) TW_FAIL(std::move(done.error()));
        if (done->kind != StepOutcome::Refresh) return *done;
        refresh();
        TW_DISPATCH();
    }
    return StepOutcome::returning(a);
}

op_other: {
    auto outcome = run_other(*in);
    if (!outcome) TW_FAIL(std::move(outcome.error()));
    switch (outcome->kind) {
        case StepOutcome::Next: TW_NEXT();
        case StepOutcome::Jump: ip = outcome->target; TW_DISPATCH();
        case StepOutcome::Refresh: refresh(); TW_DISPATCH();
        default: return *outcome;
    }
}

raise:
    // The instruction failed: unwind through the handlers and frames.
    cursor.ip = ip;
    sync_cursor(cursor, st);
    if (auto failure = vm::propagate_error(ctx, std::move(error), position_at(*code, ip)))
        return std::unexpected(std::move(*failure));
    error = PyError();
    refresh();
    TW_DISPATCH();

slice_done:
    cursor.ip = ip;
    sync_cursor(cursor, st);
    return StepOutcome::of(StepOutcome::Pending);

stopped:
    cursor.ip = ip;
    return StepOutcome::exit(vm::kBudgetStopStatus);

left_code:
    cursor.ip = ip;
    return std::unexpected(
        SliceFailure{PyError::unsupported("instruction pointer left the code object"), SourceSpan{0, 0, 0, 0}});

#undef TW_FAIL
#undef TW_NEXT
#undef TW_FAST_NEXT
#undef TW_FAST_DISPATCH
#undef TW_DISPATCH
}

#undef TW_DISPATCH_TABLE

namespace {

PyResult<Value> pop_value(ExecState& st, const Cursor& cursor, bool underflow = false) {
    if (st.values.size() <= cursor.value_base) return fail(underflow ? underflow_error() : stack_effect_error());
    Value v = st.values.back();
    st.values.pop_back();
    return v;
}

// The top n values, deepest first, taken off the stack.
PyResult<std::vector<Value>> pop_values(ExecState& st, const Cursor& cursor, std::uint64_t n) {
    if (st.values.size() - cursor.value_base < n) return fail(stack_effect_error());
    std::vector<Value> out(st.values.end() - std::ptrdiff_t(n), st.values.end());
    st.values.resize(st.values.size() - n);
    return out;
}


PyResult<StepOutcome> unpack_sequence(RuntimeContext& ctx, const Cursor& cursor, const Instruction& in) {
    ExecState& st = ctx.exec;
    TRY_ASSIGN(handed, vm::hand_over_unpack_sequence(ctx, cursor.ip, in.a, in.b != kNoIndex));
    if (handed) return *handed;
    TRY_ASSIGN(seq, pop_value(st, cursor));
    ctx.heap.push_root(seq);
    std::uint64_t count = in.a;
    bool starred = in.b != kNoIndex;
    std::vector<Value> items;
    const HeapSlot* slot = ctx.heap.get_if_object(seq);
    if (slot && (slot->kind() == HeapObjectKind::List || slot->kind() == HeapObjectKind::Tuple)) {
        items = *sequence_items(slot->object);
    } else {
        TRY_ASSIGN(all, vm::collect_iterable(ctx, seq));
        items = std::move(all);
    }
    if (!starred) {
        if (items.size() > count) return fail(PyError::value_error(fmt::format("too many values to unpack (expected {})", count)));
        if (items.size() < count)
            return fail(PyError::value_error(
                fmt::format("not enough values to unpack (expected {}, got {})", count, items.size())));
        for (std::uint64_t i = count; i-- > 0;) st.values.push_back(items[i]);
        return StepOutcome::of(StepOutcome::Next);
    }
    std::uint64_t star = in.b;
    if (items.size() < count - 1)
        return fail(PyError::value_error(
            fmt::format("not enough values to unpack (expected at least {}, got {})", count - 1, items.size())));
    std::uint64_t after = count - 1 - star;
    std::vector<Value> middle(items.begin() + std::ptrdiff_t(star), items.end() - std::ptrdiff_t(after));
    TRY_ASSIGN(list, vm::new_list(ctx, std::move(middle)));
    std::vector<Value> out;
    out.reserve(count);
    for (std::uint64_t i = 0; i < star; ++i) out.push_back(items[i]);
    out.push_back(list);
    for (std::uint64_t i = items.size() - after; i < items.size(); ++i) out.push_back(items[i]);
    for (std::uint64_t i = out.size(); i-- > 0;) st.values.push_back(out[i]);
    return StepOutcome::of(StepOutcome::Next);
}

PyResult<StepOutcome> build_dict(RuntimeContext& ctx, const Cursor& cursor, const CodeObject& code, std::uint32_t index) {
    ExecState& st = ctx.exec;
    const std::vector<std::uint8_t>& flags = code.flag_lists.at(index);
    std::uint64_t n = 0;
    for (std::uint8_t f : flags) n += f ? 1 : 2;
    TRY_ASSIGN(values, pop_values(st, cursor, n));
    for (const Value& v : values) ctx.heap.push_root(v);
    std::vector<std::pair<Value, Value>> pairs;
    std::size_t at = 0;
    for (std::uint8_t f : flags) {
        if (!f) {
            pairs.emplace_back(values[at], values[at + 1]);
            at += 2;
            continue;
        }
        Value m = values[at++];
        TRY_ASSIGN(mapped, mapping_view(ctx, m));
        if (!mapped) {
            TRY_ASSIGN(name, vm::type_name(ctx, m));
            return fail(PyError::type_error(fmt::format("'{}' object is not a mapping", name)));
        }
        pairs.insert(pairs.end(), mapped->begin(), mapped->end());
    }
    TRY_ASSIGN(d, vm::new_dict(ctx, pairs));
    st.values.push_back(d);
    return StepOutcome::of(StepOutcome::Next);
}

PyResult<StepOutcome> build_unpacked(RuntimeContext& ctx, const Cursor& cursor, const CodeObject& code,
                                     const Instruction& in) {
    ExecState& st = ctx.exec;
    const std::vector<std::uint8_t>& flags = code.flag_lists.at(in.a);
    TRY_ASSIGN(handed, vm::hand_over_build_unpacked(ctx, cursor.ip, flags, in.flag));
    if (handed) return *handed;
    TRY_ASSIGN(values, pop_values(st, cursor, flags.size()));
    for (const Value& v : values) ctx.heap.push_root(v);
    std::vector<Value> items;
    for (std::size_t i = 0; i < flags.size(); ++i) {
        if (!flags[i]) {
            items.push_back(values[i]);
            continue;
        }
        TRY_ASSIGN(more, vm::collect_iterable(ctx, values[i]));
        items.insert(items.end(), more.begin(), more.end());
    }
    PyResult<Value> r = in.flag == 0   ? vm::new_list(ctx, std::move(items))
                        : in.flag == 1 ? vm::new_tuple(ctx, std::move(items))
                                       : vm::new_set(ctx, items, false);
    if (!r) return fail(std::move(r.error()));
    st.values.push_back(*r);
    return StepOutcome::of(StepOutcome::Next);
}

PyResult<Value> enclosing_scope(RuntimeContext& ctx, std::uint32_t hops) {
    const Frame& f = ctx.exec.frames.back();
    Value scope = f.scope;
    if (!f.own_scope) {
        if (hops == 0) return fail(PyError::unsupported("invalid enclosing scope hop count"));
        --hops;
    }
    for (; hops > 0; --hops) {
        TRY_ASSIGN(ns, scope_of(ctx.heap, scope));
        if (!ns->parent) return Value::absent();
        scope = *ns->parent;
    }
    return scope;
}

PyStatus store_nonlocal(RuntimeContext& ctx, Symbol s, Value v) {
    TRY_ASSIGN(scope, enclosing_scope(ctx, 1));
    while (scope.is_present()) {
        auto slot = ctx.heap.slot_mut(scope);
        if (!slot) return fail(std::move(slot.error()));
        auto* payload = std::get_if<NamespacePayload>(&(*slot)->object);
        if (!payload) return fail(PyError::unsupported("invalid scope reference"));
        Namespace& ns = *payload->scope;
        if (auto i = Namespace::slot_index(ns.slot_names.get(), s); i && *i < ns.slots.size()) {
            ns.slots[*i] = v;
            return {};
        }
        if (Value* e = ns.get(s)) {
            *e = v;
            return {};
        }
        if (!ns.parent) break;
        scope = *ns.parent;
    }
    return fail(PyError::unsupported(fmt::format("no binding for nonlocal {} found", ctx.heap.symbols.name_of(s))));
}

// The class called by `raise C`: instantiated here so the raise sees an instance.
PyStatus instantiate_raised_class(RuntimeContext& ctx, const Cursor& cursor) {
    ExecState& st = ctx.exec;
    if (st.values.size() <= cursor.value_base) return {};
    Value top = st.values.back();
    const HeapSlot* slot = ctx.heap.get_if_object(top);
    if (!slot || slot->kind() != HeapObjectKind::Class) return {};
    TRY_ASSIGN(instance, vm::call_immediate(ctx, top, {}, {}));
    st.values.back() = instance;
    return {};
}

PyResult<StepOutcome> execute_other(RuntimeContext& ctx, Cursor& cursor, const Instruction& in, std::uint64_t& steps) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    const CodeObject& code = *cursor.code;
    Frame& frame = st.frames.back();
    auto push = [&](Value v) { st.values.push_back(v); };
    const StepOutcome next = StepOutcome::of(StepOutcome::Next);
    switch (in.op) {
        case PyOpcode::LoadName: {
            if (heap.symbols.name_of(in.a) == "__class__") {
                auto pair = vm::load_dunder_class(ctx);
                if (!pair) return fail(PyError::unsupported("__class__ is only defined inside a class method body"));
                push(pair->first);
                return next;
            }
            TRY_ASSIGN(v, scope_get_symbol(heap, frame.scope, in.a));
            if (v) {
                push(*v);
                return next;
            }
            if (frame.class_body || frame.scope != frame.globals) {
                auto ns = scope_of(heap, frame.globals);
                if (ns) {
                    if (const Value* g = (*ns)->get(in.a)) {
                        push(heap.clone_value(*g));
                        return next;
                    }
                }
            }
            TRY_DO(vm::push_builtin_name(ctx, in.a));
            return next;
        }
        case PyOpcode::StoreName:
        case PyOpcode::StoreGlobal: {
            TRY_ASSIGN(v, pop_value(st, cursor));
            heap.push_root(v);
            Value target = in.op == PyOpcode::StoreName && frame.own_scope ? frame.scope : frame.globals;
            TRY_DO(vm::store_scope_name(ctx, target, in.a, v));
            return next;
        }
        case PyOpcode::StoreEnclosing: {
            TRY_ASSIGN(v, pop_value(st, cursor));
            heap.push_root(v);
            TRY_ASSIGN(scope, enclosing_scope(ctx, in.b));
            if (scope.is_absent()) return fail(PyError::unsupported("invalid enclosing scope hop count"));
            TRY_DO(vm::store_scope_name(ctx, scope, in.a, v));
            return next;
        }
        case PyOpcode::StoreNonlocal: {
            TRY_ASSIGN(v, pop_value(st, cursor));
            TRY_DO(store_nonlocal(ctx, in.a, v));
            return next;
        }
        case PyOpcode::DeleteName:
        case PyOpcode::DeleteGlobal: {
            Value target = in.op == PyOpcode::DeleteName && frame.own_scope ? frame.scope : frame.globals;
            TRY_DO(vm::delete_scope_name(ctx, target, in.a));
            return next;
        }
        case PyOpcode::DeleteFast: {
            if (cursor.locals == Cursor::Locals::Fast) {
                std::uint64_t i = std::uint64_t(cursor.locals_base) + in.a;
                if (i >= st.locals.size()) return fail(PyError::unsupported("invalid local slot"));
                st.locals[i] = Value::absent();
            } else if (cursor.locals == Cursor::Locals::Heap) {
                TRY_ASSIGN(slot, heap.slot_mut(frame.scope));
                auto* payload = std::get_if<NamespacePayload>(&slot->object);
                if (!payload) return fail(PyError::unsupported("invalid scope reference"));
                if (in.a >= payload->scope->slots.size()) return fail(PyError::unsupported("invalid local slot"));
                payload->scope->slots[in.a] = Value::absent();
            } else {
                return fail(PyError::unsupported("local bytecode requires local slots"));
            }
            return next;
        }
        case PyOpcode::LoadAttr: {
            TRY_ASSIGN(obj, pop_value(st, cursor));
            heap.push_root(obj);
            TRY_ASSIGN(v, vm::load_attribute(ctx, obj, in.a));
            push(v);
            return next;
        }
        case PyOpcode::LoadMethod: {
            TRY_ASSIGN(obj, pop_value(st, cursor, true));
            heap.push_root(obj);
            TRY_ASSIGN(pair, vm::load_method(ctx, obj, in.a));
            push(pair.first);
            push(pair.second);
            return next;
        }
        case PyOpcode::StoreAttr: {
            TRY_ASSIGN(obj, pop_value(st, cursor));
            TRY_ASSIGN(v, pop_value(st, cursor));
            heap.push_root(obj), heap.push_root(v);
            TRY_DO(vm::store_attribute(ctx, obj, in.a, v));
            return next;
        }
        case PyOpcode::DeleteAttr: {
            TRY_ASSIGN(obj, pop_value(st, cursor));
            heap.push_root(obj);
            TRY_DO(vm::delete_attribute(ctx, obj, in.a));
            return next;
        }
        case PyOpcode::LoadSubscr: {
            TRY_ASSIGN(key, pop_value(st, cursor));
            TRY_ASSIGN(container, pop_value(st, cursor));
            heap.push_root(key), heap.push_root(container);
            TRY_ASSIGN(v, vm::subscript(ctx, container, key));
            push(v);
            return next;
        }
        case PyOpcode::StoreSubscr: {
            TRY_ASSIGN(key, pop_value(st, cursor));
            TRY_ASSIGN(container, pop_value(st, cursor));
            TRY_ASSIGN(v, pop_value(st, cursor));
            heap.push_root(key), heap.push_root(container), heap.push_root(v);
            TRY_DO(vm::store_subscript(ctx, container, key, v));
            return next;
        }
        case PyOpcode::DeleteSubscr: {
            TRY_ASSIGN(key, pop_value(st, cursor));
            TRY_ASSIGN(container, pop_value(st, cursor));
            heap.push_root(key), heap.push_root(container);
            TRY_DO(vm::delete_subscript(ctx, container, key));
            return next;
        }
        case PyOpcode::BuildSlice: {
            Value parts[3] = {Value::none(), Value::none(), Value::none()};
            for (int i = 2; i >= 0; --i) {
                if (!(in.flag & (1 << i))) continue;
                TRY_ASSIGN(v, pop_value(st, cursor));
                parts[i] = v;
            }
            TRY_ASSIGN(s, heap.allocate_object(SlicePayload{parts[0], parts[1], parts[2]}, ctx.roots, ctx.machine.meter));
            push(s);
            return next;
        }
        case PyOpcode::BuildList:
        case PyOpcode::BuildTuple:
        case PyOpcode::BuildSet: {
            TRY_ASSIGN(items, pop_values(st, cursor, in.a));
            for (const Value& v : items) heap.push_root(v);
            PyResult<Value> r = in.op == PyOpcode::BuildList    ? vm::new_list(ctx, std::move(items))
                                : in.op == PyOpcode::BuildTuple ? vm::new_tuple(ctx, std::move(items))
                                                                : vm::new_set(ctx, items, false);
            if (!r) return fail(std::move(r.error()));
            push(*r);
            return next;
        }
        case PyOpcode::BuildDict: return build_dict(ctx, cursor, code, in.a);
        case PyOpcode::BuildUnpacked: return build_unpacked(ctx, cursor, code, in);
        case PyOpcode::UnpackSequence: return unpack_sequence(ctx, cursor, in);
        case PyOpcode::MakeFunction: {
            const FunctionInfo& info = code.functions.at(in.a);
            if (st.values.size() - cursor.value_base < info.default_count)
                return fail(PyError::unsupported("invalid bytecode stack effect while creating function"));
            TRY_ASSIGN(defaults, pop_values(st, cursor, info.default_count));
            for (const Value& v : defaults) heap.push_root(v);
            TRY_ASSIGN(f, vm::make_function(ctx, info, std::move(defaults)));
            push(f);
            return next;
        }
        case PyOpcode::MakeClass: {
            const ClassInfo& info = code.classes.at(in.a);
            Value metaclass = Value::absent();
            if (info.has_metaclass) {
                TRY_ASSIGN(m, pop_value(st, cursor));
                metaclass = m;
            }
            TRY_ASSIGN(bases, pop_values(st, cursor, info.base_count));
            for (const Value& v : bases) heap.push_root(v);
            heap.push_root(metaclass);
            if (steps != 0) {
                ctx.machine.meter.charge_cpu(steps);
                steps = 0;
            }
            sync_cursor(cursor, st);
            TRY_ASSIGN(cls, vm::make_class(ctx, info, std::move(bases), metaclass));
            push(cls);
            return next;
        }
        case PyOpcode::FormatValue: {
            const FormatFieldInfo& f = code.format_fields.at(in.a);
            TRY_ASSIGN(v, pop_value(st, cursor));
            heap.push_root(v);
            TRY_ASSIGN(text, vm::format_field(ctx, v, f.conversion, f.spec));
            push(text);
            return next;
        }
        case PyOpcode::GetIter: {
            TRY_ASSIGN(v, pop_value(st, cursor));
            heap.push_root(v);
            TRY_ASSIGN(it, vm::get_iterator(ctx, v));
            push(it);
            return next;
        }
        case PyOpcode::UnaryOp: {
            TRY_ASSIGN(a, pop_value(st, cursor));
            heap.push_root(a);
            auto fast = unary_fast(heap, in.flag, a);
            if (!fast) return fail(std::move(fast.error()));
            if (*fast) {
                push(**fast);
                return next;
            }
            TRY_ASSIGN(r, vm::unary_operation(ctx, in.flag, a));
            push(r);
            return next;
        }
        case PyOpcode::ExprStatement: {
            TRY_ASSIGN(v, pop_value(st, cursor));
            // Only the interactive input's own statements echo, not those of the modules it
            // imports or the functions it calls.
            if (ctx.echo && !v.is_none() && st.frames.size() == 1) {
                heap.push_root(v);
                TRY_ASSIGN(text, vm::repr_text(ctx, v));
                text += '\n';
                TRY_DO(vm::write_stdout(ctx, text));
            }
            return next;
        }
        case PyOpcode::Halt: {
            if (frame.kind.tag == FrameKindTag::Call) {
                vm::pop_frame(st);
                push(Value::none());
                return StepOutcome::of(StepOutcome::Refresh);
            }
            sync_cursor(cursor, st);
            return StepOutcome::of(StepOutcome::Halt);
        }
        case PyOpcode::RaiseSyntaxError:
            return fail(PyError::unsupported(code.syntax_messages.at(in.a)));
        case PyOpcode::RaiseAssertionError: sync_cursor(cursor, st); return vm::raise_assertion_error(ctx);
        case PyOpcode::SetupExcept:
            st.handlers.push_back(HandlerRecord{in.a, st.values.size(), st.active_exceptions.size()});
            return next;
        case PyOpcode::PopBlock:
            if (st.handlers.size() <= frame.handler_base) {
                // Not raised inside the program: the slice ends with it.
                return fail(PyError::unsupported("invalid bytecode exception handler"));
            }
            st.handlers.pop_back();
            return next;
        case PyOpcode::ExceptionMatch: {
            if (st.active_exceptions.empty()) return fail(no_active_exception());
            if (!in.flag) {
                push(Value::from_bool(true));
                return next;
            }
            TRY_ASSIGN(type, pop_value(st, cursor));
            heap.push_root(type);
            TRY_ASSIGN(m, vm::exception_matches_spec(ctx, type, heap.clone_value(st.active_exceptions.back())));
            push(Value::from_bool(m));
            return next;
        }
        case PyOpcode::PopExcept:
            if (st.active_exceptions.size() <= frame.exc_base) return fail(no_active_exception());
            st.active_exceptions.pop_back();
            return next;
        case PyOpcode::Reraise:
            if (st.active_exceptions.empty()) return fail(no_active_exception());
            st.pending_exception = heap.clone_value(st.active_exceptions.back());
            return fail(PyError::raised());
        case PyOpcode::Raise: {
            if (in.flag) TRY_DO(instantiate_raised_class(ctx, cursor));
            return fail(raise_exception(vm::interp(ctx), ctx.machine.meter, in.flag != 0, nullptr));
        }
        case PyOpcode::RaiseFrom: {
            if (st.values.size() < std::size_t(cursor.value_base) + 2) return fail(stack_effect_error());
            Value cause = st.values.back();
            st.values.pop_back();
            TRY_DO(instantiate_raised_class(ctx, cursor));
            st.values.push_back(cause);
            return fail(raise_exception_from(vm::interp(ctx), ctx.machine.meter, nullptr));
        }
        case PyOpcode::WithEnter: sync_cursor(cursor, st); return vm::with_enter(ctx);
        case PyOpcode::WithExit: sync_cursor(cursor, st); return vm::with_exit(ctx);
        case PyOpcode::WithExceptExit: sync_cursor(cursor, st); return vm::with_except_exit(ctx);
        case PyOpcode::ImportModule: sync_cursor(cursor, st); TRY_DO(vm::import_module(ctx, std::string(heap.symbols.name_of(in.a)), in.flag)); return next;
        case PyOpcode::ImportFrom: sync_cursor(cursor, st); TRY_DO(vm::import_from(ctx, in.a)); return next;
        case PyOpcode::ImportStar: sync_cursor(cursor, st); TRY_DO(vm::import_star(ctx)); return next;
        case PyOpcode::YieldValue: {
            TRY_ASSIGN(v, pop_value(st, cursor));
            sync_cursor(cursor, st);
            return vm::yield_value(ctx, v, cursor.ip + 1);
        }
        case PyOpcode::YieldFrom: sync_cursor(cursor, st); return vm::yield_from(ctx, cursor.ip, in.a);
        case PyOpcode::ResumeAwait: return vm::resume_await(ctx);
        case PyOpcode::AsyncWithExceptExit: sync_cursor(cursor, st); return vm::async_with_except_exit(ctx);
        case PyOpcode::AsyncWithExceptResult: return vm::async_with_except_result(ctx);
        default:
            return fail(PyError::unsupported(
                fmt::format("instruction {} is not supported by the interpreter yet", opcode_name(in.op))));
    }
}

}  // namespace

}  // namespace tw::py
