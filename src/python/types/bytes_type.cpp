// The native methods of bytes and bytearray: one function per method for both classes (results of
// the receiver's kind), bytes.fromhex and bytearray.fromhex, and the in-place methods of bytearray.
#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/number/values.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/string/bytearray_ops.h"
#include "python/string/bytes_ops.h"
#include "python/types/number_runtime.h"
#include "python/types/string_rows.h"
#include "python/types/string_types.h"

namespace tw::py {

namespace {

using namespace strarg;

struct Receiver {
    std::string bytes;
    bool bytearray = false;
};

PyResult<Receiver> prologue(NativeRuntime& rt, const Value& self, const NativeCall& call, std::string_view name,
                            std::size_t min, std::size_t max) {
    TW_CHECK(check_arity(call, name, min, max));
    TW_CHECK(reject_keywords(call, name));
    TW_TRY(b, expect_bytes(rt, self));
    return Receiver{std::move(b), is_bytearray(rt, self)};
}

PyResult<Value> parts_to_list(NativeRuntime& rt, const std::vector<std::string_view>& parts, bool bytearray) {
    std::vector<Value> items;
    items.reserve(parts.size());
    for (std::string_view p : parts) {
        TW_TRY(v, make_bytes(rt, std::string(p), bytearray));
        items.push_back(v);
    }
    return make_list(rt, std::move(items));
}

PyResult<Value> bytes_decode_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(args, encoding_arguments(rt, call, "bytes.decode"));
    TW_TRY(b, expect_bytes(rt, self));
    MeterCharges charges(number_env(rt));
    TW_TRY(r, bytes_decode(charges, b, args.first, args.second));
    return make_str(rt, std::move(r));
}

PyResult<Value> bytes_hex_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(r, prologue(rt, self, call, "bytes.hex", 0, 0));
    MeterCharges charges(number_env(rt));
    TW_TRY(text, bytes_hex(charges, r.bytes));
    return make_str(rt, std::move(text));
}

template <bool ByteArray>
PyResult<Value> fromhex_row(NativeRuntime& rt, Value, NativeCall call) {
    constexpr std::string_view name = ByteArray ? "bytearray.fromhex" : "bytes.fromhex";
    TW_CHECK(check_arity(call, name, 1, 1));
    TW_CHECK(reject_keywords(call, name));
    TW_TRY(text, expect_str(rt, call.positional[0]));
    MeterCharges charges(number_env(rt));
    TW_TRY(bytes, bytes_fromhex(charges, text.text));
    return make_bytes(rt, std::move(bytes), ByteArray);
}

template <bool Raise>
PyResult<Value> bytes_find_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(r, prologue(rt, self, call, Raise ? "bytes.index" : "bytes.find", 1, 3));
    TW_TRY(sub, expect_bytes(rt, call.positional[0]));
    TW_TRY(b, bounds(rt, call, 1));
    MeterCharges charges(number_env(rt));
    TW_TRY(at, bytes_find(charges, r.bytes, sub, b, Raise));
    return Value::from_int(at);
}

PyResult<Value> bytes_count_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(r, prologue(rt, self, call, "bytes.count", 1, 3));
    TW_TRY(sub, expect_bytes(rt, call.positional[0]));
    TW_TRY(b, bounds(rt, call, 1));
    MeterCharges charges(number_env(rt));
    TW_TRY(n, bytes_count(charges, r.bytes, sub, b));
    return Value::from_int(n);
}

template <bool AtEnd>
PyResult<Value> bytes_affix_row(NativeRuntime& rt, Value self, NativeCall call) {
    constexpr std::string_view name = AtEnd ? "endswith" : "startswith";
    TW_TRY(r, prologue(rt, self, call, name, 1, 3));
    const Value first = call.positional[0];
    std::vector<std::string> texts, wrong;
    std::vector<bool> is_wrong;
    const HeapSlot* slot = rt.heap().get_if_object(first);
    if (const auto* tuple = slot ? std::get_if<TuplePayload>(&slot->object) : nullptr) {
        const std::vector<Value> items = tuple->items;
        for (const Value& item : items) {
            TW_TRY(b, bytes_of(rt, item));
            is_wrong.push_back(!b);
            if (b) {
                texts.push_back(std::move(*b));
            } else {
                TW_TRY(tn, type_name(rt, item));
                wrong.push_back(std::move(tn));
            }
        }
    } else {
        TW_TRY(b, bytes_of(rt, first));
        if (!b) {
            TW_TRY(tn, type_name(rt, first));
            return fail(PyError::type_error(fmt::format("{} first arg must be bytes or a tuple of bytes, not {}", name, tn)));
        }
        texts.push_back(std::move(*b));
        is_wrong.push_back(false);
    }
    std::vector<Affix> candidates;
    std::size_t ti = 0, wi = 0;
    for (bool w : is_wrong) candidates.push_back(w ? Affix::wrong(wrong[wi++]) : Affix::of(texts[ti++]));
    TW_TRY(b, bounds(rt, call, 1));
    MeterCharges charges(number_env(rt));
    TW_TRY(m, bytes_affix_match(charges, r.bytes, candidates, b, AtEnd));
    return Value::from_bool(m);
}

template <bool FromRight>
PyResult<Value> bytes_partition_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(r, prologue(rt, self, call, "bytes.partition", 1, 1));
    TW_TRY(sep, expect_bytes(rt, call.positional[0]));
    MeterCharges charges(number_env(rt));
    TW_TRY(parts, bytes_partition(charges, r.bytes, sep, FromRight));
    std::vector<Value> items;
    for (std::string_view p : parts) {
        TW_TRY(v, make_bytes(rt, std::string(p), r.bytearray));
        items.push_back(v);
    }
    return make_tuple(rt, std::move(items));
}

PyResult<Value> bytes_center_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(r, prologue(rt, self, call, "bytes.center", 1, 2));
    auto width = int64_of(rt, call.positional[0]);
    if (!width) return fail(PyError::type_error("width must be an integer"));
    std::string fill = " ";
    if (call.positional.size() > 1) {
        TW_TRY(f, expect_bytes(rt, call.positional[1]));
        fill = std::move(f);
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(out, bytes_center(charges, r.bytes, *width, fill));
    return make_bytes(rt, std::move(out), r.bytearray);
}

template <StripSide Side>
PyResult<Value> bytes_strip_row(NativeRuntime& rt, Value self, NativeCall call) {
    constexpr std::string_view name = Side == StripSide::Both ? "bytes.strip" : Side == StripSide::Left ? "bytes.lstrip" : "bytes.rstrip";
    TW_TRY(r, prologue(rt, self, call, name, 0, 1));
    std::optional<std::string> chars;
    if (!call.positional.empty() && !call.positional[0].is_none()) {
        TW_TRY(c, expect_bytes(rt, call.positional[0]));
        chars = std::move(c);
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(out, bytes_strip(charges, r.bytes, chars ? std::optional<std::string_view>(*chars) : std::nullopt, Side));
    return make_bytes(rt, std::string(out), r.bytearray);
}

PyResult<Value> bytes_split_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(r, prologue(rt, self, call, "bytes.split", 0, 2));
    std::optional<std::string> sep;
    if (!call.positional.empty() && !call.positional[0].is_none()) {
        TW_TRY(s, expect_bytes(rt, call.positional[0]));
        sep = std::move(s);
    }
    std::int64_t limit = -1;
    if (call.positional.size() > 1) {
        TW_TRY(l, index_argument(rt, call.positional[1]));
        limit = l;
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(parts, bytes_split(charges, r.bytes, sep ? std::optional<std::string_view>(*sep) : std::nullopt, limit));
    return parts_to_list(rt, parts, r.bytearray);
}

PyResult<Value> bytes_splitlines_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_CHECK(check_arity(call, "bytes.splitlines", 0, 1));
    TW_TRY(kw, keywords(call, "bytes.splitlines", {"keepends"}));
    TW_TRY(b, expect_bytes(rt, self));
    std::optional<Value> keep = call.positional.empty() ? kw[0] : std::optional(call.positional[0]);
    bool keepends = false;
    if (keep) {
        TW_TRY(truth, py_truth_fast(rt.heap(), *keep));
        if (!truth) return fail(PyError::unsupported("bytes.splitlines() with a keepends value of this kind"));
        keepends = *truth;
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(lines, bytes_splitlines(charges, b, keepends));
    return parts_to_list(rt, lines, is_bytearray(rt, self));
}

template <bool Upper>
PyResult<Value> bytes_case_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(r, prologue(rt, self, call, Upper ? "bytes.upper" : "bytes.lower", 0, 0));
    MeterCharges charges(number_env(rt));
    TW_TRY(out, bytes_case(charges, r.bytes, Upper));
    return make_bytes(rt, std::move(out), r.bytearray);
}

PyResult<Value> bytes_replace_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(r, prologue(rt, self, call, "bytes.replace", 2, 3));
    TW_TRY(old, expect_bytes(rt, call.positional[0]));
    TW_TRY(with, expect_bytes(rt, call.positional[1]));
    std::int64_t count = -1;
    if (call.positional.size() > 2) {
        TW_TRY(c, index_argument(rt, call.positional[2]));
        count = c;
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(out, bytes_replace(charges, r.bytes, old, with, count));
    return make_bytes(rt, std::move(out), r.bytearray);
}

// ---- bytearray in place --------------------------------------------------------------------------

// Accounts a bytearray's size change as growth or shrinkage of its heap object.
class HeapSizer final : public ContentSizer {
public:
    HeapSizer(NativeRuntime& rt, Value object) : rt_(rt), object_(object) {}
    PyStatus resize(std::uint64_t old_size, std::uint64_t new_size) override {
        if (new_size > old_size)
            return rt_.heap().update_object_size(object_, new_size - old_size, rt_.roots(), rt_.meter());
        rt_.heap().shrink_object_size(object_, old_size - new_size, rt_.meter());
        return {};
    }

private:
    NativeRuntime& rt_;
    Value object_;
};

// The content of a bytearray receiver (TypeError "expected a bytearray").
PyResult<std::string*> bytearray_content(NativeRuntime& rt, const Value& self) {
    if (!is_bytearray(rt, self)) return fail(PyError::type_error("expected a bytearray"));
    TW_TRY(slot, rt.heap().slot_mut(self));
    return &std::get<ByteArrayPayload>(slot->object).bytes;
}

// byte_value: an int in 0..255.
PyResult<std::uint8_t> byte_value(NativeRuntime& rt, const Value& v) {
    const NumericView n = py_numeric_view(rt.heap(), v);
    if (n.kind == NumericView::Big || n.kind == NumericView::U64) return fail(byte_range_error());
    TW_TRY(i, index_argument(rt, v));
    return checked_byte(i);
}

// The bytes of a bytes-like value or of a list or tuple of byte values.
PyResult<std::string> materialize_bytes(NativeRuntime& rt, const Value& v) {
    TW_TRY(direct, bytes_of(rt, v));
    if (direct) return std::move(*direct);
    const HeapSlot* slot = rt.heap().get_if_object(v);
    const std::vector<Value>* items = nullptr;
    if (slot) {
        if (auto* l = std::get_if<ListPayload>(&slot->object)) items = &l->items;
        else if (auto* t = std::get_if<TuplePayload>(&slot->object)) items = &t->items;
    }
    if (!items) {
        TW_TRY(tn, type_name(rt, v));
        return fail(PyError::unsupported(fmt::format("bytearray from a {} value is not implemented", tn)));
    }
    const std::vector<Value> copy = *items;
    std::string out;
    out.reserve(copy.size());
    MeterCharges charges(number_env(rt));
    for (const Value& item : copy) {
        TW_TRY(b, byte_value(rt, item));
        TW_CHECK(charges.charge_work(1));
        out.push_back(char(b));
    }
    return out;
}

PyResult<Value> bytearray_init_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_CHECK(check_arity(call, "bytearray.__init__", 0, 1));
    TW_CHECK(reject_keywords(call, "bytearray.__init__"));
    std::string bytes;
    if (!call.positional.empty()) {
        TW_TRY(b, materialize_bytes(rt, call.positional[0]));
        bytes = std::move(b);
    }
    TW_TRY(content, bytearray_content(rt, self));
    MeterCharges charges(number_env(rt));
    HeapSizer sizer(rt, self);
    TW_CHECK(bytearray_assign(charges, sizer, *content, bytes));
    return Value::none();
}

// A bytearray method: arity, keywords and the receiver checked, then the arguments read by
// `read`, then `apply(charges, sizer, content, arguments)` on the heap object's content.
template <class Read, class Apply>
PyResult<Value> mutate(NativeRuntime& rt, Value self, const NativeCall& call, std::string_view name, std::size_t min,
                       std::size_t max, Read&& read, Apply&& apply) {
    TW_CHECK(check_arity(call, name, min, max));
    TW_CHECK(reject_keywords(call, name));
    TW_TRY(checked, bytearray_content(rt, self));
    (void)checked;
    TW_TRY(args, read());
    TW_TRY(content, bytearray_content(rt, self));
    MeterCharges charges(number_env(rt));
    HeapSizer sizer(rt, self);
    return apply(charges, sizer, *content, args);
}

PyResult<Value> none_of(PyStatus s) {
    if (!s) return fail(std::move(s.error()));
    return Value::none();
}

PyResult<Value> bytearray_append_row(NativeRuntime& rt, Value self, NativeCall call) {
    return mutate(rt, self, call, "bytearray.append", 1, 1, [&] { return byte_value(rt, call.positional[0]); },
                  [](Charges& c, ContentSizer& s, std::string& b, std::uint8_t byte) { return none_of(bytearray_append(c, s, b, byte)); });
}

PyResult<Value> bytearray_extend_row(NativeRuntime& rt, Value self, NativeCall call) {
    return mutate(rt, self, call, "bytearray.extend", 1, 1, [&] { return materialize_bytes(rt, call.positional[0]); },
                  [](Charges& c, ContentSizer& s, std::string& b, const std::string& more) { return none_of(bytearray_extend(c, s, b, more)); });
}

PyResult<Value> bytearray_insert_row(NativeRuntime& rt, Value self, NativeCall call) {
    auto read = [&]() -> PyResult<std::pair<std::int64_t, std::uint8_t>> {
        TW_TRY(position, index_argument(rt, call.positional[0]));
        TW_TRY(byte, byte_value(rt, call.positional[1]));
        return std::pair(position, byte);
    };
    return mutate(rt, self, call, "bytearray.insert", 2, 2, read,
                  [](Charges& c, ContentSizer& s, std::string& b, std::pair<std::int64_t, std::uint8_t> a) {
                      return none_of(bytearray_insert(c, s, b, a.first, a.second));
                  });
}

PyResult<Value> bytearray_pop_row(NativeRuntime& rt, Value self, NativeCall call) {
    auto read = [&]() -> PyResult<std::int64_t> {
        if (call.positional.empty()) return -1;
        return index_argument(rt, call.positional[0]);
    };
    return mutate(rt, self, call, "bytearray.pop", 0, 1, read,
                  [](Charges& c, ContentSizer& s, std::string& b, std::int64_t position) -> PyResult<Value> {
                      TW_TRY(byte, bytearray_pop(c, s, b, position));
                      return Value::from_int(byte);
                  });
}

PyResult<Value> bytearray_remove_row(NativeRuntime& rt, Value self, NativeCall call) {
    return mutate(rt, self, call, "bytearray.remove", 1, 1, [&] { return byte_value(rt, call.positional[0]); },
                  [](Charges& c, ContentSizer& s, std::string& b, std::uint8_t byte) { return none_of(bytearray_remove(c, s, b, byte)); });
}

PyResult<Value> no_arguments() { return Value::none(); }

PyResult<Value> bytearray_clear_row(NativeRuntime& rt, Value self, NativeCall call) {
    return mutate(rt, self, call, "bytearray.clear", 0, 0, no_arguments,
                  [](Charges& c, ContentSizer& s, std::string& b, Value) { return none_of(bytearray_clear(c, s, b)); });
}

PyResult<Value> bytearray_reverse_row(NativeRuntime& rt, Value self, NativeCall call) {
    return mutate(rt, self, call, "bytearray.reverse", 0, 0, no_arguments,
                  [](Charges& c, ContentSizer&, std::string& b, Value) { return none_of(bytearray_reverse(c, b)); });
}

PyResult<Value> bytearray_copy_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_CHECK(check_arity(call, "bytearray.copy", 0, 0));
    TW_CHECK(reject_keywords(call, "bytearray.copy"));
    TW_TRY(content, bytearray_content(rt, self));
    return make_bytes(rt, *content, true);
}

using Slot = PyResult<std::optional<Value>>;
Slot not_applicable() { return std::optional<Value>(); }
Slot slot_value(PyResult<Value> v) {
    if (!v) return fail(std::move(v.error()));
    return std::optional(*v);
}

#define TW_SHARED_ROWS(owner)                                                  \
    {owner, "decode", nullptr, bytes_decode_row},                               \
    {owner, "hex", nullptr, bytes_hex_row},                                     \
    {owner, "find", nullptr, bytes_find_row<false>},                            \
    {owner, "index", nullptr, bytes_find_row<true>},                            \
    {owner, "count", nullptr, bytes_count_row},                                 \
    {owner, "startswith", nullptr, bytes_affix_row<false>},                     \
    {owner, "endswith", nullptr, bytes_affix_row<true>},                        \
    {owner, "partition", nullptr, bytes_partition_row<false>},                  \
    {owner, "rpartition", nullptr, bytes_partition_row<true>},                  \
    {owner, "center", nullptr, bytes_center_row},                               \
    {owner, "strip", nullptr, bytes_strip_row<StripSide::Both>},                \
    {owner, "lstrip", nullptr, bytes_strip_row<StripSide::Left>},               \
    {owner, "rstrip", nullptr, bytes_strip_row<StripSide::Right>},              \
    {owner, "split", nullptr, bytes_split_row},                                 \
    {owner, "splitlines", nullptr, bytes_splitlines_row},                       \
    {owner, "upper", nullptr, bytes_case_row<true>},                            \
    {owner, "lower", nullptr, bytes_case_row<false>},                           \
    {owner, "replace", nullptr, bytes_replace_row}

constexpr NativeFunction kBytesMethods[] = {TW_SHARED_ROWS("bytes")};
constexpr NativeFunction kByteArrayMethods[] = {
    TW_SHARED_ROWS("bytearray"),
    {"bytearray", "__init__", nullptr, bytearray_init_row},
    {"bytearray", "append", nullptr, bytearray_append_row},
    {"bytearray", "extend", nullptr, bytearray_extend_row},
    {"bytearray", "insert", nullptr, bytearray_insert_row},
    {"bytearray", "pop", nullptr, bytearray_pop_row},
    {"bytearray", "remove", nullptr, bytearray_remove_row},
    {"bytearray", "clear", nullptr, bytearray_clear_row},
    {"bytearray", "copy", nullptr, bytearray_copy_row},
    {"bytearray", "reverse", nullptr, bytearray_reverse_row},
};
#undef TW_SHARED_ROWS
constexpr NativeClass kBytesClass{"bytes", kBytesMethods, {}};
constexpr NativeClass kByteArrayClass{"bytearray", kByteArrayMethods, {}};
constexpr NativeFunction kBytesFromHex{"bytes", "fromhex", nullptr, fromhex_row<false>};
constexpr NativeFunction kByteArrayFromHex{"bytearray", "fromhex", nullptr, fromhex_row<true>};

}  // namespace

namespace strarg {

PyResult<std::optional<ResolvedSlice>> slice_of(NativeRuntime& rt, const Value& key, std::uint64_t length) {
    const HeapSlot* slot = rt.heap().get_if_object(key);
    const auto* slice = slot ? std::get_if<SlicePayload>(&slot->object) : nullptr;
    if (!slice) return std::optional<ResolvedSlice>();
    std::optional<std::int64_t> parts[3];
    const Value values[3] = {slice->start, slice->stop, slice->step};
    for (int k = 0; k < 3; ++k) {
        if (values[k].is_none() || values[k].is_absent()) continue;
        parts[k] = int64_of(rt, values[k]);
        if (!parts[k]) return fail(PyError::type_error("slice indices must be integers or None or have an __index__ method"));
    }
    TW_TRY(r, resolve_slice(length, parts[0], parts[1], parts[2]));
    return std::optional(r);
}

}  // namespace strarg

Slot bytes_len(NativeRuntime& rt, Value self) {
    TW_TRY(b, bytes_of(rt, self));
    if (!b) return not_applicable();
    return std::optional(Value::from_int(std::int64_t(b->size())));
}

Slot bytes_getitem(NativeRuntime& rt, Value self, Value key) {
    auto index = int64_of(rt, key);
    if (!index) return not_applicable();
    TW_TRY(b, bytes_of(rt, self));
    if (!b) return not_applicable();
    TW_TRY(byte, byte_at(*b, *index, is_bytearray(rt, self)));
    return std::optional(Value::from_int(byte));
}

Slot bytes_concat(NativeRuntime& rt, Value self, Value other) {
    TW_TRY(left, bytes_of(rt, self));
    if (!left) return not_applicable();
    TW_TRY(right, bytes_of(rt, other));
    if (!right) return not_applicable();
    MeterCharges charges(number_env(rt));
    TW_TRY(out, bytes_concat(charges, *left, *right));
    return slot_value(make_bytes(rt, std::move(out), is_bytearray(rt, self)));
}

Slot bytes_repeat(NativeRuntime& rt, Value a, Value b) {
    TW_TRY(first, bytes_of(rt, a));
    Value seq = a, count = b;
    std::optional<std::string> content = std::move(first);
    if (!content) {
        TW_TRY(second, bytes_of(rt, b));
        if (!second) return not_applicable();
        content = std::move(second);
        seq = b, count = a;
    }
    // repeat_count: negative counts are 0, counts beyond 64 bits overflow, other values decline.
    std::int64_t n;
    if (auto small = int64_of(rt, count)) {
        n = *small;
    } else {
        const NumericView v = py_numeric_view(rt.heap(), count);
        if (v.kind == NumericView::U64) return fail(PyError::overflow_error("sequence repeat is too large"));
        if (v.kind != NumericView::Big) return not_applicable();
        if (mpz_sgn(v.big->get()) < 0) n = 0;
        else return fail(PyError::overflow_error("sequence repeat is too large"));
    }
    const bool bytearray = is_bytearray(rt, seq);
    MeterCharges charges(number_env(rt));
    TW_TRY(out, bytes_repeat(charges, *content, n, bytearray));
    return slot_value(make_bytes(rt, std::move(out), bytearray));
}

Slot bytearray_setitem(NativeRuntime& rt, Value self, Value key, Value value) {
    TW_TRY(checked, bytearray_content(rt, self));
    if (auto index = int64_of(rt, key)) {
        TW_CHECK(bytearray_set_item(*checked, *index, int64_of(rt, value)));
        return std::optional(Value::none());
    }
    const HeapSlot* key_slot = rt.heap().get_if_object(key);
    if (!key_slot || !std::holds_alternative<SlicePayload>(key_slot->object)) return not_applicable();
    TW_TRY(bytes, materialize_bytes(rt, value));
    TW_TRY(content, bytearray_content(rt, self));
    TW_TRY(slice, strarg::slice_of(rt, key, content->size()));
    if (!slice) return not_applicable();
    MeterCharges charges(number_env(rt));
    HeapSizer sizer(rt, self);
    TW_CHECK(bytearray_set_slice(charges, sizer, *content, *slice, bytes));
    return std::optional(Value::none());
}

Slot bytearray_delitem(NativeRuntime& rt, Value self, Value key) {
    TW_TRY(content, bytearray_content(rt, self));
    MeterCharges charges(number_env(rt));
    HeapSizer sizer(rt, self);
    if (auto index = int64_of(rt, key)) {
        TW_CHECK(bytearray_del_item(charges, sizer, *content, *index));
        return std::optional(Value::none());
    }
    TW_TRY(slice, strarg::slice_of(rt, key, content->size()));
    if (!slice) return not_applicable();
    TW_CHECK(bytearray_del_slice(charges, sizer, *content, *slice));
    return std::optional(Value::none());
}

const NativeClass& bytes_native_class() { return kBytesClass; }
const NativeClass& bytearray_native_class() { return kByteArrayClass; }

void attach_string_classes(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(BuiltinType::String), str_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::Bytes), bytes_native_class());
    registry.attach_class_method(symbols, type_id(BuiltinType::Bytes), kBytesFromHex);
    registry.attach_native_class(symbols, type_id(BuiltinType::ByteArray), bytearray_native_class());
    registry.attach_class_method(symbols, type_id(BuiltinType::ByteArray), kByteArrayFromHex);
}

}  // namespace tw::py
