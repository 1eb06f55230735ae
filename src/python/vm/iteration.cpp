// The `for` loop's step over every iterator kind, iterators of program classes, standard input
// iteration and containment by iteration.
#include "python/vm/iteration.h"

#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/native_runtime.h"
#include "python/vm/exceptions.h"
#include "python/vm/generators.h"
#include "python/vm/protocols.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

constexpr std::uint8_t kStdinStream = 0;
constexpr std::uint8_t kStdinBufferStream = 3;

PyResult<bool> stream_is_bytes(RuntimeContext& ctx, Value it) {
    TRY_ASSIGN(slot, ctx.heap.get(it));
    return std::get<StreamIteratorPayload>(slot->object).flag != 0;
}

PyError not_iterable(RuntimeContext& ctx, Value v) {
    auto tn = type_name(ctx, v);
    if (!tn) return std::move(tn.error());
    return PyError::type_error(fmt::format("'{}' object is not iterable", *tn));
}

// The class of an instance of a program class binds `slot` to: the unbound value, or none.
PyResult<std::optional<Value>> instance_dunder(RuntimeContext& ctx, Value v, DunderSlot slot) {
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, in.types, v));
    if (!cls) return std::optional<Value>();
    return class_lookup(ctx, *cls, in.types.dunder_symbols()[std::size_t(slot)]);
}

// An iterator: a native iterator object, or a value whose class defines `__next__` (not None).
PyResult<bool> is_iterator(RuntimeContext& ctx, Value v) {
    if (is_native_iterator(ctx.heap, v)) return true;
    // A class that defines __next__ makes an iterator, even when calling it then fails.
    TRY_ASSIGN(next, instance_dunder(ctx, v, DunderSlot::Next));
    return next.has_value();
}

// The items of `__getitem__` called with 0, 1, 2 ... until IndexError or StopIteration.
PyResult<std::vector<Value>> getitem_items(RuntimeContext& ctx, Value v, Value method) {
    Interpreter& in = interp(ctx);
    std::vector<Value> items;
    for (std::int64_t i = 0;; ++i) {
        if (i == std::numeric_limits<std::int64_t>::max())
            return fail(PyError::unsupported("sequence index exceeds bounded integer range"));
        Value args[2] = {v, Value::from_int(i)};
        auto r = call_value(ctx, method, args);
        if (!r) {
            PyError e = std::move(r.error());
            if (auto left = error_to_pending_exception(in, ctx.machine.meter, std::move(e))) return fail(std::move(*left));
            if (pending_exception_is_instance(in, "IndexError") || pending_exception_is_instance(in, "StopIteration")) {
                ctx.exec.pending_exception.reset();
                return items;
            }
            return fail(PyError::raised());
        }
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        ctx.heap.push_root(*r);
        items.push_back(*r);
    }
}

}  // namespace

bool is_native_iterator(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s) return false;
    auto k = std::uint8_t(s->kind());
    return k >= std::uint8_t(HeapObjectKind::ValuesIterator) && k <= std::uint8_t(HeapObjectKind::Generator);
}

PyResult<std::optional<Value>> iterator_of_instance(RuntimeContext& ctx, Value v) {
    TRY_ASSIGN(iter, instance_dunder(ctx, v, DunderSlot::Iter));
    if (iter) {
        if (iter->is_none()) return fail(not_iterable(ctx, v));
        TRY_ASSIGN(r, call_value(ctx, *iter, std::span<const Value>(&v, 1)));
        ctx.heap.push_root(r);
        TRY_ASSIGN(ok, is_iterator(ctx, r));
        if (!ok) {
            TRY_ASSIGN(tn, type_name(ctx, r));
            return fail(PyError::type_error(fmt::format("iter() returned non-iterator of type '{}'", tn)));
        }
        return std::optional(r);
    }
    TRY_ASSIGN(getitem, instance_dunder(ctx, v, DunderSlot::GetItem));
    if (!getitem || getitem->is_none()) return std::optional<Value>();
    TRY_ASSIGN(items, getitem_items(ctx, v, *getitem));
    TRY_ASSIGN(it, ctx.heap.allocate_object(ValuesIteratorPayload{0, std::move(items)}, ctx.roots, ctx.machine.meter));
    return std::optional(it);
}

PyResult<std::optional<Value>> stream_iterator_for(RuntimeContext& ctx, Value v) {
    if (!v.is_native()) return std::optional<Value>();
    auto d = decode_native_handle(v);
    if (!d || d->tag != DefinitionTag::Stream || (d->number != kStdinStream && d->number != kStdinBufferStream))
        return std::optional<Value>();
    std::uint8_t bytes = d->number == kStdinBufferStream ? 1 : 0;
    TRY_ASSIGN(it, ctx.heap.allocate_object(StreamIteratorPayload{bytes}, ctx.roots, ctx.machine.meter));
    return std::optional(it);
}

PyResult<std::optional<IterStep>> native_iterator_next(RuntimeContext& ctx, Value it) {
    const HeapSlot* s = ctx.heap.get_if_object(it);
    if (!s) return std::optional<IterStep>();
    switch (s->kind()) {
        case HeapObjectKind::CountIterator:
        case HeapObjectKind::CallableIterator: {
            TRY_ASSIGN(item, py_next(ctx, it));
            return std::optional(IterStep{item});
        }
        case HeapObjectKind::ReversedIterator: {
            auto r = std::get<ReversedIteratorPayload>(s->object);
            if (r.remaining == 0) return std::optional(IterStep{});
            const std::uint64_t index = r.remaining - 1;
            if (index > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
                return fail(PyError::overflow_error("sequence is too large"));
            auto set_remaining = [&](std::uint64_t n) -> PyStatus {
                TRY_ASSIGN(slot, ctx.heap.slot_mut(it));
                std::get<ReversedIteratorPayload>(slot->object).remaining = n;
                return {};
            };
            TRY_DO(set_remaining(index));
            TRY_DO(python_charge_work(ctx.machine.meter, 1));
            // The sequence is read at each step: a list that shrank below the position ends the
            // iteration for good.
            if (const HeapSlot* src = ctx.heap.get_if_object(r.source);
                src && (src->kind() == HeapObjectKind::List || src->kind() == HeapObjectKind::Tuple)) {
                const std::vector<Value>& items = src->kind() == HeapObjectKind::List
                                                      ? std::get<ListPayload>(src->object).items
                                                      : std::get<TuplePayload>(src->object).items;
                if (index >= items.size()) {
                    TRY_DO(set_remaining(0));
                    return std::optional(IterStep{});
                }
                return std::optional(IterStep{ctx.heap.clone_value(items[index])});
            }
            if (const HeapSlot* src = ctx.heap.get_if_object(r.source); src && src->kind() == HeapObjectKind::Range) {
                const auto& range = std::get<RangePayload>(src->object);
                const __int128 v = __int128(range.start) + __int128(index) * range.step;
                if (v >= std::numeric_limits<std::int64_t>::min() && v <= std::numeric_limits<std::int64_t>::max())
                    return std::optional(IterStep{Value::from_int(std::int64_t(v))});
            }
            auto item = subscript(ctx, r.source, Value::from_int(std::int64_t(index)));
            if (!item) {
                Interpreter& in = interp(ctx);
                if (auto left = error_to_pending_exception(in, ctx.machine.meter, std::move(item.error())))
                    return fail(std::move(*left));
                if (!pending_exception_is_instance(in, "IndexError") && !pending_exception_is_instance(in, "StopIteration"))
                    return fail(PyError::raised());
                ctx.exec.pending_exception.reset();
                TRY_DO(set_remaining(0));
                return std::optional(IterStep{});
            }
            return std::optional(IterStep{*item});
        }
        case HeapObjectKind::StreamIterator: {
            TRY_ASSIGN(bytes, stream_is_bytes(ctx, it));
            auto line = read_stdin_line(ctx, bytes);
            if (!line && line.error().kind() == ErrorKindTag::Suspend)
                return fail(PyError::unsupported("reading standard input would block outside a for loop"));
            if (!line) return fail(std::move(line.error()));
            return std::optional(IterStep{*line});
        }
        default: return std::optional<IterStep>();
    }
}

PyResult<ForIterStep> for_iter_step(RuntimeContext& ctx, std::uint64_t ip) {
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    Frame& f = st.frames.back();
    if (st.values.size() <= f.value_base) return fail(PyError::unsupported("invalid bytecode stack effect"));
    Value it = st.values.back();
    const HeapSlot* s = heap.get_if_object(it);
    if (!s) return fail(PyError::unsupported("for-loop stack does not contain an iterator"));
    auto exhausted = [&] {
        st.values.pop_back();
        return ForIterStep::Exhausted;
    };
    auto item = [&](Value v) {
        st.values.push_back(v);
        return ForIterStep::Continue;
    };
    if (s->kind() == HeapObjectKind::Generator) {
        f.ip = ip + 1;
        auto resumed = generator_resume(ctx, it, Value::none(), true);
        if (!resumed) {
            f.ip = ip;
            return fail(std::move(resumed.error()));
        }
        if (resumed->resumed) return ForIterStep::Resumed;
        return exhausted();
    }
    if (s->kind() == HeapObjectKind::StreamIterator) {
        TRY_ASSIGN(bytes, stream_is_bytes(ctx, it));
        auto line = read_stdin_line(ctx, bytes);
        if (!line && line.error().kind() == ErrorKindTag::Suspend) {
            ParkedCall parked;
            parked.kind = ParkedCall::Kind::WaitOnly;
            parked.wait = std::shared_ptr<const WaitReason>(std::move(line.error().take_detail()->wait));
            if (ip < f.code->positions.size()) parked.position = f.code->positions[ip];
            f.ip = ip;  // the loop steps again once the input is there
            st.parked_call = Box<ParkedCall>::make(std::move(parked));
            return ForIterStep::Blocked;
        }
        if (!line) return fail(std::move(line.error()));
        if (!*line) return exhausted();
        return item(**line);
    }
    TRY_ASSIGN(step, iterator_next(ctx, it));
    if (step.item) return item(*step.item);
    return exhausted();
}

PyResult<std::optional<bool>> contains_in_bytes(RuntimeContext& ctx, Value container, Value item) {
    auto bytes_of = [&](Value v) -> const std::string* {
        const HeapSlot* s = ctx.heap.get_if_object(v);
        if (!s) return nullptr;
        if (auto* b = std::get_if<BytesPayload>(&s->object)) return &b->bytes;
        if (auto* b = std::get_if<ByteArrayPayload>(&s->object)) return &b->bytes;
        return nullptr;
    };
    const std::string* haystack = bytes_of(container);
    if (!haystack) return std::optional<bool>();
    if (const std::string* needle = bytes_of(item)) {
        TRY_DO(python_charge_work(ctx.machine.meter, needle->size() + haystack->size()));
        return std::optional(haystack->find(*needle) != std::string::npos);
    }
    const HeapSlot* s = ctx.heap.get_if_object(item);
    if (item.is_int() || item.is_bool() || (s && s->kind() == HeapObjectKind::BigInt)) {
        const std::int64_t b = item.is_bool() ? (item.as_bool() ? 1 : 0) : item.is_int() ? item.as_int() : -1;
        if (b < 0 || b > 255) return fail(PyError::value_error("byte must be in range(0, 256)"));
        TRY_DO(python_charge_work(ctx.machine.meter, 1 + haystack->size()));
        return std::optional(haystack->find(char(b)) != std::string::npos);
    }
    TRY_ASSIGN(tn, type_name(ctx, item));
    return fail(PyError::type_error(fmt::format("a bytes-like object is required, not '{}'", tn)));
}

PyResult<bool> contains_by_iteration(RuntimeContext& ctx, Value container, Value item) {
    TRY_ASSIGN(it, get_iterator(ctx, container));
    ctx.heap.push_root(it);
    for (;;) {
        NativeCallScope scope(ctx);
        RuntimeContext& c = scope.context;
        TRY_DO(python_charge_work(c.machine.meter, 1));
        TRY_ASSIGN(step, iterator_next(c, it));
        if (!step.item) return false;
        if (*step.item == item) return true;
        TRY_ASSIGN(eq, values_equal(c, *step.item, item));
        if (eq) return true;
    }
}

PyResult<std::uint64_t> range_length(std::int64_t start, std::int64_t stop, std::int64_t step) {
    if (step == 0) return fail(PyError::unsupported("range() arg 3 must not be zero"));
    unsigned __int128 n = 0;
    if (step > 0 && start < stop)
        n = (unsigned __int128)((__int128(stop) - start - 1) / step) + 1;
    else if (step < 0 && start > stop)
        n = (unsigned __int128)((__int128(start) - stop - 1) / -__int128(step)) + 1;
    if (n > std::numeric_limits<std::uint64_t>::max()) return fail(PyError::unsupported("range is too large"));
    return std::uint64_t(n);
}

PyResult<std::optional<Value>> lookup_dunder(RuntimeContext& ctx, Value v, std::string_view name) {
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, in.types, v));
    if (!cls) return py_getattr_by_name(ctx, v, name);
    auto symbol = ctx.heap.symbols.lookup(name);
    TRY_ASSIGN(hit, py_mro_lookup(ctx, *cls, symbol));
    if (!hit) return std::optional<Value>();
    TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, v, *cls, hit->owner));
    ctx.heap.push_root(bound);
    return std::optional(bound);
}

PyResult<std::optional<Value>> call_conversion_dunder(RuntimeContext& ctx, Value v, std::string_view name) {
    const HeapSlot* s = ctx.heap.get_if_object(v);
    const bool registered = s && s->kind() == HeapObjectKind::Registered;
    if (!registered) {
        if (v.is_int() || v.is_bool() || v.is_float() || v.is_inline_str()) return std::optional<Value>();
        if (s && s->type_id < kBuiltinTypeCount) {
            switch (s->kind()) {
                case HeapObjectKind::BigInt:
                case HeapObjectKind::Float:
                case HeapObjectKind::Complex:
                case HeapObjectKind::Str:
                case HeapObjectKind::Bytes:
                case HeapObjectKind::ByteArray: return std::optional<Value>();
                default: break;
            }
        }
    }
    TRY_ASSIGN(method, lookup_dunder(ctx, v, name));
    if (!method) return std::optional<Value>();
    TRY_ASSIGN(r, call_value(ctx, *method, {}));
    ctx.heap.push_root(r);
    return std::optional(r);
}

PyResult<std::optional<Value>> call_int_conversion_slot(RuntimeContext& ctx, Value v,
                                                        std::span<const std::string_view> names) {
    for (std::string_view name : names) {
        TRY_ASSIGN(r, call_conversion_dunder(ctx, v, name));
        if (!r) continue;
        const HeapSlot* s = ctx.heap.get_if_object(*r);
        if (r->is_int() || r->is_bool() || (s && s->kind() == HeapObjectKind::BigInt)) return r;
        TRY_ASSIGN(tn, type_name(ctx, *r));
        return fail(PyError::type_error(fmt::format("{} returned non-int (type {})", name, tn)));
    }
    return std::optional<Value>();
}

PyResult<std::optional<std::int64_t>> py_as_index(RuntimeContext& ctx, Value v) {
    if (v.is_bool()) return std::optional<std::int64_t>(v.as_bool() ? 1 : 0);
    if (v.is_int()) return std::optional(v.as_int());
    static constexpr std::string_view kIndex[] = {"__index__"};
    TRY_ASSIGN(r, call_int_conversion_slot(ctx, v, kIndex));
    if (!r) return std::optional<std::int64_t>();
    if (r->is_bool()) return std::optional<std::int64_t>(r->as_bool() ? 1 : 0);
    if (r->is_int()) return std::optional(r->as_int());
    return fail(PyError::index_error("cannot fit 'int' into an index-sized integer"));
}

}  // namespace tw::py::vm
