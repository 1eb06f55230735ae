// Subscription and iteration entry of builtin values: `obj[key]` when no class `__getitem__`
// answers (indexes, slices, dict lookups with defaultdict factories and `__missing__`), the
// iterator a builtin iterable gives, and the container and str slots the builtin types share.
#include <fmt/format.h>

#include <algorithm>

#include "base/sat.h"
#include "kernel/machine.h"
#include "kernel/process.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/number/hash.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/classes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"
#include "python/vm/iterating_calls.h"
#include "python/vm/iteration.h"
#include "python/vm/namespace.h"
#include "python/vm/protocols.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

struct SliceParts {
    std::optional<std::int64_t> start, stop, step;
};

// One bound of a slice: none, a 64-bit value (big integers saturate), or through __index__.
PyResult<std::optional<std::int64_t>> slice_bound_of(RuntimeContext& ctx, Value v) {
    if (v.is_none() || v.is_absent()) return std::optional<std::int64_t>();
    if (v.is_int() || v.is_bool()) return std::optional(v.as_int());
    NumericView view = py_numeric_view(ctx.heap, v);
    if (view.kind == NumericView::Big && view.big) return std::optional(mpz_sgn(view.big->get()) < 0 ? -INT64_MAX : INT64_MAX);
    if (view.kind == NumericView::U64) return std::optional(INT64_MAX);
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, interp(ctx).types, v));
    if (cls) {
        TRY_ASSIGN(hit, py_mro_lookup(ctx, *cls, ctx.heap.symbols.lookup("__index__")));
        if (hit) {
            TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, v, *cls, hit->owner));
            TRY_ASSIGN(r, call_value(ctx, bound, {}));
            return slice_bound_of(ctx, r);
        }
    }
    return fail(PyError::type_error("slice indices must be integers or None or have an __index__ method"));
}

PyResult<std::optional<SliceParts>> slice_parts_of(RuntimeContext& ctx, Value key) {
    const HeapSlot* s = ctx.heap.get_if_object(key);
    if (!s || s->kind() != HeapObjectKind::Slice) return std::optional<SliceParts>();
    const SlicePayload p = std::get<SlicePayload>(s->object);
    SliceParts out;
    TRY_ASSIGN(start, slice_bound_of(ctx, p.start));
    TRY_ASSIGN(stop, slice_bound_of(ctx, p.stop));
    TRY_ASSIGN(step, slice_bound_of(ctx, p.step));
    if (step && *step == 0) return fail(PyError::value_error("slice step cannot be zero"));
    out.start = start, out.stop = stop, out.step = step;
    return std::optional(out);
}

struct Resolved {
    std::int64_t first = 0, step = 1;
    std::uint64_t count = 0;
};

// Python's slice adjustment of bounds against a length.
Resolved resolve(const SliceParts& p, std::int64_t length) {
    const std::int64_t step = p.step.value_or(1);
    const std::int64_t lower = step < 0 ? -1 : 0, upper = step < 0 ? length - 1 : length;
    auto clamp = [&](std::optional<std::int64_t> v, std::int64_t dflt) {
        if (!v) return dflt;
        std::int64_t i = *v;
        if (i < 0) {
            i = i < -length ? lower : i + length;
            if (i < lower) i = lower;
        } else if (i > upper) {
            i = upper;
        }
        return i;
    };
    const std::int64_t start = clamp(p.start, step < 0 ? upper : lower);
    const std::int64_t stop = clamp(p.stop, step < 0 ? lower : upper);
    std::uint64_t count = 0;
    if (step > 0 && start < stop) count = std::uint64_t((__int128(stop) - start - 1) / step + 1);
    if (step < 0 && start > stop) count = std::uint64_t((__int128(start) - stop - 1) / -__int128(step) + 1);
    return {start, step, count};
}

std::int64_t nth(const Resolved& r, std::uint64_t i) { return std::int64_t(r.first + __int128(r.step) * std::int64_t(i)); }

// Byte offsets of the code points of a text, and the end.
std::vector<std::size_t> char_offsets(std::string_view s) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) out.push_back(i);
    out.push_back(s.size());
    return out;
}

bool ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

PyStatus charge_code_points(RuntimeContext& ctx, std::string_view s, bool allocation) {
    TRY_DO(python_charge_work(ctx.machine.meter, s.size() / 16 + 1));
    if (allocation) {
        TRY_DO(ctx.heap.reserve_memory(4 * s.size(), nullptr, ctx.roots, ctx.machine.meter));
        ctx.heap.record_native_charge(4 * s.size());
    }
    return {};
}

std::int64_t range_length(const RangePayload& r) {
    __int128 span = r.step > 0 ? __int128(r.stop) - r.start : __int128(r.start) - r.stop;
    __int128 step = r.step > 0 ? __int128(r.step) : -__int128(r.step);
    if (span <= 0) return 0;
    __int128 n = (span + step - 1) / step;
    return n > INT64_MAX ? INT64_MAX : std::int64_t(n);
}

PyResult<Value> slice_of(RuntimeContext& ctx, Value obj, const HeapSlot* slot, const SliceParts& parts) {
    Heap& heap = ctx.heap;
    TRY_ASSIGN(text, value_to_owned_string(heap, obj));
    if (text) {
        const std::string& s = *text;
        if (ascii(s)) {
            Resolved r = resolve(parts, std::int64_t(s.size()));
            TRY_DO(python_charge_work(ctx.machine.meter, r.count));
            if (r.step == 1) return make_str(ctx, s.substr(std::size_t(r.first), r.count));
            std::string out;
            for (std::uint64_t i = 0; i < r.count; ++i) out.push_back(s[std::size_t(nth(r, i))]);
            return make_str(ctx, std::move(out));
        }
        TRY_DO(charge_code_points(ctx, s, true));
        auto offs = char_offsets(s);
        Resolved r = resolve(parts, std::int64_t(offs.size() - 1));
        TRY_DO(python_charge_work(ctx.machine.meter, r.count));
        std::string out;
        for (std::uint64_t i = 0; i < r.count; ++i) {
            std::size_t k = std::size_t(nth(r, i));
            out.append(s, offs[k], offs[k + 1] - offs[k]);
        }
        return make_str(ctx, std::move(out));
    }
    if (!slot) return fail(PyError::unsupported("object is not sliceable"));
    const std::string* bytes = nullptr;
    if (auto* b = std::get_if<BytesPayload>(&slot->object)) bytes = &b->bytes;
    if (auto* b = std::get_if<ByteArrayPayload>(&slot->object)) bytes = &b->bytes;
    if (bytes) {
        const bool bytearray = slot->kind() == HeapObjectKind::ByteArray;
        std::string copy = *bytes;
        Resolved r = resolve(parts, std::int64_t(copy.size()));
        TRY_DO(python_charge_work(ctx.machine.meter, r.count));
        std::string out;
        for (std::uint64_t i = 0; i < r.count; ++i) out.push_back(copy[std::size_t(nth(r, i))]);
        if (bytearray) return heap.allocate_object(ByteArrayPayload{std::move(out)}, ctx.roots, ctx.machine.meter);
        return heap.allocate_object(BytesPayload{std::move(out)}, ctx.roots, ctx.machine.meter);
    }
    if (slot->kind() == HeapObjectKind::List || slot->kind() == HeapObjectKind::Tuple) {
        const bool list = slot->kind() == HeapObjectKind::List;
        std::vector<Value> items = *sequence_items(slot->object);
        Resolved r = resolve(parts, std::int64_t(items.size()));
        TRY_DO(python_charge_work(ctx.machine.meter, r.count));
        std::vector<Value> out;
        out.reserve(r.count);
        for (std::uint64_t i = 0; i < r.count; ++i) out.push_back(items[std::size_t(nth(r, i))]);
        return list ? new_list(ctx, std::move(out)) : new_tuple(ctx, std::move(out));
    }
    if (auto* rp = std::get_if<RangePayload>(&slot->object)) {
        // A range of the selected items: range(10)[::-1] is range(9, -1, -1).
        const RangePayload range = *rp;
        Resolved r = resolve(parts, range_length(range));
        __int128 start = __int128(range.start) + __int128(r.first) * range.step;
        __int128 step = __int128(range.step) * r.step;
        __int128 stop = start + step * __int128(r.count);
        if (start > INT64_MAX || start < INT64_MIN || step > INT64_MAX || step < INT64_MIN || stop > INT64_MAX ||
            stop < INT64_MIN)
            return fail(PyError::unsupported("range value exceeds bounded integer range"));
        return heap.allocate_object(RangePayload{std::int64_t(start), std::int64_t(stop), std::int64_t(step)}, ctx.roots,
                                    ctx.machine.meter);
    }
    return fail(PyError::unsupported("object is not sliceable"));
}

PyError not_subscriptable(RuntimeContext& ctx, Value obj) {
    auto tn = type_name(ctx, obj);
    if (!tn) return std::move(tn.error());
    return PyError::type_error(fmt::format("'{}' object is not subscriptable", *tn));
}

PyResult<Value> raise_key_error(RuntimeContext& ctx, Value key) {
    std::vector<Value> args{key};
    TRY_ASSIGN(e, new_exception(interp(ctx), ctx.machine.meter, "KeyError", std::move(args)));
    ctx.exec.pending_exception = e;
    return fail(PyError::raised());
}

PyResult<Value> dict_getitem(RuntimeContext& ctx, Value obj, Value key) {
    Heap& heap = ctx.heap;
    TRY_ASSIGN(found, dict_lookup(ctx, obj, key));
    if (found) return *found;
    const HeapSlot* slot = heap.get_if_object(obj);
    if (auto* dd = slot ? std::get_if<DefaultDictPayload>(&slot->object) : nullptr;
        dd && dd->default_factory.is_present() && !dd->default_factory.is_none()) {
        Value factory = dd->default_factory;
        auto made = call_value(ctx, factory, {});
        if (!made) {
            PyError e = std::move(made.error());
            if (auto k = e.kind(); k && *k != ErrorKindTag::Exception && *k != ErrorKindTag::Exit)
                if (auto* d = e.detail()) d->message += " in default factory";
            return fail(std::move(e));
        }
        heap.push_root(*made);
        TRY_DO(dict_store(ctx, obj, key, *made));
        return *made;
    }
    TRY_ASSIGN(cls, instance_class_value(heap, interp(ctx).types, obj));
    if (cls) {
        const Symbol missing_sym = heap.symbols.intern_static("__missing__");
        TRY_ASSIGN(missing, class_lookup(ctx, *cls, missing_sym));
        if (missing) {
            TRY_ASSIGN(method, py_getattr(ctx, obj, missing_sym, "__missing__"));
            if (!method) return fail(PyError::unsupported("__missing__ disappeared during lookup"));
            Value args[1] = {key};
            return call_value(ctx, *method, args);
        }
    }
    return raise_key_error(ctx, key);
}

// The integer of a non-int index through __index__; errors of the conversion are returned.
PyResult<Value> normalize_index(RuntimeContext& ctx, Value key) {
    if (key.is_int() || key.is_bool()) return key;
    if (py_numeric_view(ctx.heap, key).kind == NumericView::Big) return key;
    // Any other object stands for its __index__, which must give an int that fits.
    TRY_ASSIGN(index, py_as_index(ctx, key));
    return index ? Value::from_int(*index) : key;
}

// An index against a length: the position, or none when it is out of range; a key that is no
// integer fails with `not_int`.
PyResult<std::optional<std::int64_t>> position(RuntimeContext& ctx, Value key, std::int64_t length, PyError not_int) {
    if (!key.is_int() && !key.is_bool()) {
        if (py_numeric_view(ctx.heap, key).kind == NumericView::Big) return std::optional<std::int64_t>();
        return fail(std::move(not_int));
    }
    std::int64_t i = key.as_int();
    if (i < 0) i += length;
    if (i < 0 || i >= length) return std::optional<std::int64_t>();
    return std::optional(i);
}

// ---- the container and str slots ---------------------------------------------------------------

SlotValue generic_len_slot(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(n, py_builtin_len(rt.context(), self));
    if (!n) return std::optional<Value>();
    if (*n > std::uint64_t(INT64_MAX)) return fail(PyError::overflow_error("length is too large"));
    return std::optional(Value::from_int(std::int64_t(*n)));
}
SlotValue generic_iter_slot(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(it, py_iter(rt.context(), self));
    return it;
}
SlotValue generic_getitem_slot(NativeRuntime& rt, Value self, Value key) {
    TRY_ASSIGN(v, py_getitem(rt.context(), self, key));
    return std::optional(v);
}
SlotValue generic_contains_slot(NativeRuntime& rt, Value self, Value item) {
    TRY_ASSIGN(b, contains(rt.context(), self, item));
    return std::optional(Value::from_bool(b));
}

SlotValue object_format_slot(NativeRuntime& rt, Value self, Value spec) {
    RuntimeContext& ctx = rt.context();
    TRY_ASSIGN(text, value_to_owned_string(ctx.heap, spec));
    if (!text) {
        TRY_ASSIGN(tn, type_name(ctx, spec));
        return fail(PyError::type_error(fmt::format("expected a string, got {}", tn)));
    }
    if (!text->empty()) {
        TRY_ASSIGN(tn, type_name(ctx, self));
        return fail(PyError::type_error(fmt::format("unsupported format string passed to {}.__format__", tn)));
    }
    TRY_ASSIGN(s, str_text(ctx, self));
    TRY_ASSIGN(v, make_str(ctx, std::move(s)));
    return std::optional(v);
}

PyResult<std::optional<std::pair<std::string, std::string>>> two_texts(NativeRuntime& rt, Value a, Value b) {
    using Pair = std::optional<std::pair<std::string, std::string>>;
    TRY_ASSIGN(x, value_to_owned_string(rt.heap(), a));
    TRY_ASSIGN(y, value_to_owned_string(rt.heap(), b));
    if (!x || !y) return Pair();
    return Pair(std::pair(std::move(*x), std::move(*y)));
}

template <int Op>
SlotValue str_compare_slot(NativeRuntime& rt, Value self, Value other) {
    TRY_ASSIGN(p, two_texts(rt, self, other));
    if (!p) return std::optional<Value>();
    const int c = p->first.compare(p->second);
    bool r = Op == 0 ? c == 0 : Op == 1 ? c != 0 : Op == 2 ? c < 0 : Op == 3 ? c <= 0 : Op == 4 ? c > 0 : c >= 0;
    return std::optional(Value::from_bool(r));
}

SlotValue str_concat_slot(NativeRuntime& rt, Value self, Value other) {
    RuntimeContext& ctx = rt.context();
    TRY_ASSIGN(p, two_texts(rt, self, other));
    if (!p) return std::optional<Value>();
    const std::uint64_t size = p->first.size() + p->second.size();
    TRY_DO(ctx.heap.reserve_memory(size, nullptr, ctx.roots, ctx.machine.meter));
    ctx.heap.record_native_charge(size);
    TRY_ASSIGN(v, make_str(ctx, p->first + p->second));
    return std::optional(v);
}

SlotValue str_repeat_slot(NativeRuntime& rt, Value self, Value count) {
    RuntimeContext& ctx = rt.context();
    TRY_ASSIGN(text, value_to_owned_string(ctx.heap, self));
    if (!text) return std::optional<Value>();
    std::uint64_t n = 0;
    if (count.is_int() || count.is_bool()) {
        n = count.as_int() > 0 ? std::uint64_t(count.as_int()) : 0;
    } else {
        NumericView view = py_numeric_view(ctx.heap, count);
        if (view.kind != NumericView::Big && view.kind != NumericView::U64) return std::optional<Value>();
        if (view.kind == NumericView::Big && view.big) {
            TRY_DO(python_charge_work(ctx.machine.meter, view.big->word_count()));
            if (mpz_sgn(view.big->get()) < 0) n = 0;
            else return fail(PyError::overflow_error("sequence repeat is too large"));
        } else {
            n = view.u64;
        }
    }
    std::uint64_t size;
    if (__builtin_mul_overflow(std::uint64_t(text->size()), n, &size))
        return fail(PyError::resource("string result is too large"));
    TRY_DO(ctx.heap.reserve_memory(size, nullptr, ctx.roots, ctx.machine.meter));
    ctx.heap.record_native_charge(size);
    TRY_DO(python_charge_work(ctx.machine.meter, size));
    std::string out;
    out.reserve(size);
    for (std::uint64_t i = 0; i < n; ++i) out += *text;
    TRY_ASSIGN(v, make_str(ctx, std::move(out)));
    return std::optional(v);
}

// `Color['RED']` of an enumeration: the member of that name; KeyError for any other key. None
// when the class is not an enumeration.
PyResult<std::optional<Value>> enum_member_by_name(RuntimeContext& ctx, Value cls, Value key) {
    Heap& heap = ctx.heap;
    const ClassRecord* rec = class_record_of(heap, cls);
    if (!rec || rec->values.empty()) return std::optional<Value>();
    TRY_ASSIGN(name, str_view(heap, key));
    if (name) {
        if (auto sym = heap.symbols.lookup(*name))
            if (const Value* v = rec->namespace_.get(*sym))
                if (std::find(rec->values.begin(), rec->values.end(), *v) != rec->values.end())
                    return std::optional(heap.clone_value(*v));
    }
    std::vector<Value> args{key};
    TRY_ASSIGN(e, new_exception(interp(ctx), ctx.machine.meter, "KeyError", std::move(args)));
    ctx.exec.pending_exception = e;
    return fail(PyError::raised());
}

}  // namespace

PyResult<Value> py_getitem(RuntimeContext& ctx, Value obj, Value key) {
    Heap& heap = ctx.heap;
    heap.push_root(obj);
    heap.push_root(key);
    const HeapSlot* slot = heap.get_if_object(obj);  // read again after any call into Python code
    const bool mapping = slot && dict_table_of(const_cast<HeapObject&>(slot->object));
    if (!mapping) {
        TRY_ASSIGN(parts, slice_parts_of(ctx, key));
        if (parts) return slice_of(ctx, obj, heap.get_if_object(obj), *parts);
    }
    TRY_ASSIGN(text, value_to_owned_string(heap, obj));
    const bool sequence = text || (slot && (slot->kind() == HeapObjectKind::Bytes || slot->kind() == HeapObjectKind::ByteArray ||
                                            slot->kind() == HeapObjectKind::List || slot->kind() == HeapObjectKind::Tuple ||
                                            slot->kind() == HeapObjectKind::Range));
    if (sequence) {
        TRY_ASSIGN(k, normalize_index(ctx, key));
        key = k;
        heap.push_root(key);
        slot = heap.get_if_object(obj);  // __index__ ran code that may have moved the heap's slots
    }
    if (auto d = decode_native_handle(obj); d && d->tag == DefinitionTag::TypingList) {
        std::string inner;
        if (auto kd = decode_native_handle(key); kd && kd->tag == DefinitionTag::BuiltinType &&
                                                 (kd->number == type_id(BuiltinType::Int) || kd->number == type_id(BuiltinType::String))) {
            inner = builtin_type_name(kd->number);
        } else {
            TRY_ASSIGN(r, repr_text(ctx, key));
            inner = std::move(r);
        }
        return make_str(ctx, fmt::format("typing.List[{}]", inner));
    }
    if (auto d = decode_native_handle(obj); d && d->tag == DefinitionTag::Environment) {
        TRY_ASSIGN(name, value_to_owned_string(heap, key));
        if (!name) return fail(PyError::unsupported("environment key must be a string"));
        // The variables of the process running the program.
        if (const ProcessState* state = ctx.machine.states.find(ctx.machine.states.active_pid())) {
            if (auto it = state->variables.find(*name); it != state->variables.end()) return make_str(ctx, it->second);
            if (*name == "PWD") return make_str(ctx, state->cwd);
        }
        return raise_key_error(ctx, key);
    }
    if (text) {
        TRY_ASSIGN(tn, type_name(ctx, key));
        const bool is_ascii = ascii(*text);
        if (!is_ascii) TRY_DO(charge_code_points(ctx, *text, false));
        std::vector<std::size_t> offs = is_ascii ? std::vector<std::size_t>() : char_offsets(*text);
        const std::int64_t n = is_ascii ? std::int64_t(text->size()) : std::int64_t(offs.size() - 1);
        TRY_ASSIGN(i, position(ctx, key, n, PyError::type_error(fmt::format("string indices must be integers, not '{}'", tn))));
        if (!i) return fail(PyError::index_error("string index out of range"));
        if (is_ascii) return make_str(ctx, text->substr(std::size_t(*i), 1));
        return make_str(ctx, text->substr(offs[*i], offs[*i + 1] - offs[*i]));
    }
    if (!slot) return fail(not_subscriptable(ctx, obj));
    if (slot->kind() == HeapObjectKind::List || slot->kind() == HeapObjectKind::Tuple) {
        const std::string_view what = slot->kind() == HeapObjectKind::List ? "list" : "tuple";
        const std::int64_t n = std::int64_t(sequence_items(slot->object)->size());
        TRY_ASSIGN(tn, type_name(ctx, key));
        TRY_ASSIGN(i, position(ctx, key, n, PyError::type_error(fmt::format("{} indices must be integers or slices, not {}", what, tn))));
        if (!i) return fail(PyError::index_error(fmt::format("{} index out of range", what)));
        return heap.clone_value((*sequence_items(heap.get_if_object(obj)->object))[std::size_t(*i)]);
    }
    if (mapping) return dict_getitem(ctx, obj, key);
    if (auto* rp = std::get_if<RangePayload>(&slot->object)) {
        const RangePayload r = *rp;
        TRY_ASSIGN(tn, type_name(ctx, key));
        TRY_ASSIGN(i, position(ctx, key, range_length(r),
                               PyError::type_error(fmt::format("range indices must be integers or slices, not {}", tn))));
        if (!i) return fail(PyError::index_error("range object index out of range"));
        __int128 item = __int128(r.start) + __int128(*i) * r.step;
        if (item > INT64_MAX || item < INT64_MIN) return fail(PyError::unsupported("range value exceeds bounded integer range"));
        return Value::from_int(std::int64_t(item));
    }
    if (slot->kind() == HeapObjectKind::Set || slot->kind() == HeapObjectKind::FrozenSet) return fail(not_subscriptable(ctx, obj));
    TRY_ASSIGN(tid, py_type_id_of(heap, interp(ctx).types, obj));
    TRY_ASSIGN(hit, py_type_lookup(ctx, tid, heap.symbols.lookup("__getitem__")));
    if (hit)
        if (auto d = decode_native_handle(hit->value); d && d->tag == DefinitionTag::NativeMethod && d->function &&
                                                       d->function->method_handler) {
            EngineRuntime rt(ctx);
            NativeCall call{{key}, {}};
            return d->function->method_handler(rt, obj, std::move(call));
        }
    return fail(not_subscriptable(ctx, obj));
}

PyResult<Value> subscript(RuntimeContext& ctx, Value container, Value key) {
    Heap& heap = ctx.heap;
    const HeapSlot* slot = heap.get_if_object(container);
    // The plain builtin containers answer at once.
    if (slot && slot->type_id < kBuiltinTypeCount) {
        if ((slot->kind() == HeapObjectKind::List || slot->kind() == HeapObjectKind::Tuple) && key.is_int()) {
            const std::vector<Value>& items = *sequence_items(slot->object);
            std::int64_t i = key.as_int(), n = std::int64_t(items.size());
            if (i < 0) i += n;
            if (i >= 0 && i < n) return heap.clone_value(items[std::size_t(i)]);
        }
        if (slot->kind() == HeapObjectKind::Dict) return dict_getitem(ctx, container, key);
    }
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(tid, py_type_id_of(heap, in.types, container));
    TRY_ASSIGN(entry, in.types.slot(tid, DunderSlot::GetItem));
    if (entry && entry->kind == SlotKind::Callable) {
        TRY_ASSIGN(cls, instance_class_value(heap, in.types, container));
        if (cls) {
            TRY_ASSIGN(method, class_lookup(ctx, *cls, in.types.dunder_symbols()[std::size_t(DunderSlot::GetItem)]));
            if (method) {
                Value args[2] = {container, key};
                return call_immediate(ctx, *method, args, {});
            }
        }
    } else if (entry && entry->kind == SlotKind::Binary && entry->fn) {
        EngineRuntime rt(ctx);
        TRY_ASSIGN(r, entry->as_binary()(rt, container, key));
        if (r) return *r;
    }
    if (slot && slot->kind() == HeapObjectKind::Class) {
        TRY_ASSIGN(hook, class_lookup(ctx, container, heap.symbols.intern_static("__class_getitem__")));
        if (hook) {
            TRY_ASSIGN(bound, py_bind_special_method(ctx, *hook, container, tid, tid));
            if (bound) {
                Value args[1] = {key};
                return call_value(ctx, *bound, args);
            }
        }
        TRY_ASSIGN(member, enum_member_by_name(ctx, container, key));
        if (member) return *member;
    }
    if (auto d = decode_native_handle(container); d && d->tag == DefinitionTag::BuiltinType) {
        TRY_ASSIGN(hook, in.types.slot(d->number, DunderSlot::ClassGetItem));
        if (hook && hook->kind == SlotKind::Binary && hook->fn) {
            EngineRuntime rt(ctx);
            TRY_ASSIGN(r, hook->as_binary()(rt, container, key));
            if (r) return *r;
        }
    }
    return py_getitem(ctx, container, key);
}

PyResult<std::optional<Value>> py_iter(RuntimeContext& ctx, Value v) {
    Heap& heap = ctx.heap;
    using Out = std::optional<Value>;
    ResourceMeter& meter = ctx.machine.meter;
    if (const HeapSlot* slot = heap.get_if_object(v)) {
        switch (slot->kind()) {
            case HeapObjectKind::ValuesIterator: case HeapObjectKind::SequenceIterator:
            case HeapObjectKind::ReversedIterator: case HeapObjectKind::RangeIterator:
            case HeapObjectKind::CountIterator: case HeapObjectKind::CallableIterator:
            case HeapObjectKind::StreamIterator: case HeapObjectKind::Generator:
                return Out(v);
            case HeapObjectKind::List:
            case HeapObjectKind::Tuple: {
                TRY_ASSIGN(it, heap.allocate_object(SequenceIteratorPayload{0, v}, ctx.roots, meter));
                return Out(it);
            }
            case HeapObjectKind::Range: {
                auto r = std::get<RangePayload>(slot->object);
                TRY_ASSIGN(it, heap.allocate_object(RangeIteratorPayload{false, r.start, r.stop, r.step}, ctx.roots, meter));
                return Out(it);
            }
            case HeapObjectKind::Class: {
                // An enumeration: its members, in definition order.
                std::vector<Value> members = std::get<ClassPayload>(slot->object).record->values;
                if (members.empty()) break;
                TRY_DO(python_charge_work(meter, members.size()));
                TRY_ASSIGN(it, heap.allocate_object(ValuesIteratorPayload{0, std::move(members)}, ctx.roots, meter));
                return Out(it);
            }
            default: break;
        }
    }
    std::vector<Value> snapshot;
    auto append = [&](Value item, std::uint64_t text_bytes) -> PyStatus {
        const std::uint64_t bytes = text_bytes ? sat_add(std::uint64_t(64), sat_mul(std::uint64_t(2), text_bytes)) : 64;
        TRY_DO(heap.reserve_memory(bytes, nullptr, ctx.roots, meter));
        heap.record_native_charge(bytes);
        TRY_DO(python_charge_work(meter, 1));
        heap.push_root(item);
        snapshot.push_back(item);
        return {};
    };
    TRY_ASSIGN(text, value_to_owned_string(heap, v));
    const HeapSlot* slot = heap.get_if_object(v);
    if (text) {
        auto offs = char_offsets(*text);
        for (std::size_t i = 0; i + 1 < offs.size(); ++i) {
            TRY_ASSIGN(c, make_str(ctx, text->substr(offs[i], offs[i + 1] - offs[i])));
            TRY_DO(append(c, offs[i + 1] - offs[i]));
        }
    } else if (slot && (slot->kind() == HeapObjectKind::Bytes || slot->kind() == HeapObjectKind::ByteArray)) {
        std::string bytes = slot->kind() == HeapObjectKind::Bytes ? std::get<BytesPayload>(slot->object).bytes
                                                                  : std::get<ByteArrayPayload>(slot->object).bytes;
        for (unsigned char b : bytes) TRY_DO(append(Value::from_int(b), 0));
    } else if (slot && (dict_table_of(const_cast<HeapObject&>(slot->object)) || set_table_of(const_cast<HeapObject&>(slot->object)))) {
        std::vector<Value> keys;
        HeapObject& o = const_cast<HeapObject&>(slot->object);
        if (DictTable* t = dict_table_of(o)) t->for_each_live([&](const DictSlot& s) { keys.push_back(s.key); });
        if (SetTable* t = set_table_of(o)) t->for_each_live([&](const SetSlot& s) { keys.push_back(s.key); });
        for (const Value& k : keys) heap.push_root(k);
        for (const Value& k : keys) {
            TRY_ASSIGN(kt, str_view(heap, k));
            TRY_DO(append(k, kt ? kt->size() : 0));
        }
    } else {
        return Out();
    }
    TRY_ASSIGN(it, heap.allocate_object(ValuesIteratorPayload{0, std::move(snapshot)}, ctx.roots, meter));
    return Out(it);
}

PyResult<bool> py_iterator_kind_of(RuntimeContext& ctx, Value v) {
    if (const HeapSlot* s = ctx.heap.get_if_object(v)) {
        const auto k = std::uint8_t(s->kind());
        if (k >= std::uint8_t(HeapObjectKind::ValuesIterator) && k <= std::uint8_t(HeapObjectKind::Generator)) return true;
    }
    Interpreter& in = interp(ctx);
    TRY_ASSIGN(tid, py_type_id_of(ctx.heap, in.types, v));
    TRY_ASSIGN(entry, in.types.slot(tid, DunderSlot::Next));
    if (!entry) return false;
    if (entry->kind == SlotKind::Callable && entry->value.is_none()) return false;
    return true;
}

PyResult<bool> py_is_count_iterator(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    return s && s->kind() == HeapObjectKind::CountIterator;
}

PyResult<std::vector<Value>> py_materialize_iterable(RuntimeContext& ctx, Value v) {
    Heap& heap = ctx.heap;
    TRY_ASSIGN(fn, iteration_module_function(ctx, "materialize"));
    Value args[1] = {v};
    TRY_ASSIGN(r, call_value(ctx, fn, args));
    TRY_ASSIGN(rs, heap.get(r));
    if (rs->kind() != HeapObjectKind::List) return fail(PyError::unsupported("_iteration.materialize did not return a list"));
    std::vector<Value> items = std::get<ListPayload>(rs->object).items;
    for (const Value& x : items) heap.push_root(x);
    return items;
}

void install_container_slots(TypeRegistry& registry) {
    auto set = [&](BuiltinType t, DunderSlot s, SlotEntry e) {
        TypeRecord* rec = registry.get_mut(type_id(t));
        rec->resolved[std::size_t(s)] = e;
    };
    for (BuiltinType t : {BuiltinType::String, BuiltinType::List, BuiltinType::Tuple, BuiltinType::Dict, BuiltinType::Set,
                          BuiltinType::FrozenSet, BuiltinType::Range})
        set(t, DunderSlot::Length, SlotEntry::unary(generic_len_slot));
    for (BuiltinType t : {BuiltinType::String, BuiltinType::Bytes, BuiltinType::ByteArray, BuiltinType::List,
                          BuiltinType::Tuple, BuiltinType::Dict, BuiltinType::Set, BuiltinType::FrozenSet, BuiltinType::Range}) {
        set(t, DunderSlot::Iter, SlotEntry::unary(generic_iter_slot));
        set(t, DunderSlot::Contains, SlotEntry::binary(generic_contains_slot));
    }
    for (BuiltinType t : {BuiltinType::String, BuiltinType::List, BuiltinType::Tuple, BuiltinType::Range})
        set(t, DunderSlot::GetItem, SlotEntry::binary(generic_getitem_slot));
    set(BuiltinType::Object, DunderSlot::Format, SlotEntry::binary(object_format_slot));
    set(BuiltinType::String, DunderSlot::Add, SlotEntry::binary(str_concat_slot));
    set(BuiltinType::String, DunderSlot::Multiply, SlotEntry::binary(str_repeat_slot));
    set(BuiltinType::String, DunderSlot::ReflectedMultiply, SlotEntry::binary(str_repeat_slot));
    set(BuiltinType::String, DunderSlot::Equal, SlotEntry::binary(str_compare_slot<0>));
    set(BuiltinType::String, DunderSlot::NotEqual, SlotEntry::binary(str_compare_slot<1>));
    set(BuiltinType::String, DunderSlot::LessThan, SlotEntry::binary(str_compare_slot<2>));
    set(BuiltinType::String, DunderSlot::LessEqual, SlotEntry::binary(str_compare_slot<3>));
    set(BuiltinType::String, DunderSlot::GreaterThan, SlotEntry::binary(str_compare_slot<4>));
    set(BuiltinType::String, DunderSlot::GreaterEqual, SlotEntry::binary(str_compare_slot<5>));
}

}  // namespace tw::py::vm
