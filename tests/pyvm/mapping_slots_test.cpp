// The slot functions of mapping proxies and namespace dictionaries, and views over them: values
// no program can build yet, made here from their payloads.
#include <gtest/gtest.h>

#include "python/types/mapping_types.h"
#include "python/vm/call.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "runtime_fixture.h"

namespace tw::py {
namespace {

struct MappingSlots : RuntimeFixture {
    EngineRuntime rt{ctx};

    // A namespace dictionary over a scope binding a = 1, b = 2.
    Value namespace_dict() {
        Namespace ns;
        ns.insert(in.heap.symbols.intern_static("a"), Value::from_int(1));
        ns.insert(in.heap.symbols.intern_static("b"), Value::from_int(2));
        Value scope = alloc(NamespacePayload{Box<Namespace>::make(std::move(ns))});
        return alloc(NamespaceDictPayload{0, scope});
    }
    // The proxy of the builtin dict type's namespace (its method rows).
    Value dict_type_proxy() { return alloc(MappingProxyPayload{Value::absent(), type_id(BuiltinType::Dict)}); }
    static Value answer(const SlotValue& r) {
        EXPECT_TRUE(r && *r) << error_of(r);
        return r && *r ? **r : Value::none();
    }
    static std::int64_t int_of(const SlotValue& r) { return answer(r).as_int(); }
    static bool bool_of(const SlotValue& r) { return answer(r).as_bool(); }
    std::vector<std::string> texts(Value iterable) {
        std::vector<std::string> out;
        const std::vector<Value> items = vm::collect_iterable(ctx, iterable).value();
        for (const Value& v : items) out.emplace_back(*str_view(in.heap, v).value());
        return out;
    }
};

TEST_F(MappingSlots, NamespaceDictionary) {
    Value d = namespace_dict();
    EXPECT_EQ(int_of(namespace_dict_getitem(rt, d, str("b"))), 2);
    EXPECT_EQ(int_of(namespace_dict_len(rt, d)), 2);
    EXPECT_TRUE(bool_of(namespace_dict_contains(rt, d, str("a"))));
    EXPECT_FALSE(bool_of(namespace_dict_contains(rt, d, str("zz"))));
    EXPECT_EQ(texts(answer(namespace_dict_iter(rt, d))), (std::vector<std::string>{"a", "b"}));
    // An absent name raises KeyError with the name.
    auto missing = namespace_dict_getitem(rt, d, str("zz"));
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().is_raised_marker());
    // A plain list is no dictionary.
    EXPECT_EQ(error_of(namespace_dict_len(rt, list({}))), "expected dict, got list");
}

TEST_F(MappingSlots, ProxyAndItsViews) {
    Value p = dict_type_proxy();
    EXPECT_TRUE(bool_of(proxy_contains(rt, p, str("setdefault"))));
    EXPECT_FALSE(bool_of(proxy_contains(rt, p, str("nope"))));
    EXPECT_TRUE(answer(proxy_getitem(rt, p, str("get"))).is_present());
    EXPECT_FALSE(proxy_getitem(rt, p, str("nope")));
    const std::int64_t n = int_of(proxy_len(rt, p));
    EXPECT_GT(n, 10);
    // A keys view over the proxy: the same length and membership.
    Value keys = alloc(DictViewPayload{0, p});
    EXPECT_EQ(int_of(view_len(rt, keys)), n);
    EXPECT_TRUE(bool_of(view_contains(rt, keys, str("popitem"))));
    EXPECT_EQ(texts(answer(proxy_iter(rt, p))).size(), std::size_t(n));
    // A view over a value that is no mapping.
    Value bad = alloc(DictViewPayload{0, list({})});
    EXPECT_EQ(error_of(view_len(rt, bad)), "a dict view needs a mapping");
    EXPECT_EQ(error_of(view_iter(rt, list({}))), "descriptor requires a dict view");
}

TEST_F(MappingSlots, ProxyMethods) {
    Value p = dict_type_proxy();
    auto get = vm::load_attribute(ctx, p, in.heap.symbols.intern_static("get")).value();
    Value fallback = Value::from_int(7);
    Value args[] = {str("nope"), fallback};
    EXPECT_EQ(call_value(ctx, get, args).value().as_int(), 7);
    auto copy = vm::load_attribute(ctx, p, in.heap.symbols.intern_static("copy")).value();
    Value d = call_value(ctx, copy, {}).value();
    HeapSlot* slot = in.heap.slot_mut(d).value();
    ASSERT_EQ(slot->kind(), HeapObjectKind::Dict);
    EXPECT_EQ(std::int64_t(dict_table_of(slot->object)->live_count), int_of(proxy_len(rt, p)));
}

}  // namespace
}  // namespace tw::py
