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
#include "python/vm/statements.h"
#include "python/vm/imports.h"
#include "python/types/mapping_types.h"
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
[[gnu::always_inline]] inline void push_value(std::vector<Value>& stack, const Value& v) { stack.push_back(v); }

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
// takes the general path.
bool push_plain_call(ExecState& st, const Heap& heap, const CodeObject& code, SiteEntry* site, const Instruction& in) {
    constexpr std::uint32_t kPlainCallSite = 5;
    if (in.a >= code.call_sites.size()) return false;
    const CallSiteInfo& info = code.call_sites[in.a];
    std::uint64_t npos = info.positional_count;
    if (!site || site->kind != kPlainCallSite) {
        if (!info.keyword_names.empty() || info.flags.size() != npos) return false;
        for (std::uint8_t f : info.flags)
            if (f) return false;
        if (!site) return false;
        site->kind = kPlainCallSite;
    }
    std::vector<Value>& stack = st.values;
    const std::uint64_t value_base = st.frames.back().value_base;
    if (stack.size() < value_base + npos + 1) return false;
    bool drop_marker = false;
    if (in.op == PyOpcode::CallMethod) {
        if (npos == 0) return false;
        Value r = stack[stack.size() - npos];
        drop_marker = r.is_native() && r.native_kind() == NativeKind::NoReceiver;
    }
    const std::uint64_t callee_at = stack.size() - npos - 1;
    Value callee = stack[callee_at];
    if (!callee.is_object()) return false;
    const HeapSlot* slot = heap.resolve(callee.handle());
    if (!slot || slot->kind() != HeapObjectKind::Function) return false;
    const FunctionRecord* rec = std::get<FunctionPayload>(slot->object).record.get();
    const CodeObject& target = *rec->code;
    const std::uint64_t given = npos - (drop_marker ? 1 : 0);
    if (given != target.positional_count || target.parameters.size() != given || target.vararg_index ||
        target.kwarg_index || target.needs_scope || target.has_yield || target.is_async ||
        st.call_depth >= ExecState::kMaxCallDepth)
        return false;
    const std::uint64_t nlocals = target.local_names ? target.local_names->size() : given;
    if (nlocals < given) return false;
    const std::uint64_t locals_base = st.locals.size();
    // Stack heights beyond the frame's 32-bit fields are the general path's error.
    if ((st.active_exceptions.size() | callee_at | st.handlers.size() | st.with_stack.size() | locals_base) >
        std::numeric_limits<std::uint32_t>::max())
        return false;
    for (std::uint64_t i = stack.size() - given; i < stack.size(); ++i) push_value(st.locals, stack[i]);
    for (std::uint64_t i = given; i < nlocals; ++i) push_value(st.locals, Value::absent());
    stack.erase(stack.begin() + std::ptrdiff_t(callee_at), stack.end());
    if (!st.push_call_frame(&target, locals_base, rec->closure, rec->globals, callee))
        panic("a plain call frame fits the frame index range");
    ++st.call_depth;
    return true;
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

// The loop itself; `steps` is the wrapper's local copy of the caller's counter, so that it can
// stay in a register (the calls it makes see a copy).
[[gnu::always_inline]] inline SliceResult dispatch_loop(RuntimeContext& ctx, Cursor& cursor, std::uint64_t budget,
                                                        std::uint64_t& steps) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    ResourceMeter& meter = ctx.machine.meter;
    std::vector<Value>& stack = st.values;
    const CodeObject* code = cursor.code;
    std::uint64_t started = 0;
    Interpreter& interpreter = vm::interp(ctx);
    if (interpreter.class_symbol == kNoSymbol && interpreter.class_symbol_seen != heap.symbols.size()) {
        interpreter.class_symbol_seen = heap.symbols.size();
        interpreter.class_symbol = heap.symbols.lookup("__class__").value_or(kNoSymbol);
    }
    const Symbol class_symbol = interpreter.class_symbol;
    // The site cache of the code run, without a call when it is already made.
    auto site_cache_of = [&interpreter](const CodeObject& c) {
        if (c.id < interpreter.site_caches.size()) {
            std::vector<SiteEntry>& entries = interpreter.site_caches[c.id];
            if (entries.size() == c.instructions.size()) return entries.data();
        }
        return interpreter.site_cache(c);
    };
    SiteEntry* cache = site_cache_of(*code);
    // The top frame changed: the cursor, the code and its site cache follow it.
    auto refresh = [&] {
        cursor.refresh(st.frames);
        code = cursor.code;
        cache = site_cache_of(*code);
    };

    auto pop = [&](Value& out) {
        if (stack.size() <= cursor.value_base) return false;
        out = stack.back();
        stack.pop_back();
        return true;
    };

    for (;;) {
        if (started == budget) {
            sync_cursor(cursor, st);
            return StepOutcome::of(StepOutcome::Pending);
        }
        ++started;
        if (meter.stop_reason()) return StepOutcome::exit(vm::kBudgetStopStatus);
        if (interpreter.fresh_str.is_present()) [[unlikely]] {
            if (cursor.ip >= cursor.end || !keeps_fresh_str(*code, cursor.ip, st.frames.back().own_scope))
                interpreter.fresh_str = Value::absent();
        }
        ++steps;
        if (heap.root_depth() != ctx.scope_depth) ctx.exit_scope();
        if (cursor.ip >= cursor.end) [[unlikely]]
            return std::unexpected(SliceFailure{PyError::unsupported("instruction pointer left the code object"),
                                                SourceSpan{0, 0, 0, 0}});
        PyError error;
        if (st.deadline.armed) [[unlikely]] {
            const Deadline& d = st.deadline;
            std::uint64_t now = ctx.machine.clock.now_ns();
            std::uint64_t clock_elapsed = now > d.start_clock_ns ? now - d.start_clock_ns : 0;
            std::uint64_t work = meter.cpu_used() > std::numeric_limits<std::uint64_t>::max() / 1000
                                     ? std::numeric_limits<std::uint64_t>::max()
                                     : meter.cpu_used() * 1000;
            std::uint64_t work_elapsed = work > d.start_work ? work - d.start_work : 0;
            if (std::max(clock_elapsed, work_elapsed) >= d.timeout_ns) {
                st.deadline.armed = false;
                error = PyError::exception("Failed", "test timed out");
                goto raise;
            }
        }
        {
        const Instruction& in = code->instructions[cursor.ip];
        Value a, b;
        switch (in.op) {
            case PyOpcode::LoadConst: {
                const CodeConstant& c = code->constants[in.a];
                if (c.kind == ConstantKind::Int) {
                    push_value(stack, Value::from_int(c.int_value));
                } else {
                    auto v = load_constant(ctx, c);
                    if (!v) { error = std::move(v.error()); break; }
                    push_value(stack, *v);
                }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::LoadFast: {
                if (cursor.locals == Cursor::Locals::Fast) {
                    std::uint64_t i = std::uint64_t(cursor.locals_base) + in.a;
                    if (i >= st.locals.size() || st.locals[i].is_absent()) [[unlikely]] { error = unbound_local(); break; }
                    push_value(stack, st.locals[i]);
                } else if (cursor.locals == Cursor::Locals::Heap) {
                    auto ns = scope_of(heap, st.frames.back().scope);
                    if (!ns) { error = std::move(ns.error()); break; }
                    if (in.a >= (*ns)->slots.size()) { error = PyError::unsupported("invalid local slot"); break; }
                    if ((*ns)->slots[in.a].is_absent()) { error = unbound_local(); break; }
                    push_value(stack, heap.clone_value((*ns)->slots[in.a]));
                } else {
                    error = PyError::unsupported("local bytecode requires local slots");
                    break;
                }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::StoreFast: {
                if (!pop(a)) { error = stack_effect_error(); break; }
                if (cursor.locals == Cursor::Locals::Fast) {
                    std::uint64_t i = std::uint64_t(cursor.locals_base) + in.a;
                    if (i >= st.locals.size()) { error = PyError::unsupported("invalid local slot"); break; }
                    st.locals[i] = a;
                } else if (cursor.locals == Cursor::Locals::Heap) {
                    auto slot = heap.slot_mut(st.frames.back().scope);
                    if (!slot) { error = std::move(slot.error()); break; }
                    auto* payload = std::get_if<NamespacePayload>(&(*slot)->object);
                    if (!payload) { error = PyError::unsupported("invalid scope reference"); break; }
                    if (in.a >= payload->scope->slots.size()) { error = PyError::unsupported("invalid local slot"); break; }
                    payload->scope->slots[in.a] = a;
                } else {
                    error = PyError::unsupported("local bytecode requires local slots");
                    break;
                }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::LoadName: {
                // The scope chain of the frame; what it misses (globals of a class body, builtins,
                // __class__) is the general path's.
                if (in.a != class_symbol) {
                    const Value* found = nullptr;
                    Value scope = st.frames.back().scope;
                    // The site cache: an entry of the frame's own scope (one without slots) at a
                    // known position.
                    SiteEntry* site = cache ? &cache[cursor.ip] : nullptr;
                    const HeapSlot* first = scope.is_object() ? heap.resolve(scope.handle()) : nullptr;
                    const auto* first_payload = first ? std::get_if<NamespacePayload>(&first->object) : nullptr;
                    const bool slotless = first_payload && (!first_payload->scope->slot_names ||
                                                            first_payload->scope->slot_names->empty());
                    if (slotless && site && site->kind == 4 && site->key == scope.handle().bits() &&
                        site->symbol == in.a) {
                        const auto& entries = first_payload->scope->entries();
                        if (site->slot <= entries.size() && entries[site->slot - 1].symbol == in.a) {
                            push_value(stack, entries[site->slot - 1].value);
                            ++cursor.ip;
                            continue;
                        }
                    }
                    if (slotless && site) {
                        if (auto pos = first_payload->scope->index_of(in.a)) {
                            site->key = scope.handle().bits();
                            site->slot = std::uint32_t(*pos) + 1;
                            site->kind = 4;
                            site->symbol = in.a;
                            push_value(stack, first_payload->scope->entries()[*pos].value);
                            ++cursor.ip;
                            continue;
                        }
                    }
                    bool searched = false;  // the whole chain, without finding the name
                    for (;;) {
                        const HeapSlot* s = scope.is_object() ? heap.resolve(scope.handle()) : nullptr;
                        const auto* payload = s ? std::get_if<NamespacePayload>(&s->object) : nullptr;
                        if (!payload) break;
                        const Namespace& ns = *payload->scope;
                        if ((found = ns.find(in.a))) break;
                        if (!ns.parent) {
                            searched = true;
                            break;
                        }
                        scope = *ns.parent;
                    }
                    if (found) {
                        push_value(stack, *found);
                        ++cursor.ip;
                        continue;
                    }
                    // Module-level code: the chain was the globals, next come the builtins.
                    const Frame& frame = st.frames.back();
                    if (searched && !frame.class_body && frame.scope == frame.globals) {
                        if (auto pushed = vm::push_builtin_name(ctx, in.a); !pushed) {
                            error = std::move(pushed.error());
                            break;
                        }
                        ++cursor.ip;
                        continue;
                    }
                }
                std::uint64_t counted = steps;
                auto outcome = execute_other(ctx, cursor, in, counted);
                steps = counted;
                if (!outcome) { error = std::move(outcome.error()); break; }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::LoadGlobal: {
                SiteEntry* site = cache ? &cache[cursor.ip] : nullptr;
                if (site && site->slot) {
                    const Value globals = st.frames.back().globals;
                    const HeapSlot* gs = globals.is_object() ? heap.resolve(globals.handle()) : nullptr;
                    const auto* payload = gs ? std::get_if<NamespacePayload>(&gs->object) : nullptr;
                    if (payload) {
                        const auto& entries = payload->scope->entries();
                        if (site->slot <= entries.size() && entries[site->slot - 1].symbol == in.a) {
                            push_value(stack, entries[site->slot - 1].value);
                            ++cursor.ip;
                            continue;
                        }
                    }
                }
                auto ns = scope_of(heap, st.frames.back().globals);
                if (!ns) { error = std::move(ns.error()); break; }
                const Value* v = (*ns)->get(in.a);
                if (v) {
                    if (site)
                        if (auto pos = (*ns)->index_of(in.a)) site->slot = std::uint32_t(*pos) + 1;
                    push_value(stack, heap.clone_value(*v));
                } else if (auto pushed = vm::push_builtin_name(ctx, in.a); !pushed) {
                    error = std::move(pushed.error());
                    break;
                }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::LoadAttr:
            case PyOpcode::LoadMethod:
            case PyOpcode::StoreAttr: {
                // The attribute site cache: an instance's own attribute at a known position, or a
                // function its class binds, for one type at one attribute epoch.
                SiteEntry* site = cache ? &cache[cursor.ip] : nullptr;
                std::size_t need = in.op == PyOpcode::StoreAttr ? 2 : 1;
                if (site && site->key && stack.size() >= std::size_t(cursor.value_base) + need) {
                    Value obj = stack.back();
                    const HeapSlot* s = obj.is_object() ? heap.resolve(obj.handle()) : nullptr;
                    if (s && site->kind == 3 && in.op == PyOpcode::LoadMethod && site->symbol == in.a &&
                        site->key == std::uint64_t(s->type_id) << 32) {
                        stack.back() = site->value;
                        push_value(stack, obj);
                        ++cursor.ip;
                        continue;
                    }
                    if (s && s->kind() == HeapObjectKind::Object && site->symbol == in.a &&
                        site->key == (std::uint64_t(s->type_id) << 32 | (interpreter.attribute_epoch & 0xFFFFFFFF))) {
                        const AttributeStore* attrs = s->attributes ? s->attributes.get() : nullptr;
                        if (site->kind == 1 && attrs && !attrs->dictionary &&
                            attrs->shape == std::uint64_t(site->value.as_int()) && site->slot < attrs->shaped_values.size()) {
                            if (in.op == PyOpcode::StoreAttr) {
                                Value v = stack[stack.size() - 2];
                                heap.slot_mut_resolved(s).attributes->shaped_values[site->slot] = v;
                                stack.resize(stack.size() - 2);
                            } else if (in.op == PyOpcode::LoadAttr) {
                                stack.back() = attrs->shaped_values[site->slot];
                            } else {
                                stack.back() = attrs->shaped_values[site->slot];
                                push_value(stack, intern_static_definition(StaticDefinition::of(DefinitionTag::NoReceiver)));
                            }
                            ++cursor.ip;
                            continue;
                        }
                        if (site->kind == 2 && in.op == PyOpcode::LoadMethod) {
                            // The instance must not hold the name itself; `slot` remembers a
                            // shape (+ 1) already seen without it.
                            const AttributeStore* attrs = s->attributes ? s->attributes.get() : nullptr;
                            bool shadowed = false;
                            if (attrs && (attrs->dictionary || site->slot != std::uint64_t(attrs->shape) + 1)) {
                                auto own = instance_get_attr(heap, obj, in.a);
                                shadowed = !own || *own;
                                if (!shadowed && !attrs->dictionary && attrs->shape < 0xFFFFFFFFu &&
                                    !heap.shapes.slot_of(attrs->shape, in.a))
                                    site->slot = attrs->shape + 1;
                            }
                            if (!shadowed) {
                                stack.back() = site->value;
                                push_value(stack, obj);
                                ++cursor.ip;
                                continue;
                            }
                        }
                    }
                }
                Value obj = stack.size() > cursor.value_base ? stack.back() : Value::absent();
                heap.push_root(obj);
                std::uint64_t counted = steps;
                auto outcome = execute_other(ctx, cursor, in, counted);
                steps = counted;
                if (!outcome) { error = std::move(outcome.error()); break; }
                if (site) vm::record_attribute_site(ctx, *site, obj, in.a, in.op == PyOpcode::LoadMethod ? stack[stack.size() - 2] : Value::absent(),
                                                    in.op == PyOpcode::LoadMethod && stack.back() == obj);
                ++cursor.ip;
                continue;
            }
            case PyOpcode::StoreName:
            case PyOpcode::StoreGlobal: {
                // A name already bound at the cached position of a namespace without slots is
                // rebound in place. StoreName stores into the frame's own namespace when it has
                // one, else into the globals.
                const Frame& frame = st.frames.back();
                const Value target = in.op == PyOpcode::StoreName && frame.own_scope ? frame.scope : frame.globals;
                SiteEntry* site = cache ? &cache[cursor.ip] : nullptr;
                if (site && site->slot && stack.size() > cursor.value_base) {
                    const HeapSlot* gs = target.is_object() ? heap.resolve(target.handle()) : nullptr;
                    const auto* payload = gs ? std::get_if<NamespacePayload>(&gs->object) : nullptr;
                    if (payload && site->key == target.handle().bits() &&
                        (!payload->scope->slot_names || payload->scope->slot_names->empty()) &&
                        site->slot <= payload->scope->entries().size() &&
                        payload->scope->entries()[site->slot - 1].symbol == in.a) {
                        std::get<NamespacePayload>(heap.slot_mut_resolved(gs).object).scope->entries_mut()[site->slot - 1].value =
                            stack.back();
                        stack.pop_back();
                        ++cursor.ip;
                        continue;
                    }
                }
                std::uint64_t counted = steps;
                auto outcome = execute_other(ctx, cursor, in, counted);
                steps = counted;
                if (!outcome) { error = std::move(outcome.error()); break; }
                if (site && target.is_object()) {
                    auto ns = scope_of(heap, target);
                    if (ns)
                        if (auto pos = (*ns)->index_of(in.a)) {
                            site->slot = std::uint32_t(*pos) + 1;
                            site->key = target.handle().bits();
                        }
                }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::BinaryOp:
            case PyOpcode::InplaceOp:
            case PyOpcode::CompareOp: {
                if (stack.size() < std::size_t(cursor.value_base) + 2) {
                    error = in.op == PyOpcode::CompareOp ? stack_effect_error() : underflow_error();
                    break;
                }
                b = stack.back();
                a = stack[stack.size() - 2];
                if (a.is_int() && b.is_int()) {
                    if (in.op == PyOpcode::CompareOp) {
                        bool t;
                        if (int_compare(in.flag, a.as_int(), b.as_int(), t)) {
                            stack.pop_back();
                            stack.back() = Value::from_bool(t);
                            ++cursor.ip;
                            continue;
                        }
                    } else {
                        std::int64_t r;
                        if (int_arith(in.flag, a.as_int(), b.as_int(), r)) {
                            stack.pop_back();
                            stack.back() = Value::from_int(r);
                            ++cursor.ip;
                            continue;
                        }
                    }
                }
                const bool append = in.op == PyOpcode::InplaceOp && a.is_object() &&
                                    is_append_pattern(*code, cursor.ip, st.frames.back().own_scope);
                if (append && a == interpreter.fresh_str) {
                    heap.push_root(a), heap.push_root(b);
                    auto done = append_in_place(ctx, a, b);
                    if (!done) { error = std::move(done.error()); break; }
                    if (*done) {
                        stack.pop_back();  // a stays, grown, for the store
                        ++cursor.ip;
                        continue;
                    }
                }
                stack.resize(stack.size() - 2);
                // Only two strs are joined without running code of the program.
                if (!is_str_value(heap, a) || !is_str_value(heap, b)) interpreter.fresh_str = Value::absent();
                std::optional<Value> r;
                if (in.op == PyOpcode::CompareOp) {
                    r = compare_fast(in.flag, a, b);
                    if (!r) {
                        auto slow = vm::compare_operation(ctx, in.flag, a, b);
                        if (!slow) { error = std::move(slow.error()); break; }
                        r = *slow;
                    }
                } else {
                    auto fast = binary_fast(in.flag, a, b);
                    if (!fast) { error = std::move(fast.error()); break; }
                    r = *fast;
                    if (!r) {
                        auto slow = vm::binary_operation(ctx, in.flag, a, b, in.op == PyOpcode::InplaceOp);
                        if (!slow) { error = std::move(slow.error()); break; }
                        r = *slow;
                    }
                }
                push_value(stack, *r);
                // Two strs joined into a new heap str that the next instruction stores: that
                // variable will hold its only reference.
                if (in.op == PyOpcode::InplaceOp && is_str_value(heap, a) && is_str_value(heap, b) && *r != a &&
                    *r != b && r->is_object() && is_append_pattern(*code, cursor.ip, st.frames.back().own_scope)) {
                    const HeapSlot* rs = heap.resolve(r->handle());
                    if (rs && rs->kind() == HeapObjectKind::Str) interpreter.fresh_str = *r;
                }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::PopJumpIfFalse:
            case PyOpcode::JumpIfFalseOrPop:
            case PyOpcode::JumpIfTrueOrPop: {
                if (stack.size() <= cursor.value_base) { error = stack_effect_error(); break; }
                Value top = stack.back();
                bool t;
                if (top.is_bool()) {
                    t = top.as_bool();
                } else {
                    auto truth = vm::truth(ctx, top);
                    if (!truth) { error = std::move(truth.error()); break; }
                    t = *truth;
                }
                if (in.op == PyOpcode::PopJumpIfFalse) {
                    stack.pop_back();
                    cursor.ip = t ? cursor.ip + 1 : in.a;
                } else if (t == (in.op == PyOpcode::JumpIfTrueOrPop)) {
                    cursor.ip = in.a;
                } else {
                    stack.pop_back();
                    ++cursor.ip;
                }
                continue;
            }
            case PyOpcode::Jump:
                cursor.ip = in.a;
                continue;
            case PyOpcode::PopTop:
                if (!pop(a)) { error = stack_effect_error(); break; }
                ++cursor.ip;
                continue;
            case PyOpcode::Copy:
                if (in.a == 0 || stack.size() - cursor.value_base < in.a) { error = PyError::unsupported("invalid bytecode copy depth"); break; }
                push_value(stack, stack[stack.size() - in.a]);
                ++cursor.ip;
                continue;
            case PyOpcode::Swap:
                if (in.a == 0 || stack.size() - cursor.value_base < in.a) { error = PyError::unsupported("invalid bytecode swap depth"); break; }
                std::swap(stack.back(), stack[stack.size() - in.a]);
                ++cursor.ip;
                continue;
            case PyOpcode::ForIter: {
                if (stack.size() <= cursor.value_base) { error = stack_effect_error(); break; }
                Value it = stack.back();
                // Range iterators and iterators over lists and tuples step in place.
                if (it.is_object()) {
                    const HeapSlot* s = heap.resolve(it.handle());
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
                                ++cursor.ip;
                            } else {
                                stack.pop_back();
                                cursor.ip = in.a;
                            }
                            continue;
                        }
                    }
                    if (s && s->kind() == HeapObjectKind::RangeIterator) {
                        auto& r = std::get<RangeIteratorPayload>(heap.slot_mut_resolved(s).object);
                        if (!r.exhausted && (r.step > 0 ? r.current < r.stop : r.current > r.stop)) {
                            push_value(stack, Value::from_int(r.current));
                            if (__builtin_add_overflow(r.current, r.step, &r.current)) r.exhausted = true;
                            ++cursor.ip;
                        } else {
                            r.exhausted = true;
                            stack.pop_back();
                            cursor.ip = in.a;
                        }
                        continue;
                    }
                }
                interpreter.fresh_str = Value::absent();
                sync_cursor(cursor, st);
                auto step = vm::for_iter_step(ctx, cursor.ip);
                if (!step) { error = std::move(step.error()); break; }
                switch (*step) {
                    case vm::ForIterStep::Continue: ++cursor.ip; continue;
                    case vm::ForIterStep::Exhausted: cursor.ip = in.a; continue;
                    case vm::ForIterStep::Resumed: refresh(); continue;
                    case vm::ForIterStep::Blocked: return StepOutcome::of(StepOutcome::Blocked);
                }
                continue;
            }
            case PyOpcode::Call:
            case PyOpcode::CallMethod: {
                if (steps != 0) {
                    meter.charge_cpu(steps);
                    steps = 0;
                }
                st.frames.back().ip = cursor.ip + 1;
                if (push_plain_call(st, heap, *code, cache ? &cache[cursor.ip] : nullptr, in)) {
                    refresh();
                    continue;
                }
                auto outcome = vm::call_site(ctx, *code, in.a, in.op == PyOpcode::CallMethod);
                if (!outcome) { error = std::move(outcome.error()); break; }
                switch (outcome->kind) {
                    case StepOutcome::Next: ++cursor.ip; continue;
                    case StepOutcome::Refresh:
                        refresh();
                        continue;
                    default: return *outcome;
                }
            }
            case PyOpcode::ReturnValue: {
                if (!pop(a)) { error = stack_effect_error(); break; }
                const Frame& f = st.frames.back();
                if (f.kind.tag == FrameKindTag::Call) {
                    // Nothing runs between the pop and the push: the value needs no root.
                    st.lower_water_marks(f);
                    st.frames.pop_back();
                    if (st.call_depth > 0) --st.call_depth;
                    push_value(stack, a);
                    refresh();
                    continue;
                }
                sync_cursor(cursor, st);
                if (f.kind.tag == FrameKindTag::Generator) {
                    auto done = vm::return_from_generator(ctx, a);
                    if (!done) { error = std::move(done.error()); break; }
                    if (done->kind != StepOutcome::Refresh) return *done;
                    refresh();
                    continue;
                }
                return StepOutcome::returning(a);
            }
            default: {
                std::uint64_t counted = steps;
                auto outcome = execute_other(ctx, cursor, in, counted);
                steps = counted;
                if (!outcome) { error = std::move(outcome.error()); break; }
                switch (outcome->kind) {
                    case StepOutcome::Next: ++cursor.ip; continue;
                    case StepOutcome::Jump: cursor.ip = outcome->target; continue;
                    case StepOutcome::Refresh:
                        refresh();
                        continue;
                    default: return *outcome;
                }
            }
        }
        }
    raise:
        // The instruction failed: unwind through the handlers and frames.
        sync_cursor(cursor, st);
        if (auto failure = vm::propagate_error(ctx, std::move(error), position_at(*code, cursor.ip)))
            return std::unexpected(std::move(*failure));
        refresh();
    }
}

}  // namespace

SliceResult dispatch_slice(RuntimeContext& ctx, Cursor& cursor, std::uint64_t budget, std::uint64_t& steps) {
    std::uint64_t counted = steps;
    SliceResult r = dispatch_loop(ctx, cursor, budget, counted);
    steps = counted;
    return r;
}

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
