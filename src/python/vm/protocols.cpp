#include "python/vm/protocols.h"

#include <cmath>

#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/machine.h"
#include "python/vm/protocol_support.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/number/values.h"
#include "python/objects/truth.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/exceptions.h"
#include "python/vm/exec_state.h"
#include "python/vm/repr.h"
#include "python/vm/runtime_context.h"
#include "python/vm/slot_call.h"

namespace tw::py {

using protocol::charge_native;
using protocol::meter_of;
using protocol::types_of;

namespace {


constexpr std::uint64_t kMaxCompareDepth = 256;


PyResult<std::string> type_name(RuntimeContext& ctx, Value v) { return py_type_name(ctx.heap, types_of(ctx), v); }

template <class T>
bool ordered(RichCompareOp op, const T& a, const T& b) {
    switch (op) {
        case RichCompareOp::Eq: return a == b;
        case RichCompareOp::Ne: return a != b;
        case RichCompareOp::Lt: return a < b;
        case RichCompareOp::Le: return a <= b;
        case RichCompareOp::Gt: return a > b;
        case RichCompareOp::Ge: return a >= b;
    }
    return false;
}

// -1, 0, 1 for an ordering, or none when unordered (NaN): the number library's exact order.
std::optional<int> compare_numbers(const NumericView& a, const NumericView& b) { return numeric_view_compare(a, b); }

bool is_real(const NumericView& v) {
    using K = NumericView::Kind;
    return v.kind == K::Small || v.kind == K::Big || v.kind == K::U64 || v.kind == K::Float;
}

// Whether a value is a plain builtin number (not a registered value kind or an instance).
bool plain_number(RuntimeContext& ctx, Value v) {
    if (v.is_int() || v.is_bool() || v.is_float()) return true;
    const HeapSlot* s = ctx.heap.get_if_object(v);
    return s && s->type_id < kBuiltinTypeCount &&
           (s->kind() == HeapObjectKind::BigInt || s->kind() == HeapObjectKind::Float ||
            s->kind() == HeapObjectKind::Complex);
}

PyResult<std::optional<bool>> native_compare(RuntimeContext& ctx, RichCompareOp op, Value a, Value b);

// Lists with lists and tuples with tuples, element by element.
PyResult<std::optional<bool>> sequence_compare(RuntimeContext& ctx, RichCompareOp op, const std::vector<Value>& x,
                                               const std::vector<Value>& y) {
    ExecState& st = ctx.exec;
    if (st.comparison_depth >= kMaxCompareDepth)
        return fail(PyError::exception("RecursionError", "maximum recursion depth exceeded in comparison"));
    ++st.comparison_depth;
    struct Leave {
        ExecState& st;
        ~Leave() { --st.comparison_depth; }
    } leave{st};
    NativeCallScope scope(ctx);
    for (const Value& v : x) scope.context.heap.push_root(v);
    for (const Value& v : y) scope.context.heap.push_root(v);
    const std::size_t n = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < n; ++i) {
        TRY_DO(python_charge_work(meter_of(ctx), 1));
        TRY_ASSIGN(eq, py_values_equal(scope.context, x[i], y[i]));
        if (eq) continue;
        if (op == RichCompareOp::Eq) return std::optional(false);
        if (op == RichCompareOp::Ne) return std::optional(true);
        TRY_ASSIGN(r, py_rich_compare(scope.context, op, x[i], y[i]));
        return std::optional(r);
    }
    return std::optional(ordered(op, x.size(), y.size()));
}

PyResult<std::optional<bool>> native_compare(RuntimeContext& ctx, RichCompareOp op, Value a, Value b) {
    Heap& heap = ctx.heap;
    if (plain_number(ctx, a) && plain_number(ctx, b)) {
        NumericView x = py_numeric_view(heap, a), y = py_numeric_view(heap, b);
        if (is_real(x) && is_real(y)) {
            auto r = compare_numbers(x, y);
            if (!r) return std::optional(op == RichCompareOp::Ne);
            return std::optional(ordered(op, *r, 0));
        }
        if (op == RichCompareOp::Eq || op == RichCompareOp::Ne) {
            auto parts = [](const NumericView& v) -> std::pair<double, double> {
                if (v.kind == NumericView::Complex) return {v.real, v.imag};
                if (v.kind == NumericView::Float) return {v.real, 0};
                return {v.kind == NumericView::Small ? double(v.small) : double(v.u64), 0};
            };
            const bool eq = parts(x) == parts(y);
            return std::optional(op == RichCompareOp::Eq ? eq : !eq);
        }
        return std::optional<bool>();
    }
    TRY_ASSIGN(sa, str_view(heap, a));
    TRY_ASSIGN(sb, str_view(heap, b));
    if (sa && sb) {
        TRY_DO(python_charge_work(meter_of(ctx), std::min(sa->size(), sb->size()) / 64));
        return std::optional(ordered(op, *sa, *sb));
    }
    const HeapSlot* x = heap.get_if_object(a);
    const HeapSlot* y = heap.get_if_object(b);
    if (!x || !y || x->type_id >= kBuiltinTypeCount || y->type_id >= kBuiltinTypeCount) return std::optional<bool>();
    auto bytes_of = [](const HeapSlot* s) -> const std::string* {
        if (auto* p = std::get_if<BytesPayload>(&s->object)) return &p->bytes;
        if (auto* p = std::get_if<ByteArrayPayload>(&s->object)) return &p->bytes;
        return nullptr;
    };
    if (const std::string *bx = bytes_of(x), *by = bytes_of(y); bx && by) {
        TRY_DO(python_charge_work(meter_of(ctx), std::min(bx->size(), by->size()) / 64));
        return std::optional(ordered(op, *bx, *by));
    }
    const bool lists = x->kind() == HeapObjectKind::List && y->kind() == HeapObjectKind::List;
    const bool tuples = x->kind() == HeapObjectKind::Tuple && y->kind() == HeapObjectKind::Tuple;
    if (lists || tuples) {
        std::vector<Value> xs = *sequence_items(x->object), ys = *sequence_items(y->object);
        return sequence_compare(ctx, op, xs, ys);
    }
    return std::optional<bool>();
}

RichCompareOp reflected(RichCompareOp op) {
    switch (op) {
        case RichCompareOp::Lt: return RichCompareOp::Gt;
        case RichCompareOp::Le: return RichCompareOp::Ge;
        case RichCompareOp::Gt: return RichCompareOp::Lt;
        case RichCompareOp::Ge: return RichCompareOp::Le;
        default: return op;
    }
}

DunderSlot compare_slot(RichCompareOp op) { return DunderSlot(std::uint8_t(DunderSlot::Equal) + std::uint8_t(op)); }

// A slot's answer: none for absent or NotImplemented.
PyResult<std::optional<Value>> answered(PyResult<std::optional<Value>> r) {
    if (!r) return r;
    if (*r && is_not_implemented(**r)) return std::optional<Value>();
    return r;
}

// The right operand's type is a proper subtype of the left's.
PyResult<bool> right_has_priority(RuntimeContext& ctx, Value left, Value right) {
    TRY_ASSIGN(lt, py_type_id_of(ctx.heap, types_of(ctx), left));
    TRY_ASSIGN(rt, py_type_id_of(ctx.heap, types_of(ctx), right));
    if (lt == rt) return false;
    return types_of(ctx).is_subtype(rt, lt);
}

// The builtin sequence type a value's class is or derives from.
std::optional<std::string_view> builtin_sequence_base(RuntimeContext& ctx, Value v) {
    auto t = py_type_id_of(ctx.heap, types_of(ctx), v);
    if (!t) return std::nullopt;
    for (BuiltinType b : {BuiltinType::String, BuiltinType::Bytes, BuiltinType::ByteArray, BuiltinType::List,
                          BuiltinType::Tuple}) {
        auto sub = types_of(ctx).is_subtype(*t, type_id(b));
        if (sub && *sub) return builtin_type_name(type_id(b));
    }
    return std::nullopt;
}

PyResult<std::optional<Value>> count_next(RuntimeContext& ctx, Value it) {
    TRY_ASSIGN(slot, ctx.heap.slot_mut(it));
    auto& c = std::get<CountIteratorPayload>(slot->object);
    std::int64_t next;
    if (__builtin_add_overflow(c.current, c.step, &next))
        return fail(PyError::unsupported("itertools.count exceeded the bounded integer range"));
    Value v = Value::from_int(c.current);
    c.current = next;
    return std::optional(v);
}

PyResult<std::optional<Value>> callable_next(RuntimeContext& ctx, Value it) {
    TRY_ASSIGN(slot, ctx.heap.get(it));
    const CallableIteratorPayload c = std::get<CallableIteratorPayload>(slot->object);
    if (c.exhausted) return std::optional<Value>();
    TRY_DO(python_charge_work(meter_of(ctx), 1));
    TRY_ASSIGN(r, call_value(ctx, c.callable, {}));
    ctx.heap.push_root(r);
    TRY_ASSIGN(eq, py_values_equal(ctx, r, c.sentinel));
    if (!eq) return std::optional(r);
    TRY_ASSIGN(mut, ctx.heap.slot_mut(it));
    std::get<CallableIteratorPayload>(mut->object).exhausted = true;
    return std::optional<Value>();
}

// One step of the stored iterators of lists, tuples, str values and ranges.
PyResult<std::optional<std::optional<Value>>> stored_iterator_next(RuntimeContext& ctx, Value it) {
    using Step = std::optional<std::optional<Value>>;
    Heap& heap = ctx.heap;
    TRY_ASSIGN(slot, heap.slot_mut(it));
    if (auto* v = std::get_if<ValuesIteratorPayload>(&slot->object)) {
        if (v->position >= v->values.size()) return Step(std::optional<Value>());
        return Step(std::optional(heap.clone_value(v->values[v->position++])));
    }
    if (auto* r = std::get_if<RangeIteratorPayload>(&slot->object)) {
        if (r->exhausted || (r->step > 0 ? r->current >= r->stop : r->current <= r->stop)) {
            r->exhausted = true;
            return Step(std::optional<Value>());
        }
        Value v = Value::from_int(r->current);
        if (__builtin_add_overflow(r->current, r->step, &r->current)) r->exhausted = true;
        return Step(std::optional(v));
    }
    if (auto* s = std::get_if<SequenceIteratorPayload>(&slot->object)) {
        const Value source = s->source;
        const std::uint64_t position = s->position;
        TRY_ASSIGN(src, heap.get(source));
        if (const auto* items = sequence_items(src->object); items && src->kind() != HeapObjectKind::Exception) {
            if (position >= items->size()) return Step(std::optional<Value>());
            Value v = heap.clone_value((*items)[position]);
            TRY_ASSIGN(again, heap.slot_mut(it));
            std::get<SequenceIteratorPayload>(again->object).position = position + 1;
            return Step(std::optional(v));
        }
        return Step();
    }
    return Step();
}

}  // namespace

std::string_view compare_op_text(RichCompareOp op) {
    static constexpr std::string_view texts[] = {"==", "!=", "<", "<=", ">", ">="};
    return texts[std::size_t(op)];
}

Value not_implemented_value() { return intern_static_definition(StaticDefinition::of(DefinitionTag::NotImplemented)); }
bool is_not_implemented(Value v) {
    if (!v.is_native()) return false;
    auto d = decode_native_handle(v);
    return d && d->tag == DefinitionTag::NotImplemented;
}

PyResult<bool> py_rich_compare(RuntimeContext& ctx, RichCompareOp op, Value left, Value right) {
    TRY_ASSIGN(native, native_compare(ctx, op, left, right));
    if (native) return *native;
    NativeCallScope scope(ctx);
    RuntimeContext& c = scope.context;
    TRY_ASSIGN(priority, right_has_priority(c, left, right));
    std::optional<Value> result;
    if (priority) {
        TRY_ASSIGN(r, answered(invoke_slot(c, right, compare_slot(reflected(op)), {left})));
        result = r;
    }
    if (!result) {
        TRY_ASSIGN(r, answered(invoke_slot(c, left, compare_slot(op), {right})));
        result = r;
    }
    if (!result && !priority) {
        TRY_ASSIGN(r, answered(invoke_slot(c, right, compare_slot(reflected(op)), {left})));
        result = r;
    }
    if (result) return py_is_true(c, *result);
    if (op == RichCompareOp::Eq) return left == right;
    if (op == RichCompareOp::Ne) return left != right;
    TRY_ASSIGN(ln, type_name(c, left));
    TRY_ASSIGN(rn, type_name(c, right));
    return fail(PyError::type_error(
        fmt::format("'{}' not supported between instances of '{}' and '{}'", compare_op_text(op), ln, rn)));
}

PyResult<bool> py_values_equal(RuntimeContext& ctx, Value left, Value right) {
    if (left == right) return true;
    return py_rich_compare(ctx, RichCompareOp::Eq, left, right);
}

PyResult<bool> py_is_true(RuntimeContext& ctx, Value v) {
    TRY_ASSIGN(fast, py_truth_fast(ctx.heap, v));
    if (fast) return *fast;
    if (is_not_implemented(v)) return fail(not_implemented_truth_error());
    TRY_ASSIGN(b, invoke_slot(ctx, v, DunderSlot::Bool));
    if (b) {
        if (!b->is_bool()) {
            TRY_ASSIGN(tn, type_name(ctx, *b));
            return fail(PyError::type_error(fmt::format("__bool__ should return bool, returned {}", tn)));
        }
        return b->as_bool();
    }
    TRY_ASSIGN(n, invoke_slot(ctx, v, DunderSlot::Length));
    if (n) {
        if (!n->is_int()) {
            TRY_ASSIGN(tn, type_name(ctx, *n));
            return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", tn)));
        }
        if (n->as_int() < 0) return fail(PyError::value_error("__len__() should return >= 0"));
        return n->as_int() != 0;
    }
    return true;
}

PyResult<std::string> py_str(RuntimeContext& ctx, Value v) {
    TRY_ASSIGN(r, invoke_slot(ctx, v, DunderSlot::String));
    if (r) {
        TRY_ASSIGN(text, value_to_owned_string(ctx.heap, *r));
        if (!text) return fail(PyError::unsupported("__str__ should return str"));
        return std::move(*text);
    }
    TRY_ASSIGN(text, value_to_owned_string(ctx.heap, v));
    if (text) return std::move(*text);
    if (exception_type_name(*ctx.interpreter, v)) return exception_str(*ctx.interpreter, v);
    return py_repr(ctx, v);
}

PyStatus py_format_charge(RuntimeContext& ctx, std::string_view spec) {
    std::uint64_t largest = 0;
    for (std::size_t i = 0; i < spec.size();) {
        if (spec[i] < '0' || spec[i] > '9') {
            ++i;
            continue;
        }
        std::uint64_t n = 0;
        for (; i < spec.size() && spec[i] >= '0' && spec[i] <= '9'; ++i) n = sat_add(sat_mul(n, 10), std::uint64_t(spec[i] - '0'));
        largest = std::max(largest, n);
    }
    TRY_DO(python_charge_work(meter_of(ctx), std::max<std::uint64_t>(spec.size(), largest)));
    std::uint64_t sum = sat_add(spec.size(), largest);
    std::uint64_t bytes = sum > (UINT64_MAX >> 2) ? UINT64_MAX : 2 * sum;
    return charge_native(ctx, bytes);
}

PyResult<std::string> py_format(RuntimeContext& ctx, Value v, std::string_view spec) {
    TRY_ASSIGN(t, py_type_id_of(ctx.heap, types_of(ctx), v));
    TRY_ASSIGN(entry, types_of(ctx).slot(t, DunderSlot::Format));
    // Without a format specification every value formats as its str(); the builtin slots answer
    // the specifications.
    if (spec.empty() && (!entry || entry->kind != SlotKind::Callable)) return py_str(ctx, v);
    TRY_ASSIGN(spec_value, new_str(ctx.heap, std::string(spec), ctx.roots, meter_of(ctx)));
    TRY_ASSIGN(r, invoke_slot(ctx, v, DunderSlot::Format, {spec_value}));
    if (r) {
        TRY_ASSIGN(text, value_to_owned_string(ctx.heap, *r));
        if (!text) return fail(PyError::type_error("__format__ must return a str"));
        return std::move(*text);
    }
    if (spec.empty()) return py_str(ctx, v);
    // No __format__ slot (bool, registered numbers): the number and string formatters.
    TRY_ASSIGN(tn, type_name(ctx, v));
    MeterCharges charges(NumberEnv{ctx.heap, meter_of(ctx), ctx.roots});
    return py_format_builtin(ctx.heap, charges, v, spec, tn);
}

PyResult<std::optional<std::uint64_t>> py_builtin_len(RuntimeContext& ctx, Value v) {
    using Len = std::optional<std::uint64_t>;
    if (v.is_inline_str()) {
        std::uint64_t n = 0;
        for (char c : v.inline_str()) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        return Len(n);
    }
    const HeapSlot* s = ctx.heap.get_if_object(v);
    if (!s) {
        if (v.is_object()) return fail(PyError::unsupported(Heap::stale_reference_message()));
        return Len();
    }
    switch (s->kind()) {
        case HeapObjectKind::Str: return Len(std::get<HeapStr>(s->object).char_count);
        case HeapObjectKind::List:
        case HeapObjectKind::Tuple: return Len(sequence_items(s->object)->size());
        case HeapObjectKind::Dict:
        case HeapObjectKind::DefaultDict: return Len(dict_table_of(const_cast<HeapObject&>(s->object))->live_count);
        case HeapObjectKind::Set:
        case HeapObjectKind::FrozenSet: return Len(set_table_of(const_cast<HeapObject&>(s->object))->live_count);
        case HeapObjectKind::Range: {
            const RangePayload& r = std::get<RangePayload>(s->object);
            if (r.step == 0) return Len(0);
            __int128 span = r.step > 0 ? __int128(r.stop) - r.start : __int128(r.start) - r.stop;
            __int128 step = r.step > 0 ? __int128(r.step) : -__int128(r.step);
            if (span <= 0) return Len(0);
            __int128 n = (span + step - 1) / step;
            if (n > INT64_MAX) return fail(PyError::overflow_error("Python int too large to convert to C ssize_t"));
            return Len(std::uint64_t(n));
        }
        case HeapObjectKind::Class: {
            // An enumeration counts its members.
            const std::size_t members = std::get<ClassPayload>(s->object).record->values.size();
            return members ? Len(members) : Len();
        }
        default: return Len();
    }
}

PyResult<std::optional<Value>> py_next(RuntimeContext& ctx, Value it) {
    auto not_iterator = [&]() -> PyError {
        auto tn = type_name(ctx, it);
        return PyError::type_error(fmt::format("'{}' object is not an iterator", tn ? *tn : std::string("object")));
    };
    const HeapSlot* s = ctx.heap.get_if_object(it);
    if (!s) {
        if (it.is_object()) return fail(PyError::unsupported(Heap::stale_reference_message()));
        if (!it.is_native()) return fail(not_iterator());  // a native value (a stream) may have __next__
    } else if (s->kind() == HeapObjectKind::CountIterator) {
        return count_next(ctx, it);
    } else if (s->kind() == HeapObjectKind::CallableIterator) {
        return callable_next(ctx, it);
    } else if (s->type_id < kBuiltinTypeCount) {
        TRY_ASSIGN(step, stored_iterator_next(ctx, it));
        if (step) return *step;
    }
    TRY_ASSIGN(has, has_slot(ctx, it, DunderSlot::Next));
    if (!has) return fail(not_iterator());
    auto r = invoke_slot(ctx, it, DunderSlot::Next);
    if (!r && r.error().is_raised_marker() && pending_exception_is_instance(*ctx.interpreter, "StopIteration")) {
        ctx.exec.pending_exception.reset();
        return std::optional<Value>();
    }
    if (!r && r.error().detail() && r.error().detail()->kind == ErrorKindTag::Exception &&
        r.error().detail()->class_name == "StopIteration")
        return std::optional<Value>();
    return r;
}

PyResult<Value> py_abs(RuntimeContext& ctx, Value v) {
    if (v.is_int() && v.as_int() != INT64_MIN) return Value::from_int(v.as_int() < 0 ? -v.as_int() : v.as_int());
    if (v.is_bool()) return Value::from_int(v.as_bool() ? 1 : 0);
    if (v.is_float()) return Value::from_float(std::fabs(v.as_float()));
    TRY_ASSIGN(r, invoke_slot(ctx, v, DunderSlot::Absolute));
    if (r) return *r;
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fail(PyError::type_error(fmt::format("bad operand type for abs(): '{}'", tn)));
}

namespace {

// isinstance / issubclass over a class or a tuple of them.
PyResult<bool> class_check(RuntimeContext& ctx, Value subject, Value cls, bool instance) {
    if (const HeapSlot* s = ctx.heap.get_if_object(cls); s && s->kind() == HeapObjectKind::Tuple) {
        const std::vector<Value> items = std::get<TuplePayload>(s->object).items;
        NativeCallScope scope(ctx);
        for (const Value& c : items) {
            scope.context.heap.push_root(c);
            TRY_DO(python_charge_work(meter_of(ctx), 1));
            TRY_ASSIGN(r, class_check(scope.context, subject, c, instance));
            if (r) return true;
        }
        return false;
    }
    // A metaclass a program defines may answer with __instancecheck__ / __subclasscheck__.
    if (const HeapSlot* s = ctx.heap.get_if_object(cls); s && s->kind() == HeapObjectKind::Class) {
        const Value meta = std::get<ClassPayload>(s->object).record->metaclass;
        if (meta.is_object()) {
            const std::string_view hook = instance ? "__instancecheck__" : "__subclasscheck__";
            TRY_ASSIGN(hit, py_mro_lookup(ctx, meta, ctx.heap.symbols.lookup(hook)));
            if (hit) {
                TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, cls, meta, hit->owner));
                Value args[1] = {subject};
                TRY_ASSIGN(r, call_value(ctx, bound, args));
                return py_is_true(ctx, r);
            }
        }
    }
    auto target = py_as_class(ctx, cls);
    if (!target)
        return fail(PyError::unsupported(instance ? "isinstance() requires a class argument"
                                                  : "issubclass() requires a class argument"));
    TypeId t;
    if (instance) {
        TRY_ASSIGN(id, py_type_id_of(ctx.heap, types_of(ctx), subject));
        t = id;
    } else {
        auto id = py_as_class(ctx, subject);
        if (!id) return fail(PyError::unsupported("issubclass() requires a class argument"));
        t = *id;
    }
    return types_of(ctx).is_subtype(t, *target);
}

}  // namespace

PyResult<bool> py_isinstance(RuntimeContext& ctx, Value obj, Value cls) { return class_check(ctx, obj, cls, true); }
PyResult<bool> py_issubclass(RuntimeContext& ctx, Value cls, Value base) { return class_check(ctx, cls, base, false); }

PyStatus python_write_stdio(RuntimeContext& ctx, int stream, std::string_view bytes) {
    ResourceMeter& m = meter_of(ctx);
    const std::uint64_t limit = m.limits().output;
    const std::uint64_t room = sat_sub(limit, m.output_used());
    (void)m.charge_output(bytes.size());
    const std::string_view kept = bytes.substr(0, std::min<std::uint64_t>(room, bytes.size()));
    if (stream == 1) ctx.stdout_buffer.append(kept);
    else if (stream == 2) ctx.stderr_buffer.append(kept);
    return {};
}

PyResult<Value> py_binary_fallback(RuntimeContext& ctx, const BinarySlotOperator& op, Value left, Value right) {
    NativeCallScope scope(ctx);
    RuntimeContext& c = scope.context;
    TRY_ASSIGN(priority, right_has_priority(c, left, right));
    if (priority) {
        TRY_ASSIGN(r, answered(invoke_slot(c, right, op.reflected, {left})));
        if (r) return *r;
    }
    TRY_ASSIGN(normal, answered(invoke_slot(c, left, op.slot, {right})));
    if (normal) return *normal;
    if (!priority) {
        TRY_ASSIGN(r, answered(invoke_slot(c, right, op.reflected, {left})));
        if (r) return *r;
    }
    std::string_view base_text = op.text;
    if (base_text.size() > 1 && base_text.back() == '=') base_text.remove_suffix(1);
    TRY_ASSIGN(ln, type_name(c, left));
    TRY_ASSIGN(rn, type_name(c, right));
    const auto lseq = builtin_sequence_base(c, left);
    const auto rseq = builtin_sequence_base(c, right);
    if (base_text == "+" && lseq) {
        if (*lseq == "bytes" || *lseq == "bytearray")
            return fail(PyError::type_error(fmt::format("can't concat {} to {}", rn, *lseq)));
        return fail(PyError::type_error(fmt::format("can only concatenate {} (not \"{}\") to {}", *lseq, rn, *lseq)));
    }
    if (base_text == "*" && (lseq || rseq))
        return fail(PyError::type_error(fmt::format("can't multiply sequence by non-int of type '{}'", lseq ? rn : ln)));
    return fail(PyError::type_error(fmt::format("unsupported operand type(s) for {}: '{}' and '{}'", op.text, ln, rn)));
}

PyResult<Value> call_slot_wrapper(RuntimeContext& ctx, TypeId owner, DunderSlot slot, Value receiver,
                                  std::span<const Value> positional,
                                  std::span<const std::pair<std::string, Value>> keywords) {
    const DunderSlotRow& row = kDunderSlots[std::size_t(slot)];
    if (row.arity() != 255 && (!keywords.empty() || positional.size() != row.arity()))
        return fail(PyError::type_error(fmt::format("{}() received invalid arguments", row.name)));
    TypeRegistry& types = types_of(ctx);
    TypeId receiver_type;
    if (slot == DunderSlot::ClassGetItem) {
        auto t = py_as_class(ctx, receiver);
        if (!t) return fail(PyError::unsupported("class subscription receiver has no registered type"));
        receiver_type = *t;
    } else {
        TRY_ASSIGN(t, py_type_id_of(ctx.heap, types, receiver));
        receiver_type = t;
    }
    TRY_ASSIGN(sub, types.is_subtype(receiver_type, owner));
    if (!sub) {
        TRY_ASSIGN(rec, types.get(owner));
        return fail(PyError::type_error(fmt::format("descriptor {} requires a '{}' object", row.name, rec->name)));
    }
    TRY_ASSIGN(entry, types.slot(owner, slot));
    if (!entry) return fail(PyError::unsupported("slot wrapper has no local implementation"));
    const SlotEntry e = *entry;
    EngineRuntime rt(ctx);
    auto value = [](SlotValue r) -> PyResult<Value> {
        if (!r) return fail(std::move(r.error()));
        return r->value_or(not_implemented_value());
    };
    switch (e.kind) {
        case SlotKind::NativeMethod:
            return e.method->method_handler(rt, receiver, NativeCall{{positional.begin(), positional.end()},
                                                                     {keywords.begin(), keywords.end()}});
        case SlotKind::BuiltinRepr: {
            ReprVisited visited;
            TRY_ASSIGN(text, py_container_repr(ctx, receiver, visited));
            return new_str(ctx.heap, std::move(text), ctx.roots, meter_of(ctx));
        }
        case SlotKind::BuiltinHash: return fail(PyError::unsupported("builtin hash is not implemented"));
        case SlotKind::RichCompare: {
            if (slot < DunderSlot::Equal || slot > DunderSlot::GreaterEqual)
                return fail(PyError::unsupported("comparison slot invoked for a non-comparison operator"));
            TRY_ASSIGN(r, e.as_rich_compare()(rt, receiver, positional[0],
                                              std::uint8_t(std::uint8_t(slot) - std::uint8_t(DunderSlot::Equal))));
            if (!r) return not_implemented_value();
            return Value::from_bool(*r);
        }
        case SlotKind::Unary: return value(e.as_unary()(rt, receiver));
        case SlotKind::Binary: return value(e.as_binary()(rt, receiver, positional[0]));
        case SlotKind::Ternary: return value(e.as_ternary()(rt, receiver, positional[0], positional[1]));
        default: return fail(PyError::unsupported("slot wrapper is not native"));
    }
}

PyResult<std::vector<std::string>> class_attribute_names(RuntimeContext& ctx, Value v) {
    std::vector<std::string> out;
    const HeapSlot* s = ctx.heap.get_if_object(v);
    if (!s || s->kind() != HeapObjectKind::Class) return out;
    const ClassRecord& rec = *std::get<ClassPayload>(s->object).record;
    auto add = [&](const ClassRecord& r) {
        for (const NamespaceEntry& e : r.namespace_.entries()) out.emplace_back(ctx.heap.symbols.name_of(e.symbol));
    };
    add(rec);
    for (const Value& base : rec.mro)
        if (const HeapSlot* b = ctx.heap.get_if_object(base); b && b->kind() == HeapObjectKind::Class)
            add(*std::get<ClassPayload>(b->object).record);
    return out;
}

SumOperand sum_classify(RuntimeContext& ctx, Value v) {
    SumOperand out;
    if (v.is_registered() || !plain_number(ctx, v)) return out;
    const NumericView n = py_numeric_view(ctx.heap, v);
    switch (n.kind) {
        case NumericView::Small: out.kind = SumOperand::Integer, out.integer = n.small; break;
        case NumericView::U64:
            out.kind = SumOperand::ConvertedInteger, out.real = double(n.u64);
            break;
        case NumericView::Big:
            out.kind = SumOperand::ConvertedInteger;
            out.finite = mpz_sizeinbase(n.big->get(), 2) <= 1024;
            out.real = out.finite ? mpz_get_d(n.big->get()) : 0;
            // mpz_get_d truncates: above 2^1024 - 2^970 the nearest float is infinite.
            if (out.finite && std::isinf(out.real)) out.finite = false;
            if (out.finite && mpz_sizeinbase(n.big->get(), 2) == 1024) {
                mpz_t limit;
                mpz_init(limit);
                mpz_ui_pow_ui(limit, 2, 1024);
                mpz_t half;
                mpz_init(half);
                mpz_ui_pow_ui(half, 2, 970);
                mpz_sub(limit, limit, half);
                mpz_t magnitude;
                mpz_init(magnitude);
                mpz_abs(magnitude, n.big->get());
                if (mpz_cmp(magnitude, limit) >= 0) out.finite = false;
                mpz_clear(limit), mpz_clear(half), mpz_clear(magnitude);
            }
            break;
        case NumericView::Float: out.kind = SumOperand::Float, out.real = n.real; break;
        case NumericView::Complex: out.kind = SumOperand::Complex, out.real = n.real, out.imag = n.imag; break;
        default: break;
    }
    return out;
}

PyResult<double> sum_int_to_float(const SumOperand& operand) {
    if (!operand.finite) return fail(PyError::overflow_error("int too large to convert to float"));
    return operand.real;
}

void neumaier_add(double& sum, double& compensation, double x) {
    const double t = sum + x;
    if (std::fabs(x) <= std::fabs(sum)) compensation += (sum - t) + x;
    else compensation += (x - t) + sum;
    sum = t;
}

PyResult<PowOperand> pow_integer_operand(RuntimeContext& ctx, Value v) {
    const NumericView n = py_numeric_view(ctx.heap, v);
    if (!plain_number(ctx, v) || (n.kind != NumericView::Small && n.kind != NumericView::Big && n.kind != NumericView::U64))
        return fail(PyError::type_error("pow() 3rd argument not allowed unless all arguments are integers"));
    std::uint64_t bits = 64;
    if (n.kind == NumericView::Big) bits = mpz_sizeinbase(n.big->get(), 2);
    // log10(2) < 0.30103: one digit per 3.32 bits, plus one.
    return PowOperand{v, bits * 30103 / 100000 + 1};
}

}  // namespace tw::py
