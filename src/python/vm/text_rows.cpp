// str.join, bytes.join and bytearray.join over the string library's joiner, and str.translate over
// its translation walk. Items are pulled one at a time through the engine's iteration, so any
// iterable (generators included) serves.
#include "python/vm/text_rows.h"

#include <fmt/format.h>

#include "python/heap/heap.h"
#include "python/number/values.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/string/bytes_ops.h"
#include "python/string/pad_encode.h"
#include "python/string/split_join.h"
#include "python/types/number_runtime.h"
#include "python/types/string_types.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/engine.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

using namespace strarg;

// The text of a str value, viewed in place: valid while the value lives and nothing is allocated.
std::optional<std::string_view> str_view_of(const Heap& heap, const Value& v) {
    if (v.is_inline_str()) return v.inline_str();
    const HeapSlot* s = heap.get_if_object(v);
    if (const auto* t = s ? std::get_if<HeapStr>(&s->object) : nullptr) return std::string_view(t->text);
    return std::nullopt;
}

std::optional<std::string_view> bytes_view_of(const Heap& heap, const Value& v) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s) return std::nullopt;
    if (const auto* b = std::get_if<BytesPayload>(&s->object)) return std::string_view(b->bytes);
    if (const auto* b = std::get_if<ByteArrayPayload>(&s->object)) return std::string_view(b->bytes);
    return std::nullopt;
}

// Hands every item of an iterable to `visit(item, index)` in order. Lists and tuples are walked
// over a copy of their items; anything else through its iterator, one item at a time.
template <class Visit>
PyStatus for_each_item(RuntimeContext& ctx, Value iterable, Visit&& visit) {
    Heap& heap = ctx.heap;
    heap.push_root(iterable);
    if (const HeapSlot* s = heap.get_if_object(iterable)) {
        const std::vector<Value>* items = nullptr;
        if (const auto* l = std::get_if<ListPayload>(&s->object)) items = &l->items;
        else if (const auto* t = std::get_if<TuplePayload>(&s->object)) items = &t->items;
        if (items) {
            const std::vector<Value> copy = *items;
            for (std::size_t i = 0; i < copy.size(); ++i) TRY_DO(visit(copy[i], std::uint64_t(i)));
            return {};
        }
    }
    TRY_ASSIGN(it, vm::get_iterator(ctx, iterable));
    heap.push_root(it);
    for (std::uint64_t i = 0;; ++i) {
        TRY_ASSIGN(step, vm::iterator_next(ctx, it));
        if (!step.item) return {};
        heap.push_root(*step.item);
        TRY_DO(visit(*step.item, i));
    }
}

PyResult<Value> str_join_row(NativeRuntime& rt, Value self, NativeCall call) {
    TRY_DO(check_arity(call, "str.join", 1, 1));
    TRY_DO(reject_keywords(call, "str.join"));
    TRY_ASSIGN(sep, expect_str(rt, self));
    RuntimeContext& ctx = rt.context();
    MeterCharges charges(number_env(rt));
    Joiner joiner = str_joiner(sep.text);
    TRY_DO(for_each_item(ctx, call.positional[0], [&](Value item, std::uint64_t) -> PyStatus {
        if (auto text = str_view_of(ctx.heap, item)) return joiner.add(charges, *text);
        TRY_ASSIGN(tn, type_name(rt, item));
        return fail(PyError::type_error(fmt::format("expected a string, got {}", tn)));
    }));
    TRY_ASSIGN(out, joiner.finish(charges));
    return make_str(rt, std::move(out));
}

PyResult<Value> bytes_join_row(NativeRuntime& rt, Value self, NativeCall call) {
    TRY_DO(check_arity(call, "bytes.join", 1, 1));
    TRY_DO(reject_keywords(call, "bytes.join"));
    TRY_ASSIGN(sep, expect_bytes(rt, self));
    const bool bytearray = is_bytearray(rt, self);
    RuntimeContext& ctx = rt.context();
    MeterCharges charges(number_env(rt));
    Joiner joiner = bytes_joiner(sep);
    TRY_DO(for_each_item(ctx, call.positional[0], [&](Value item, std::uint64_t index) -> PyStatus {
        if (auto bytes = bytes_view_of(ctx.heap, item)) return joiner.add(charges, *bytes);
        TRY_ASSIGN(tn, type_name(rt, item));
        return fail(bytes_join_item_error(index, tn));
    }));
    TRY_ASSIGN(out, joiner.finish(charges));
    return make_bytes(rt, std::move(out), bytearray);
}

// A translation table: the items of a list or tuple by code point, or a dict looked up with the
// code point as an int key.
class ValueTable final : public TranslateTable {
public:
    ValueTable(NativeRuntime& rt, Value dict) : rt_(rt), dict_(dict) {}
    ValueTable(NativeRuntime& rt, std::vector<Value> items) : rt_(rt), items_(std::move(items)) {}

    PyResult<TranslateItem> lookup(char32_t c) override {
        Value mapped;
        if (dict_) {
            TRY_ASSIGN(hit, vm::dict_lookup(rt_.context(), *dict_, Value::from_int(std::int64_t(c))));
            if (!hit) return TranslateItem(TranslateKeep{});
            mapped = *hit;
        } else {
            if (c >= items_.size()) return TranslateItem(TranslateKeep{});
            mapped = items_[c];
        }
        if (mapped.is_none()) return TranslateItem(TranslateDelete{});
        if (auto text = str_view_of(rt_.heap(), mapped)) return TranslateItem(TranslateText{std::string(*text)});
        if (mapped.is_int() || mapped.is_bool()) return TranslateItem(TranslateInt{mapped.as_int()});
        const NumericView n = py_numeric_view(rt_.heap(), mapped);
        if (n.kind == NumericView::Big || n.kind == NumericView::U64) return TranslateItem(TranslateInt{0, false});
        return TranslateItem(TranslateOther{});
    }

private:
    NativeRuntime& rt_;
    std::optional<Value> dict_;
    std::vector<Value> items_;
};

PyResult<Value> str_translate_row(NativeRuntime& rt, Value self, NativeCall call) {
    TRY_DO(check_arity(call, "translate", 1, 1));
    TRY_DO(reject_keywords(call, "translate"));
    TRY_ASSIGN(text, expect_str(rt, self));
    const Value table = call.positional[0];
    const HeapSlot* slot = rt.heap().get_if_object(table);
    std::optional<ValueTable> walk;
    if (slot) {
        if (const auto* l = std::get_if<ListPayload>(&slot->object)) walk.emplace(rt, l->items);
        else if (const auto* t = std::get_if<TuplePayload>(&slot->object)) walk.emplace(rt, t->items);
        else if (slot->kind() == HeapObjectKind::Dict || slot->kind() == HeapObjectKind::DefaultDict) walk.emplace(rt, table);
        else if (slot->kind() == HeapObjectKind::Object)
            return fail(PyError::unsupported("str.translate() with a table that is not a dict, list or tuple"));
    }
    if (!walk) {
        TRY_ASSIGN(tn, type_name(rt, table));
        return fail(PyError::type_error(fmt::format("'{}' object is not subscriptable", tn)));
    }
    MeterCharges charges(number_env(rt));
    TRY_ASSIGN(out, str_translate(charges, text.text, *walk));
    return make_str(rt, std::move(out));
}

constexpr NativeFunction kStrRows[] = {{"str", "join", nullptr, str_join_row},
                                       {"str", "translate", nullptr, str_translate_row}};
constexpr NativeFunction kBytesRows[] = {{"bytes", "join", nullptr, bytes_join_row}};
constexpr NativeFunction kByteArrayRows[] = {{"bytearray", "join", nullptr, bytes_join_row}};
constexpr NativeClass kStrClass{"str", kStrRows, {}};
constexpr NativeClass kBytesClass{"bytes", kBytesRows, {}};
constexpr NativeClass kByteArrayClass{"bytearray", kByteArrayRows, {}};

}  // namespace

void attach_text_rows(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(BuiltinType::String), kStrClass);
    registry.attach_native_class(symbols, type_id(BuiltinType::Bytes), kBytesClass);
    registry.attach_native_class(symbols, type_id(BuiltinType::ByteArray), kByteArrayClass);
}

PyResult<std::optional<Value>> call_number_method(RuntimeContext& ctx, Value v, std::string_view name) {
    // Looked up on the value's class, as the interpreter looks up special methods.
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, vm::interp(ctx).types, v));
    const auto symbol = ctx.heap.symbols.lookup(name);
    if (!cls || !symbol) return std::optional<Value>();
    TRY_ASSIGN(method, vm::class_lookup(ctx, *cls, *symbol));
    if (!method) return std::optional<Value>();
    ctx.heap.push_root(*method);
    TRY_ASSIGN(result, vm::call_immediate(ctx, *method, std::span(&v, 1), {}));
    ctx.heap.push_root(result);
    return std::optional(result);
}

}  // namespace tw::py
