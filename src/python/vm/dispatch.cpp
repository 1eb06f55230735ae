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

SliceResult dispatch_slice(RuntimeContext& ctx, Cursor& cursor, std::uint64_t budget, std::uint64_t& steps) {
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
        ++steps;
        if (heap.root_depth() != ctx.scope_depth) ctx.exit_scope();
        if (cursor.ip >= code->instructions.size())
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
                    stack.push_back(Value::from_int(c.int_value));
                } else {
                    auto v = load_constant(ctx, c);
                    if (!v) { error = std::move(v.error()); break; }
                    stack.push_back(*v);
                }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::LoadFast: {
                if (cursor.locals == Cursor::Locals::Fast) {
                    std::uint64_t i = std::uint64_t(cursor.locals_base) + in.a;
                    if (i >= st.locals.size() || st.locals[i].is_absent()) [[unlikely]] { error = unbound_local(); break; }
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
                            stack.push_back(entries[site->slot - 1].value);
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
                            stack.push_back(first_payload->scope->entries()[*pos].value);
                            ++cursor.ip;
                            continue;
                        }
                    }
                    for (;;) {
                        const HeapSlot* s = scope.is_object() ? heap.resolve(scope.handle()) : nullptr;
                        const auto* payload = s ? std::get_if<NamespacePayload>(&s->object) : nullptr;
                        if (!payload) break;
                        const Namespace& ns = *payload->scope;
                        if ((found = ns.find(in.a))) break;
                        if (!ns.parent) break;
                        scope = *ns.parent;
                    }
                    if (found) {
                        stack.push_back(*found);
                        ++cursor.ip;
                        continue;
                    }
                }
                auto outcome = execute_other(ctx, cursor, in, steps);
                if (!outcome) { error = std::move(outcome.error()); break; }
                ++cursor.ip;
                continue;
            }
            case PyOpcode::LoadGlobal: {
                auto ns = scope_of(heap, st.frames.back().globals);
                if (!ns) { error = std::move(ns.error()); break; }
                const auto& entries = (*ns)->entries();
                SiteEntry* site = cache ? &cache[cursor.ip] : nullptr;
                if (site && site->slot && site->slot <= entries.size() && entries[site->slot - 1].symbol == in.a) {
                    stack.push_back(entries[site->slot - 1].value);
                    ++cursor.ip;
                    continue;
                }
                const Value* v = (*ns)->get(in.a);
                if (v) {
                    if (site)
                        if (auto pos = (*ns)->index_of(in.a)) site->slot = std::uint32_t(*pos) + 1;
                    stack.push_back(heap.clone_value(*v));
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
                        stack.push_back(obj);
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
                                auto slot = heap.slot_mut(obj);
                                (*slot)->attributes->shaped_values[site->slot] = v;
                                stack.resize(stack.size() - 2);
                            } else if (in.op == PyOpcode::LoadAttr) {
                                stack.back() = attrs->shaped_values[site->slot];
                            } else {
                                stack.back() = attrs->shaped_values[site->slot];
                                stack.push_back(intern_static_definition(StaticDefinition::of(DefinitionTag::NoReceiver)));
                            }
                            ++cursor.ip;
                            continue;
                        }
                        if (site->kind == 2 && in.op == PyOpcode::LoadMethod) {
                            auto own = instance_get_attr(heap, obj, in.a);
                            if (own && !*own) {
                                stack.back() = site->value;
                                stack.push_back(obj);
                                ++cursor.ip;
                                continue;
                            }
                        }
                    }
                }
                Value obj = stack.size() > cursor.value_base ? stack.back() : Value::absent();
                heap.push_root(obj);
                auto outcome = execute_other(ctx, cursor, in, steps);
                if (!outcome) { error = std::move(outcome.error()); break; }
                if (site) vm::record_attribute_site(ctx, *site, obj, in.a, in.op == PyOpcode::LoadMethod ? stack[stack.size() - 2] : Value::absent(),
                                                    in.op == PyOpcode::LoadMethod && stack.back() == obj);
                ++cursor.ip;
                continue;
            }
            case PyOpcode::StoreGlobal: {
                // A global already bound at the cached position is rebound in place.
                SiteEntry* site = cache ? &cache[cursor.ip] : nullptr;
                if (site && site->slot && stack.size() > cursor.value_base) {
                    Value globals = st.frames.back().globals;
                    const HeapSlot* gs = globals.is_object() ? heap.resolve(globals.handle()) : nullptr;
                    const auto* payload = gs ? std::get_if<NamespacePayload>(&gs->object) : nullptr;
                    if (payload && site->slot <= payload->scope->entries().size() &&
                        payload->scope->entries()[site->slot - 1].symbol == in.a) {
                        auto slot = heap.slot_mut(globals);
                        std::get<NamespacePayload>((*slot)->object).scope->entries_mut()[site->slot - 1].value = stack.back();
                        stack.pop_back();
                        ++cursor.ip;
                        continue;
                    }
                }
                auto outcome = execute_other(ctx, cursor, in, steps);
                if (!outcome) { error = std::move(outcome.error()); break; }
                if (site) {
                    auto ns = scope_of(heap, st.frames.back().globals);
                    if (ns)
                        if (auto pos = (*ns)->index_of(in.a)) site->slot = std::uint32_t(*pos) + 1;
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
                stack.pop_back();
                a = stack.back();
                stack.pop_back();
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
                stack.push_back(*r);
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
                stack.push_back(stack[stack.size() - in.a]);
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
                // The range iterator steps in place.
                if (it.is_object()) {
                    const HeapSlot* s = heap.resolve(it.handle());
                    if (s && s->kind() == HeapObjectKind::RangeIterator) {
                        auto slot = heap.slot_mut(it);
                        auto& r = std::get<RangeIteratorPayload>((*slot)->object);
                        if (!r.exhausted && (r.step > 0 ? r.current < r.stop : r.current > r.stop)) {
                            stack.push_back(Value::from_int(r.current));
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
                    heap.push_root(a);
                    vm::pop_frame(st);
                    stack.push_back(a);
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
                auto outcome = execute_other(ctx, cursor, in, steps);
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
        const HeapSlot* slot = ctx.heap.get_if_object(m);
        const DictTable* table = slot ? dict_table_of(const_cast<HeapObject&>(slot->object)) : nullptr;
        if (!table) {
            TRY_ASSIGN(name, vm::type_name(ctx, m));
            return fail(PyError::type_error(fmt::format("'{}' object is not a mapping", name)));
        }
        table->for_each_live([&](const DictSlot& s) { pairs.emplace_back(s.key, s.value); });
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
            if (ctx.echo && !v.is_none()) {
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
