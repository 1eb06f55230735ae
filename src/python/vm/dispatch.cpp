#include "python/vm/dispatch.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/truth.h"
#include "python/vm/namespace.h"

namespace tw::py {

namespace {

constexpr std::uint64_t kBudgetStopStatus = 137;
// Bytes a new entry adds to a namespace's modeled size.
constexpr std::uint64_t kNamespaceEntryBytes = 48;

PyError stack_effect_error() { return PyError::unsupported("invalid bytecode stack effect"); }
PyError unbound_local() { return PyError::unsupported("local variable referenced before assignment"); }
PyError name_error(const Heap& heap, Symbol s) {
    return PyError::exception("NameError", fmt::format("name '{}' is not defined", heap.symbols.name_of(s)));
}

// Binds `symbol` in the namespace `scope`, charging a new entry before it is made.
PyStatus store_scope_name(RuntimeContext& ctx, Value scope, Symbol symbol, Value v) {
    auto ns = scope_of(ctx.heap, scope);
    if (!ns) return fail(std::move(ns.error()));
    if (!(*ns)->get(symbol)) {
        if (auto grown = ctx.heap.update_object_size(scope, kNamespaceEntryBytes, ctx.roots, ctx.machine.meter); !grown)
            return grown;
    }
    auto slot = ctx.heap.slot_mut(scope);
    if (!slot) return fail(std::move(slot.error()));
    auto* payload = std::get_if<NamespacePayload>(&(*slot)->object);
    if (!payload) return fail(PyError::unsupported("invalid scope reference"));
    payload->scope->insert(symbol, v);
    return {};
}

PyResult<Value> load_constant(RuntimeContext& ctx, const CodeConstant& c) {
    switch (c.kind) {
        case ConstantKind::None: return Value::none();
        case ConstantKind::Bool: return Value::from_bool(c.flag);
        case ConstantKind::Int: return Value::from_int(c.int_value);
        case ConstantKind::Float: return Value::from_float(c.float_value);
        case ConstantKind::Str: return new_str(ctx.heap, c.text, ctx.roots, ctx.machine.meter);
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
                if (y == 0) return fail(PyError::zero_division_error("integer division or modulo by zero"));
                if (x == std::numeric_limits<std::int64_t>::min() && y == -1) return std::nullopt;
                std::int64_t q = x / y, m = x % y;
                if (m != 0 && ((m < 0) != (y < 0))) --q, m += y;
                return Value::from_int(B(op) == B::FloorDiv ? q : m);
            }
            case B::Div: {
                if (y == 0) return fail(PyError::zero_division_error("division by zero"));
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
                if (y == 0) return fail(PyError::zero_division_error("float division by zero"));
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

}  // namespace

Cursor Cursor::from_top_frame(const std::vector<Frame>& frames) {
    if (frames.empty()) panic("bytecode execution requires an active frame");
    const Frame& f = frames.back();
    Cursor c;
    c.locals = f.fast_locals ? Locals::Fast : f.own_scope ? Locals::Heap : Locals::None;
    c.locals_base = f.locals_base;
    c.value_base = f.value_base;
    c.code = f.code;
    c.ip = f.ip;
    return c;
}

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
    std::uint64_t limit = meter.limits().cpu;
    std::uint64_t remaining = meter.cpu_used() >= limit ? 0 : limit - meter.cpu_used();
    if (remaining == 0 || meter.stop_reason()) {
        meter.charge_cpu(1);
        return StepOutcome::exit(kBudgetStopStatus);
    }
    std::uint64_t budget = std::min(remaining, kSliceInstructions);
    Cursor cursor = Cursor::from_top_frame(inner.exec.frames);
    std::uint64_t steps = 0;
    SliceResult result = dispatch_slice(inner, cursor, budget, steps);
    if (steps != 0) meter.charge_cpu(steps);
    return result;
}

SliceResult dispatch_slice(RuntimeContext& ctx, Cursor& cursor, std::uint64_t budget, std::uint64_t& steps) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    ResourceMeter& meter = ctx.machine.meter;
    std::vector<Value>& stack = st.values;
    const CodeObject* code = cursor.code.get();
    std::uint64_t started = 0;

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
        if (meter.stop_reason()) return StepOutcome::exit(kBudgetStopStatus);
        ++steps;
        if (heap.root_depth() != ctx.scope_depth) ctx.exit_scope();
        if (cursor.ip >= code->instructions.size())
            return std::unexpected(SliceFailure{PyError::unsupported("instruction pointer left the code object"),
                                                SourceSpan{0, 0, 0, 0}});
        if (st.deadline.armed) {
            const Deadline& d = st.deadline;
            std::uint64_t now = ctx.machine.clock.now_ns();
            std::uint64_t clock_elapsed = now > d.start_clock_ns ? now - d.start_clock_ns : 0;
            std::uint64_t work = meter.cpu_used() > std::numeric_limits<std::uint64_t>::max() / 1000
                                     ? std::numeric_limits<std::uint64_t>::max()
                                     : meter.cpu_used() * 1000;
            std::uint64_t work_elapsed = work > d.start_work ? work - d.start_work : 0;
            if (std::max(clock_elapsed, work_elapsed) >= d.timeout_ns) {
                st.deadline.armed = false;
                sync_cursor(cursor, st);
                return std::unexpected(SliceFailure{PyError::exception("Failed", "test timed out"),
                                                    position_at(*code, cursor.ip)});
            }
        }

        const Instruction& in = code->instructions[cursor.ip];
        PyError error;
        Value a, b;
        switch (in.op) {
            case PyOpcode::LoadConst: {
                auto v = load_constant(ctx, code->constants[in.a]);
                if (!v) { error = std::move(v.error()); break; }
                stack.push_back(*v);
                ++cursor.ip;
                continue;
            }
            case PyOpcode::LoadFast: {
                if (cursor.locals == Cursor::Locals::Fast) {
                    std::uint64_t i = std::uint64_t(cursor.locals_base) + in.a;
                    if (i >= st.locals.size() || st.locals[i].is_absent()) { error = unbound_local(); break; }
                    stack.push_back(st.locals[i]);
                } else if (cursor.locals == Cursor::Locals::Heap) {
                    auto ns = scope_of(heap, st.frames.back().scope);
                    if (!ns) { error = std::move(ns.error()); break; }
                    if (in.a >= (*ns)->slots.size()) { error = PyError::unsupported("invalid local slot"); break; }
                    if ((*ns)->slots[in.a].is_absent()) { error = unbound_local(); break; }
                    stack.push_back(heap.clone_value((*ns)->slots[in.a]));
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
            case PyOpcode::LoadGlobal: {
                auto ns = scope_of(heap, st.frames.back().globals);
                if (!ns) { error = std::move(ns.error()); break; }
                const Value* v = (*ns)->get(in.a);
                if (!v) { error = name_error(heap, in.a); break; }
                stack.push_back(heap.clone_value(*v));
                ++cursor.ip;
                continue;
            }
            case PyOpcode::LoadName: {
                auto v = scope_get_symbol(heap, st.frames.back().scope, in.a);
                if (!v) { error = std::move(v.error()); break; }
                if (!*v) { error = name_error(heap, in.a); break; }
                stack.push_back(**v);
                ++cursor.ip;
                continue;
            }
            case PyOpcode::StoreName:
            case PyOpcode::StoreGlobal: {
                if (!pop(a)) { error = stack_effect_error(); break; }
                const Frame& f = st.frames.back();
                Value target = in.op == PyOpcode::StoreName && f.own_scope ? f.scope : f.globals;
                heap.push_root(a);
                if (auto stored = store_scope_name(ctx, target, in.a, a); !stored) { error = std::move(stored.error()); break; }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::PopTop:
            case PyOpcode::ExprStatement:
                if (!pop(a)) { error = stack_effect_error(); break; }
                ++cursor.ip;
                continue;
            case PyOpcode::Copy:
                if (in.a == 0 || stack.size() - cursor.value_base < in.a) { error = stack_effect_error(); break; }
                stack.push_back(stack[stack.size() - in.a]);
                ++cursor.ip;
                continue;
            case PyOpcode::Swap:
                if (in.a == 0 || stack.size() - cursor.value_base < in.a) { error = stack_effect_error(); break; }
                std::swap(stack.back(), stack[stack.size() - in.a]);
                ++cursor.ip;
                continue;
            case PyOpcode::Jump:
                cursor.ip = in.a;
                continue;
            case PyOpcode::PopJumpIfFalse:
            case PyOpcode::JumpIfFalseOrPop:
            case PyOpcode::JumpIfTrueOrPop: {
                if (stack.size() <= cursor.value_base) { error = stack_effect_error(); break; }
                auto truth = py_truth_fast(heap, stack.back());
                if (!truth) { error = std::move(truth.error()); break; }
                if (!*truth) { error = PyError::unsupported("truth of this value is not supported by the interpreter yet"); break; }
                bool t = **truth;
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
            case PyOpcode::UnaryOp: {
                if (!pop(a)) { error = stack_effect_error(); break; }
                auto r = unary_fast(heap, in.flag, a);
                if (!r) { error = std::move(r.error()); break; }
                if (!*r) { error = PyError::unsupported("operand is not supported by the interpreter yet"); break; }
                stack.push_back(**r);
                ++cursor.ip;
                continue;
            }
            case PyOpcode::BinaryOp:
            case PyOpcode::InplaceOp:
            case PyOpcode::CompareOp: {
                if (!pop(b) || !pop(a)) {
                    error = in.op == PyOpcode::CompareOp ? stack_effect_error() : PyError::unsupported("stack underflow");
                    break;
                }
                std::optional<Value> r;
                if (in.op == PyOpcode::CompareOp) {
                    r = compare_fast(in.flag, a, b);
                } else {
                    auto fast = binary_fast(in.flag, a, b);
                    if (!fast) { error = std::move(fast.error()); break; }
                    r = *fast;
                }
                if (!r) { error = PyError::unsupported("operands are not supported by the interpreter yet"); break; }
                stack.push_back(*r);
                ++cursor.ip;
                continue;
            }
            case PyOpcode::ReturnValue: {
                if (!pop(a)) { error = stack_effect_error(); break; }
                if (st.frames.back().kind.tag != FrameKindTag::Entry) {
                    error = PyError::unsupported("returning from a call frame is not supported by the interpreter yet");
                    break;
                }
                sync_cursor(cursor, st);
                return StepOutcome::returning(a);
            }
            case PyOpcode::Halt:
                if (st.frames.back().kind.tag != FrameKindTag::Entry) {
                    error = PyError::unsupported("returning from a call frame is not supported by the interpreter yet");
                    break;
                }
                sync_cursor(cursor, st);
                return StepOutcome::of(StepOutcome::Halt);
            default:
                error = PyError::unsupported(
                    fmt::format("instruction {} is not supported by the interpreter yet", opcode_name(in.op)));
                break;
        }
        // The instruction failed: no handlers are entered yet, so the error leaves the slice.
        sync_cursor(cursor, st);
        return std::unexpected(SliceFailure{std::move(error), position_at(*code, cursor.ip)});
    }
}

}  // namespace tw::py
