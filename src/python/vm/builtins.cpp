// The builtin function table, the constructors of the builtin types and the native methods of
// the builtin containers and strings that the engine provides.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/float_text.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/builtins_io.h"
#include "python/vm/call.h"
#include "python/vm/engine.h"
#include "python/vm/protocols.h"
#include "python/vm/try.h"
#include "python/vm/exceptions.h"
#include "python/vm/comparison.h"
#include "python/vm/generators.h"

namespace tw::py::vm {

namespace {


PyError arity(std::uint64_t lo, std::uint64_t hi, std::uint64_t n) {
    return PyError::unsupported(fmt::format("expected {}..={} arguments, got {}", lo, hi, n));
}
PyStatus check_arity(const NativeCall& c, std::uint64_t lo, std::uint64_t hi) {
    if (c.positional.size() < lo || c.positional.size() > hi) return fail(arity(lo, hi, c.positional.size()));
    return {};
}
const Value* keyword(const NativeCall& c, std::string_view name) {
    for (const auto& [k, v] : c.keywords)
        if (k == name) return &v;
    return nullptr;
}

RuntimeContext& ctx_of(NativeRuntime& rt) { return rt.context(); }

std::optional<std::string_view> text_of(const Heap& heap, const Value& v) {
    auto s = str_view(heap, v);
    if (!s || !*s) return std::nullopt;
    return **s;
}

PyResult<std::vector<Value>> list_items(RuntimeContext& ctx, Value v) {
    TRY_ASSIGN(slot, ctx.heap.get(v));
    const std::vector<Value>* items = sequence_items(slot->object);
    if (!items) return fail(PyError::unsupported("expected a list"));
    return *items;
}

PyStatus set_list_items(RuntimeContext& ctx, Value list, std::vector<Value> items) {
    TRY_ASSIGN(slot, ctx.heap.get(list));
    std::uint64_t old = std::get<ListPayload>(slot->object).items.size();
    if (items.size() > old)
        TRY_DO(ctx.heap.update_object_size(list, (items.size() - old) * kValueSlotBytes, ctx.roots, ctx.machine.meter));
    TRY_ASSIGN(ms, ctx.heap.slot_mut(list));
    std::get<ListPayload>(ms->object).items = std::move(items);
    return {};
}

// Sorts with `<` (and a key function), stably; the first error stops it.
PyStatus sort_values(RuntimeContext& ctx, std::vector<Value>& items, Value key, bool reverse) {
    std::vector<Value> keys = items;
    if (key.is_present() && !key.is_none())
        for (Value& k : keys) {
            TRY_ASSIGN(r, call_immediate(ctx, key, std::span<const Value>(&k, 1), {}));
            ctx.heap.push_root(r);
            k = r;
        }
    std::vector<std::size_t> order(items.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::optional<PyError> error;
    TRY_DO(python_charge_work(ctx.machine.meter, items.size()));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (error) return false;
        Value x = keys[a], y = keys[b];
        if (reverse) std::swap(x, y);
        if (x.is_int() && y.is_int()) return x.as_int() < y.as_int();
        auto r = compare_operation(ctx, std::uint8_t(CompareOperator::Lt), x, y);
        if (!r) {
            error = std::move(r.error());
            return false;
        }
        auto t = truth(ctx, *r);
        if (!t) {
            error = std::move(t.error());
            return false;
        }
        return *t;
    });
    if (error) return fail(std::move(*error));
    std::vector<Value> sorted;
    sorted.reserve(items.size());
    for (std::size_t i : order) sorted.push_back(items[i]);
    items = std::move(sorted);
    return {};
}

// ---- native methods -----------------------------------------------------------------------

PyResult<Value> list_append(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 1, 1));
    TRY_DO(ctx.heap.update_object_size(self, kValueSlotBytes, ctx.roots, ctx.machine.meter));
    TRY_ASSIGN(slot, ctx.heap.slot_mut(self));
    std::get<ListPayload>(slot->object).items.push_back(c.positional[0]);
    return Value::none();
}
PyResult<Value> list_extend(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 1, 1));
    TRY_ASSIGN(more, collect_iterable(ctx, c.positional[0]));
    TRY_DO(ctx.heap.update_object_size(self, more.size() * kValueSlotBytes, ctx.roots, ctx.machine.meter));
    TRY_ASSIGN(slot, ctx.heap.slot_mut(self));
    auto& items = std::get<ListPayload>(slot->object).items;
    items.insert(items.end(), more.begin(), more.end());
    return Value::none();
}
PyResult<Value> list_insert(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 2, 2));
    if (!c.positional[0].is_int()) return fail(PyError::type_error("'str' object cannot be interpreted as an integer"));
    TRY_DO(ctx.heap.update_object_size(self, kValueSlotBytes, ctx.roots, ctx.machine.meter));
    TRY_ASSIGN(slot, ctx.heap.slot_mut(self));
    auto& items = std::get<ListPayload>(slot->object).items;
    std::int64_t n = std::int64_t(items.size()), i = c.positional[0].as_int();
    if (i < 0) i = std::max<std::int64_t>(0, i + n);
    i = std::min(i, n);
    items.insert(items.begin() + i, c.positional[1]);
    return Value::none();
}
PyResult<Value> list_pop(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 0, 1));
    TRY_ASSIGN(slot, ctx.heap.slot_mut(self));
    auto& items = std::get<ListPayload>(slot->object).items;
    if (items.empty()) return fail(PyError::index_error("pop from empty list"));
    std::int64_t n = std::int64_t(items.size()), i = n - 1;
    if (!c.positional.empty()) {
        i = c.positional[0].as_int();
        if (i < 0) i += n;
        if (i < 0 || i >= n) return fail(PyError::index_error("pop index out of range"));
    }
    Value v = items[i];
    items.erase(items.begin() + i);
    return ctx.heap.clone_value(v);
}
PyResult<Value> list_sort(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 0, 0));
    TRY_ASSIGN(items, list_items(ctx, self));
    const Value* key = keyword(c, "key");
    const Value* rev = keyword(c, "reverse");
    bool reverse = false;
    if (rev) {
        TRY_ASSIGN(t, truth(ctx, *rev));
        reverse = t;
    }
    TRY_DO(sort_values(ctx, items, key ? *key : Value::absent(), reverse));
    TRY_DO(set_list_items(ctx, self, std::move(items)));
    return Value::none();
}
PyResult<Value> list_reverse(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 0, 0));
    TRY_ASSIGN(slot, ctx.heap.slot_mut(self));
    auto& items = std::get<ListPayload>(slot->object).items;
    std::reverse(items.begin(), items.end());
    return Value::none();
}
PyResult<Value> list_index(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 1, 1));
    TRY_ASSIGN(items, list_items(ctx, self));
    for (std::size_t i = 0; i < items.size(); ++i) {
        TRY_ASSIGN(eq, values_equal(ctx, items[i], c.positional[0]));
        if (eq) return Value::from_int(std::int64_t(i));
    }
    TRY_ASSIGN(r, repr_text(ctx, c.positional[0]));
    return fail(PyError::value_error(fmt::format("{} is not in list", r)));
}
PyResult<Value> list_count(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 1, 1));
    TRY_ASSIGN(items, list_items(ctx, self));
    std::int64_t n = 0;
    for (const Value& v : items) {
        TRY_ASSIGN(eq, values_equal(ctx, v, c.positional[0]));
        n += eq;
    }
    return Value::from_int(n);
}
PyResult<Value> list_copy(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_ASSIGN(items, list_items(ctx, self));
    return new_list(ctx, std::move(items));
}

PyResult<std::vector<std::pair<Value, Value>>> dict_pairs(RuntimeContext& ctx, Value d) {
    TRY_ASSIGN(slot, ctx.heap.get(d));
    std::vector<std::pair<Value, Value>> out;
    if (const DictTable* t = dict_table_of(const_cast<HeapObject&>(slot->object)))
        t->for_each_live([&](const DictSlot& s) { out.emplace_back(s.key, s.value); });
    TRY_DO(python_charge_work(ctx.machine.meter, out.size()));
    return out;
}
PyResult<Value> dict_get(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 1, 2));
    TRY_ASSIGN(found, dict_lookup(ctx, self, c.positional[0]));
    if (found) return *found;
    return c.positional.size() > 1 ? c.positional[1] : Value::none();
}
PyResult<Value> dict_setdefault(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 1, 2));
    TRY_ASSIGN(found, dict_lookup(ctx, self, c.positional[0]));
    if (found) return *found;
    Value v = c.positional.size() > 1 ? c.positional[1] : Value::none();
    TRY_DO(dict_store(ctx, self, c.positional[0], v));
    return v;
}
PyResult<Value> dict_pop(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 1, 2));
    TRY_ASSIGN(found, dict_lookup(ctx, self, c.positional[0]));
    if (!found) {
        if (c.positional.size() > 1) return c.positional[1];
        std::vector<Value> args{c.positional[0]};
        TRY_ASSIGN(e, new_exception(interp(ctx), ctx.machine.meter, "KeyError", std::move(args)));
        ctx.exec.pending_exception = e;
        return fail(PyError::raised());
    }
    TRY_DO(delete_subscript(ctx, self, c.positional[0]));
    return *found;
}
PyResult<Value> dict_items_method(NativeRuntime& rt, Value self, NativeCall) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_ASSIGN(pairs, dict_pairs(ctx, self));
    std::vector<Value> out;
    for (const auto& [k, v] : pairs) {
        TRY_ASSIGN(t, new_tuple(ctx, {k, v}));
        out.push_back(t);
    }
    return new_list(ctx, std::move(out));
}
PyResult<Value> dict_keys(NativeRuntime& rt, Value self, NativeCall) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_ASSIGN(pairs, dict_pairs(ctx, self));
    std::vector<Value> out;
    for (const auto& kv : pairs) out.push_back(kv.first);
    return new_list(ctx, std::move(out));
}
PyResult<Value> dict_values(NativeRuntime& rt, Value self, NativeCall) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_ASSIGN(pairs, dict_pairs(ctx, self));
    std::vector<Value> out;
    for (const auto& kv : pairs) out.push_back(kv.second);
    return new_list(ctx, std::move(out));
}
PyResult<Value> dict_update(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 0, 1));
    if (!c.positional.empty()) {
        TRY_ASSIGN(pairs, dict_pairs(ctx, c.positional[0]));
        for (const auto& [k, v] : pairs) TRY_DO(dict_store(ctx, self, k, v));
    }
    for (const auto& [k, v] : c.keywords) {
        TRY_ASSIGN(key, make_str(ctx, k));
        TRY_DO(dict_store(ctx, self, key, v));
    }
    return Value::none();
}
PyResult<Value> dict_copy(NativeRuntime& rt, Value self, NativeCall) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_ASSIGN(pairs, dict_pairs(ctx, self));
    return new_dict(ctx, pairs);
}
PyResult<Value> set_add_method(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 1, 1));

    TRY_DO(set_insert(ctx, self, c.positional[0]));
    return Value::none();
}

constexpr NativeFunction kListMethods[] = {
    {"list", "append", nullptr, list_append}, {"list", "extend", nullptr, list_extend},
    {"list", "insert", nullptr, list_insert}, {"list", "pop", nullptr, list_pop},
    {"list", "sort", nullptr, list_sort},     {"list", "reverse", nullptr, list_reverse},
    {"list", "index", nullptr, list_index},   {"list", "count", nullptr, list_count},
    {"list", "copy", nullptr, list_copy},
};
constexpr NativeFunction kDictMethods[] = {
    {"dict", "get", nullptr, dict_get},       {"dict", "items", nullptr, dict_items_method},
    {"dict", "keys", nullptr, dict_keys},     {"dict", "values", nullptr, dict_values},
    {"dict", "pop", nullptr, dict_pop},       {"dict", "setdefault", nullptr, dict_setdefault},
    {"dict", "update", nullptr, dict_update}, {"dict", "copy", nullptr, dict_copy},
};
constexpr NativeFunction kSetMethods[] = {{"set", "add", nullptr, set_add_method}};

struct MethodTable {
    TypeId type;
    std::span<const NativeFunction> rows;
};
constexpr MethodTable kMethodTables[] = {
    {type_id(BuiltinType::List), kListMethods},
    {type_id(BuiltinType::Dict), kDictMethods},
    {type_id(BuiltinType::Set), kSetMethods},
    {type_id(BuiltinType::Generator), kGeneratorMethods},
};

// ---- builtin functions ------------------------------------------------------------------------

PyResult<Value> builtin_len(RuntimeContext& ctx, Value v) {
    Heap& heap = ctx.heap;
    if (v.is_inline_str() || (heap.get_if_object(v) && std::holds_alternative<HeapStr>(heap.get_if_object(v)->object))) {
        std::string_view s = *text_of(heap, v);
        std::int64_t n = 0;
        for (unsigned char ch : s) n += (ch & 0xC0) != 0x80;
        return Value::from_int(n);
    }
    if (const HeapSlot* slot = heap.get_if_object(v)) {
        HeapObject& o = const_cast<HeapObject&>(slot->object);
        if (slot->kind() == HeapObjectKind::List || slot->kind() == HeapObjectKind::Tuple)
            return Value::from_int(std::int64_t(sequence_items(o)->size()));
        if (DictTable* t = dict_table_of(o)) return Value::from_int(std::int64_t(t->live_count));
        if (SetTable* t = set_table_of(o)) return Value::from_int(std::int64_t(t->live_count));
        if (auto* b = std::get_if<BytesPayload>(&o)) return Value::from_int(std::int64_t(b->bytes.size()));
        if (auto* b = std::get_if<ByteArrayPayload>(&o)) return Value::from_int(std::int64_t(b->bytes.size()));
        if (auto* r = std::get_if<RangePayload>(&o)) {
            std::int64_t n = r->step > 0 ? (r->stop > r->start ? (r->stop - r->start + r->step - 1) / r->step : 0)
                                         : (r->start > r->stop ? (r->start - r->stop - r->step - 1) / -r->step : 0);
            return Value::from_int(n);
        }
        auto cls = instance_class_value(heap, interp(ctx).types, v);
        if (cls && *cls) {
            auto m = class_lookup(ctx, **cls, heap.symbols.intern_static("__len__"));
            if (m && *m) return call_immediate(ctx, **m, std::span<const Value>(&v, 1), {});
        }
    }
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fail(PyError::type_error(fmt::format("object of type '{}' has no len()", tn)));
}

PyResult<Value> builtin_minmax(RuntimeContext& ctx, const NativeCall& c, bool max) {
    std::string_view name = max ? "max" : "min";
    std::vector<Value> items;
    if (c.positional.size() == 1) {
        TRY_ASSIGN(all, collect_iterable(ctx, c.positional[0]));
        items = std::move(all);
    } else if (c.positional.empty()) {
        return fail(PyError::type_error(fmt::format("{} expected at least 1 argument, got 0", name)));
    } else {
        items = c.positional;
    }
    const Value* key = keyword(c, "key");
    const Value* dflt = keyword(c, "default");
    if (items.empty()) {
        if (dflt) return *dflt;
        return fail(PyError::value_error(fmt::format("{}() iterable argument is empty", name)));
    }
    Value best = items[0], best_key = items[0];
    if (key) {
        TRY_ASSIGN(k, call_immediate(ctx, *key, std::span<const Value>(&best, 1), {}));
        best_key = k;
    }
    for (std::size_t i = 1; i < items.size(); ++i) {
        Value k = items[i];
        if (key) {
            TRY_ASSIGN(kk, call_immediate(ctx, *key, std::span<const Value>(&items[i], 1), {}));
            k = kk;
        }
        TRY_ASSIGN(r, compare_operation(ctx, std::uint8_t(max ? CompareOperator::Gt : CompareOperator::Lt), k, best_key));
        TRY_ASSIGN(t, truth(ctx, r));
        if (t) best = items[i], best_key = k;
    }
    return best;
}

PyResult<Value> radix_text(RuntimeContext& ctx, Value v, int base) {
    BigInt z;
    if (v.is_int() || v.is_bool()) mpz_set_si(z.get(), v.as_int());
    else if (const HeapSlot* s = ctx.heap.get_if_object(v); s && std::holds_alternative<BigIntPayload>(s->object))
        mpz_set(z.get(), std::get<BigIntPayload>(s->object).value->get());
    else {
        TRY_ASSIGN(tn, type_name(ctx, v));
        return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", tn)));
    }
    bool neg = mpz_sgn(z.get()) < 0;
    mpz_abs(z.get(), z.get());
    std::string digits(mpz_sizeinbase(z.get(), base) + 2, '\0');
    mpz_get_str(digits.data(), base, z.get());
    digits.resize(std::strlen(digits.c_str()));
    std::string prefix = base == 2 ? "0b" : base == 8 ? "0o" : "0x";
    return make_str(ctx, (neg ? "-" : "") + prefix + digits);
}

}  // namespace

std::optional<Value> builtin_method(TypeId type, std::string_view name) {
    // The handles are interned once: interning takes the shared registry's lock.
    static const std::vector<std::vector<Value>> handles = [] {
        std::vector<std::vector<Value>> all;
        for (const MethodTable& t : kMethodTables) {
            std::vector<Value> row_handles;
            for (const NativeFunction& row : t.rows)
                row_handles.push_back(intern_static_definition(StaticDefinition::of_native_method(&row)));
            all.push_back(std::move(row_handles));
        }
        return all;
    }();
    for (std::size_t i = 0; i < std::size(kMethodTables); ++i) {
        const MethodTable& t = kMethodTables[i];
        if (t.type != type) continue;
        for (std::size_t j = 0; j < t.rows.size(); ++j)
            if (t.rows[j].name == name) return handles[i][j];
    }
    return std::nullopt;
}

std::optional<Value> builtin_native_function(std::string_view) { return std::nullopt; }

// format(value, spec): the value protocol's format.
PyResult<std::string> format_with_spec(RuntimeContext& ctx, Value v, std::string_view spec) { return py_format(ctx, v, spec); }

PyResult<StepOutcome> call_builtin_function(RuntimeContext& ctx, std::uint32_t id, NativeCall call, CallMode mode) {
    static constexpr std::uint32_t kTakesKeywords[] = {0, 11, 17, 18, 19};
    if (!call.keywords.empty() && std::find(std::begin(kTakesKeywords), std::end(kTakesKeywords), id) == std::end(kTakesKeywords))
        return fail(PyError::unsupported("this builtin does not accept keyword arguments"));
    ExecState& st = ctx.exec;
    Heap& heap = ctx.heap;
    const auto& a = call.positional;
    auto push = [&](PyResult<Value> r) -> PyResult<StepOutcome> {
        if (!r) return fail(std::move(r.error()));
        st.values.push_back(*r);
        return StepOutcome::of(StepOutcome::Next);
    };
    switch (id) {
        case 0: return push(builtin_print(ctx, call));
        case 1: {
            TRY_DO(check_arity(call, 0, 1));
            if (!a.empty()) {
                TRY_ASSIGN(prompt, str_text(ctx, a[0]));
                TRY_DO(write_stdout(ctx, prompt));
            }
            bool saved = st.suspension_allowed;
            auto r = read_input_line(ctx);
            st.suspension_allowed = saved;
            if (!r && r.error().kind() == ErrorKindTag::Suspend) {
                if (mode != CallMode::Frame || !ctx.dispatched || st.synchronous_depth != 0)
                    return fail(PyError::unsupported("waiting for input inside a synchronous call"));
                ParkedCall parked;
                parked.kind = ParkedCall::Kind::InputLine;
                parked.wait = std::shared_ptr<const WaitReason>(std::move(r.error().take_detail()->wait));
                const Frame& f = st.frames.back();
                if (f.ip > 0) parked.position = f.code->positions.at(f.ip - 1);
                st.parked_call = Box<ParkedCall>::make(std::move(parked));
                return StepOutcome::of(StepOutcome::Blocked);
            }
            return push(std::move(r));
        }
        case 2: case 3: {
            const CodeRunner run = [](RuntimeContext& c, std::shared_ptr<const CodeObject> code, const FrameDescriptor& d) {
                return run_code_synchronously(c, std::move(code), d);
            };
            return id == 2 ? builtin_exec(ctx, call, run) : builtin_eval(ctx, call, run);
        }
        case 4: return fail(builtin_exit(ctx, call));
        case 5: {
            TRY_DO(check_arity(call, 1, 1));
            if (!a[0].is_int()) return fail(PyError::type_error("an integer is required"));
            std::int64_t cp = a[0].as_int();
            if (cp < 0 || cp > 0x10FFFF) return fail(PyError::value_error("chr() arg not in range(0x110000)"));
            std::string s;
            std::uint32_t c = std::uint32_t(cp);
            if (c < 0x80) s.push_back(char(c));
            else if (c < 0x800) s += {char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
            else if (c < 0x10000) s += {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
            else s += {char(0xF0 | (c >> 18)), char(0x80 | ((c >> 12) & 0x3F)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
            return push(make_str(ctx, std::move(s)));
        }
        case 6: {
            TRY_DO(check_arity(call, 1, 1));
            auto t = text_of(heap, a[0]);
            if (!t) return fail(PyError::type_error("ord() expected string of length 1"));
            std::string_view s = *t;
            std::size_t chars = 0;
            for (unsigned char ch : s) chars += (ch & 0xC0) != 0x80;
            if (chars != 1)
                return fail(PyError::type_error(fmt::format("ord() expected a character, but string of length {} found", chars)));
            std::uint32_t c = static_cast<unsigned char>(s[0]);
            if (s.size() > 1) {
                c &= (0xFF >> (s.size() + 1));
                for (std::size_t i = 1; i < s.size(); ++i) c = (c << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
            }
            return push(Value::from_int(c));
        }
        case 7: case 8: case 9:
            TRY_DO(check_arity(call, 1, 1));
            return push(radix_text(ctx, a[0], id == 7 ? 2 : id == 8 ? 8 : 16));
        case 10: {
            TRY_DO(check_arity(call, 1, 1));
            TRY_ASSIGN(t, repr_text(ctx, a[0]));
            return push(make_str(ctx, std::move(t)));
        }
        case 11: {
            TRY_DO(check_arity(call, 1, 2));
            std::string_view spec;
            if (a.size() > 1) {
                auto t = text_of(heap, a[1]);
                if (!t) return fail(PyError::type_error("format() argument 2 must be str"));
                spec = *t;
            }
            TRY_ASSIGN(v, format_field(ctx, a[0], -1, std::string(spec)));
            return push(v);
        }
        case 12: {
            TRY_DO(check_arity(call, 1, 1));
            TRY_ASSIGN(h, hash_value(ctx, a[0]));
            return push(Value::from_int(std::int64_t(h)));
        }
        case 14: {
            TRY_DO(check_arity(call, 2, 2));
            TRY_ASSIGN(r, isinstance(ctx, a[0], a[1]));
            return push(Value::from_bool(r));
        }
        case 15: {
            TRY_DO(check_arity(call, 2, 2));
            TRY_ASSIGN(hooked, call_instance_check_hook(ctx, a[1], "__subclasscheck__", a[0]));
            if (hooked) return push(Value::from_bool(*hooked));
            TRY_ASSIGN(x, class_type_id(ctx, a[0]));
            TRY_ASSIGN(y, class_type_id(ctx, a[1]));
            TRY_ASSIGN(r, interp(ctx).types.is_subtype(x, y));
            return push(Value::from_bool(r || y == 0));
        }
        case 16: TRY_DO(check_arity(call, 1, 1)); return push(builtin_len(ctx, a[0]));
        case 17: {
            TRY_DO(check_arity(call, 1, 1));
            TRY_ASSIGN(items, collect_iterable(ctx, a[0]));
            const Value* key = keyword(call, "key");
            const Value* rev = keyword(call, "reverse");
            bool reverse = false;
            if (rev) {
                TRY_ASSIGN(t, truth(ctx, *rev));
                reverse = t;
            }
            TRY_DO(sort_values(ctx, items, key ? *key : Value::absent(), reverse));
            return push(new_list(ctx, std::move(items)));
        }
        case 18: case 19: return push(builtin_minmax(ctx, call, id == 19));
        case 20: {
            TRY_DO(check_arity(call, 1, 2));
            TRY_ASSIGN(items, collect_iterable(ctx, a[0]));
            Value total = a.size() > 1 ? a[1] : Value::from_int(0);
            for (const Value& v : items) {
                if (total.is_int() && v.is_int()) {
                    std::int64_t r;
                    if (!__builtin_add_overflow(total.as_int(), v.as_int(), &r)) {
                        total = Value::from_int(r);
                        continue;
                    }
                }
                TRY_ASSIGN(r, binary_operation(ctx, std::uint8_t(BinaryOperator::Add), total, v, false));
                heap.push_root(r);
                total = r;
            }
            return push(total);
        }
        case 21: {
            TRY_DO(check_arity(call, 1, 1));
            Value v = a[0];
            if (v.is_float()) return push(Value::from_float(std::fabs(v.as_float())));
            TRY_ASSIGN(neg, compare_operation(ctx, std::uint8_t(CompareOperator::Lt), v, Value::from_int(0)));
            if (neg.is_bool() && neg.as_bool()) return push(unary_operation(ctx, std::uint8_t(UnaryOperator::USub), v));
            return push(v);
        }
        case 22: {
            TRY_DO(check_arity(call, 2, 3));
            TRY_ASSIGN(r, binary_operation(ctx, std::uint8_t(BinaryOperator::Pow), a[0], a[1], false));
            if (a.size() == 3 && !a[2].is_none()) {
                TRY_ASSIGN(m, binary_operation(ctx, std::uint8_t(BinaryOperator::Mod), r, a[2], false));
                return push(m);
            }
            return push(r);
        }
        case 23: {
            TRY_DO(check_arity(call, 2, 2));
            TRY_ASSIGN(q, binary_operation(ctx, std::uint8_t(BinaryOperator::FloorDiv), a[0], a[1], false));
            heap.push_root(q);
            TRY_ASSIGN(m, binary_operation(ctx, std::uint8_t(BinaryOperator::Mod), a[0], a[1], false));
            return push(new_tuple(ctx, {q, m}));
        }
        case 24: {
            TRY_DO(check_arity(call, 1, 1));
            TRY_ASSIGN(r, is_callable(ctx, a[0]));
            return push(Value::from_bool(r));
        }
        case 25: {
            TRY_DO(check_arity(call, 1, 2));
            TRY_ASSIGN(items, collect_iterable(ctx, a[0]));
            std::int64_t start = a.size() > 1 && a[1].is_int() ? a[1].as_int() : 0;
            std::vector<Value> pairs;
            for (std::size_t i = 0; i < items.size(); ++i) {
                TRY_ASSIGN(t, new_tuple(ctx, {Value::from_int(start + std::int64_t(i)), items[i]}));
                pairs.push_back(t);
            }
            return push(heap.allocate_object(ValuesIteratorPayload{0, std::move(pairs)}, ctx.roots, ctx.machine.meter));
        }
        case 26: {
            std::vector<std::vector<Value>> columns;
            std::size_t n = SIZE_MAX;
            for (const Value& v : a) {
                TRY_ASSIGN(items, collect_iterable(ctx, v));
                n = std::min(n, items.size());
                columns.push_back(std::move(items));
            }
            if (columns.empty()) n = 0;
            std::vector<Value> rows;
            for (std::size_t i = 0; i < n; ++i) {
                std::vector<Value> row;
                for (const auto& col : columns) row.push_back(col[i]);
                TRY_ASSIGN(t, new_tuple(ctx, std::move(row)));
                rows.push_back(t);
            }
            return push(heap.allocate_object(ValuesIteratorPayload{0, std::move(rows)}, ctx.roots, ctx.machine.meter));
        }
        case 27: case 28: {
            TRY_DO(check_arity(call, 1, 1));
            TRY_ASSIGN(items, collect_iterable(ctx, a[0]));
            bool any = id == 27;
            for (const Value& v : items) {
                TRY_ASSIGN(t, truth(ctx, v));
                if (t == any) return push(Value::from_bool(any));
            }
            return push(Value::from_bool(!any));
        }
        case 29: TRY_DO(check_arity(call, 1, 1)); return push(get_iterator(ctx, a[0]));
        case 30: {
            TRY_DO(check_arity(call, 1, 2));
            TRY_ASSIGN(step, iterator_next(ctx, a[0]));
            if (step.item) return push(*step.item);
            if (a.size() > 1) return push(a[1]);
            return fail(stop_iteration_for(ctx, a[0]));
        }
        case 31: {
            if (a.size() == 2) return push(heap.allocate_object(SuperPayload{a[0], a[1]}, ctx.roots, ctx.machine.meter));
            if (!a.empty()) return fail(arity(0, 2, a.size()));
            auto pair = load_dunder_class(ctx);
            if (!pair) return fail(PyError::runtime_error("super(): no current method context"));
            return push(heap.allocate_object(SuperPayload{pair->first, pair->second}, ctx.roots, ctx.machine.meter));
        }
        case 32: case 33: {
            TRY_DO(check_arity(call, id == 32 ? 3 : 2, id == 32 ? 3 : 2));
            auto t = text_of(heap, a[1]);
            if (!t) return fail(PyError::type_error("attribute name must be string"));
            TRY_ASSIGN(s, heap.symbols.intern(*t, ctx.machine.meter));
            if (id == 32) {
                TRY_DO(store_attribute(ctx, a[0], s, a[2]));
            } else {
                TRY_DO(delete_attribute(ctx, a[0], s));
            }
            return push(Value::none());
        }
        default: break;
    }
    return fail(PyError::unsupported(fmt::format("builtin {} is not implemented", builtin_function_name(std::uint8_t(id)))));
}

}  // namespace tw::py::vm
