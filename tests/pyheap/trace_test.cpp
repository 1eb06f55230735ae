#include <gtest/gtest.h>

#include <functional>

#include "fixture.h"

namespace tw::py {
namespace {

using test::HeapFixture;

struct HoldsValue final : NativeObject {
    Value held;
    TypeId type_id() const override { return 22; }
    std::uint64_t modeled_size() const override { return 8; }
    void visit_values(ValueVisitor& v) const override { v.visit(held); }
    std::unique_ptr<NativeObject> clone() const override { return std::make_unique<HoldsValue>(*this); }
    std::array<std::uint64_t, 2> type_identity() const override { return {1, 2}; }
};

// Every kind of payload that holds Values keeps each of them alive through a collection, and
// lets it go once the container itself is unreachable.
TEST(Trace, EveryValueOfEveryPayloadIsARoot) {
    using Make = std::function<HeapObject(Value)>;
    const Value n = Value::none();
    struct Case {
        const char* name;
        Make make;
    } cases[] = {
        {"exception", [](Value t) { return ExceptionPayload{{t}}; }},
        {"tuple", [](Value t) { return TuplePayload{{Value::from_int(1), t}}; }},
        {"slice step", [n](Value t) { return SlicePayload{n, n, t}; }},
        {"dict key", [](Value t) {
             auto d = Box<DictTable>::make();
             d->push(DictSlot{1, t, Value::from_int(1)});
             return DictPayload{std::move(d)};
         }},
        {"dict value", [](Value t) {
             auto d = Box<DictTable>::make();
             d->push(DictSlot{1, Value::from_int(1), t});
             return DictPayload{std::move(d)};
         }},
        {"defaultdict factory", [](Value t) { return DefaultDictPayload{Box<DictTable>::make(), t}; }},
        {"frozenset", [](Value t) {
             auto s = Box<SetTable>::make();
             s->push(SetSlot{3, t});
             return FrozenSetPayload{std::move(s)};
         }},
        {"function closure", [](Value t) {
             auto f = Box<FunctionRecord>::make();
             f->closure = t;
             return FunctionPayload{std::move(f)};
         }},
        {"function keyword default", [](Value t) {
             auto f = Box<FunctionRecord>::make();
             f->keyword_defaults.push_back({0, t});
             return FunctionPayload{std::move(f)};
         }},
        {"function defining class", [](Value t) {
             auto f = Box<FunctionRecord>::make();
             f->defining_class = t;
             return FunctionPayload{std::move(f)};
         }},
        {"class namespace", [](Value t) {
             auto c = Box<ClassRecord>::make();
             c->metaclass = Value::native(NativeKind::BuiltinType, 1);
             c->namespace_.insert(5, t);
             return ClassPayload{std::move(c)};
         }},
        {"class value list", [](Value t) {
             auto c = Box<ClassRecord>::make();
             c->metaclass = Value::native(NativeKind::BuiltinType, 1);
             c->values.push_back(t);
             return ClassPayload{std::move(c)};
         }},
        {"bound method receiver", [n](Value t) { return BoundMethodPayload{Value::absent(), t, n}; }},
        {"generic alias argument", [n](Value t) { return GenericAliasPayload{n, {t}}; }},
        {"values iterator", [](Value t) { return ValuesIteratorPayload{0, {t}}; }},
        {"sequence iterator", [](Value t) { return SequenceIteratorPayload{0, t}; }},
        {"reversed iterator", [](Value t) { return ReversedIteratorPayload{1, t}; }},
        {"callable iterator sentinel", [n](Value t) { return CallableIteratorPayload{false, n, t}; }},
        {"generator saved value", [](Value t) {
             auto g = Box<GeneratorRecord>::make();
             g->saved_values.push_back(t);
             return GeneratorPayload{std::move(g)};
         }},
        {"generator return value", [](Value t) {
             auto g = Box<GeneratorRecord>::make();
             g->return_value = t;
             return GeneratorPayload{std::move(g)};
         }},
        {"module namespace", [](Value t) { return ModulePayload{t, "m"}; }},
        {"namespace parent", [](Value t) {
             auto s = Box<Namespace>::make();
             s->parent = t;
             return NamespacePayload{std::move(s)};
         }},
        {"namespace slot", [](Value t) {
             auto s = Box<Namespace>::make();
             s->slots.push_back(t);
             return NamespacePayload{std::move(s)};
         }},
        {"namespace entry", [](Value t) {
             auto s = Box<Namespace>::make();
             s->insert(1, t);
             return NamespacePayload{std::move(s)};
         }},
        {"namespace dict", [](Value t) { return NamespaceDictPayload{0, t}; }},
        {"dict view", [](Value t) { return DictViewPayload{2, t}; }},
        {"mapping proxy", [](Value t) { return MappingProxyPayload{t, 0}; }},
        {"native object", [](Value t) {
             auto o = std::make_unique<HoldsValue>();
             o->held = t;
             return NativeObjectPayload{Box<NativeObject>(std::move(o))};
         }},
        {"property getter", [n](Value t) { return PropertyPayload{t, n}; }},
        {"static method", [](Value t) { return StaticMethodPayload{t}; }},
        {"class method", [](Value t) { return ClassMethodPayload{t}; }},
        {"super object", [n](Value t) { return SuperPayload{n, t}; }},
    };
    for (const Case& c : cases) {
        HeapFixture f;
        Value target = f.list();
        Value holder = f.heap.allocate_object(c.make(target), nullptr, f.meter).value();
        f.drop_scoped_roots();
        f.roots.values = {holder};
        ASSERT_TRUE(f.heap.collect_young(&f.roots, nullptr, f.meter)) << c.name;
        EXPECT_TRUE(f.heap.get(target)) << c.name << " (young)";
        ASSERT_TRUE(f.heap.collect_full(&f.roots, nullptr, f.meter)) << c.name;
        EXPECT_TRUE(f.heap.get(target)) << c.name << " (full)";
        f.roots.values.clear();
        ASSERT_TRUE(f.heap.collect_full(&f.roots, nullptr, f.meter)) << c.name;
        EXPECT_FALSE(f.heap.get(target)) << c.name << " (unreachable)";
        EXPECT_EQ(f.heap.total_bytes(), 0u) << c.name;
        EXPECT_EQ(f.meter.memory_current(), 0u) << c.name;
    }
}

TEST(Trace, AttributeStoresAreTracedFirst) {
    HeapFixture f;
    Value target = f.list(), other = f.list();
    Value holder = f.heap.allocate_object(ObjectPayload{}, nullptr, f.meter).value();
    auto store = Box<AttributeStore>::make();
    store->shaped_values.push_back(target);
    store->dict.insert(7, other);
    f.heap.slot_mut(holder).value()->attributes = std::move(store);
    f.drop_scoped_roots();
    f.roots.values = {holder};
    ASSERT_TRUE(f.heap.collect_full(&f.roots, nullptr, f.meter));
    EXPECT_TRUE(f.heap.get(target));
    EXPECT_TRUE(f.heap.get(other));
    // A deep copy of the heap copies the attribute store.
    Heap copy = f.heap;
    EXPECT_TRUE(copy.get(holder).value()->attributes);
}

}  // namespace
}  // namespace tw::py
