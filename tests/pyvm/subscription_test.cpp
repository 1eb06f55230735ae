// Subscription of builtin values that programs cannot reach without imports: the environment
// mapping, typing.List, default dictionaries and their growth, and the snapshot iterators.
#include <gtest/gtest.h>

#include "pyvm/runtime_fixture.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/call.h"
#include "python/vm/classes.h"
#include "python/vm/engine.h"

namespace tw::py {
namespace {

using Subscription = RuntimeFixture;

std::string text_of(const Heap& heap, Value v) {
    auto s = str_view(heap, v);
    return s && *s ? std::string(**s) : std::string("<not a str>");
}

TEST_F(Subscription, EnvironmentReadsTheProcessVariables) {
    Value env = intern_static_definition(StaticDefinition::of(DefinitionTag::Environment));
    auto home = vm::py_getitem(ctx, env, str("HOME"));
    ASSERT_TRUE(home) << error_of(home);
    EXPECT_EQ(text_of(in.heap, *home), "/root");
    auto missing = vm::py_getitem(ctx, env, str("NO_SUCH_NAME"));
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().is_raised_marker());  // KeyError with the name
    EXPECT_EQ(error_of(vm::py_getitem(ctx, env, Value::from_int(1))), "environment key must be a string");
}

TEST_F(Subscription, TypingListNamesItsArgument) {
    Value list_form = intern_static_definition(StaticDefinition::of(DefinitionTag::TypingList));
    auto r = vm::py_getitem(ctx, list_form, type(BuiltinType::Int));
    ASSERT_TRUE(r) << error_of(r);
    EXPECT_EQ(text_of(in.heap, *r), "typing.List[int]");
    r = vm::py_getitem(ctx, list_form, str("x"));
    ASSERT_TRUE(r) << error_of(r);
    EXPECT_EQ(text_of(in.heap, *r), "typing.List['x']");
}

TEST_F(Subscription, DefaultDictInsertsWhatTheFactoryMakes) {
    Value dd = alloc(DefaultDictPayload{Box<DictTable>::make(), type(BuiltinType::List)});
    const std::uint64_t before = modeled_size_of(in.heap, dd).value();
    auto made = vm::py_getitem(ctx, dd, str("k"));
    ASSERT_TRUE(made) << error_of(made);
    EXPECT_EQ(in.heap.get_if_object(*made)->kind(), HeapObjectKind::List);
    EXPECT_EQ(modeled_size_of(in.heap, dd).value(), before + 96);
    auto again = vm::py_getitem(ctx, dd, str("k"));
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *made);
    // Without a factory a missing key is a KeyError.
    Value plain = alloc(DefaultDictPayload{Box<DictTable>::make(), Value::none()});
    auto missing = vm::py_getitem(ctx, plain, str("k"));
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().is_raised_marker());
}

TEST_F(Subscription, SetsAndRangesRefuseWhatTheyCannotDo) {
    Value s = alloc(SetPayload{Box<SetTable>::make()});
    EXPECT_EQ(error_of(vm::py_getitem(ctx, s, Value::from_int(0))), "'set' object is not subscriptable");
    Value r = alloc(RangePayload{0, 5, 1});
    EXPECT_EQ(error_of(vm::py_getitem(ctx, r, str("a"))), "range indices must be integers or slices, not str");
    Value slice = alloc(SlicePayload{Value::none(), Value::none(), Value::from_int(0)});
    EXPECT_EQ(error_of(vm::py_getitem(ctx, list({}), slice)), "slice step cannot be zero");
}

TEST_F(Subscription, IteratorsOfBuiltinValues) {
    Value l = list({Value::from_int(1)});
    auto it = vm::py_iter(ctx, l);
    ASSERT_TRUE(it && *it);
    EXPECT_EQ(in.heap.get_if_object(**it)->kind(), HeapObjectKind::SequenceIterator);
    auto same = vm::py_iter(ctx, **it);
    ASSERT_TRUE(same && *same);
    EXPECT_EQ(**same, **it);
    auto none = vm::py_iter(ctx, Value::from_int(5));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->has_value());
    EXPECT_TRUE(vm::py_iterator_kind_of(ctx, **it).value());
    EXPECT_FALSE(vm::py_iterator_kind_of(ctx, l).value());
    Value counter = alloc(CountIteratorPayload{0, 1});
    EXPECT_TRUE(vm::py_is_count_iterator(in.heap, counter).value());
    EXPECT_FALSE(vm::py_is_count_iterator(in.heap, l).value());
}

TEST_F(Subscription, SharedSlotsOfStrAndTheContainers) {
    NativeRuntime rt(ctx);
    auto binary = [&](BuiltinType t, DunderSlot s, Value a, Value b) {
        return in.types.slot(type_id(t), s).value()->as_binary()(rt, a, b);
    };
    auto repeated = binary(BuiltinType::String, DunderSlot::Multiply, str("ab"), Value::from_int(3));
    ASSERT_TRUE(repeated && *repeated);
    EXPECT_EQ(text_of(in.heap, **repeated), "ababab");
    auto none = binary(BuiltinType::String, DunderSlot::Multiply, str("ab"), Value::from_int(-5));
    ASSERT_TRUE(none && *none);
    EXPECT_EQ(text_of(in.heap, **none), "");
    EXPECT_FALSE(binary(BuiltinType::String, DunderSlot::Multiply, str("ab"), Value::from_float(2.0)).value());
    Value huge = alloc(BigIntPayload{Box<BigInt>::make(BigInt(1))});
    mpz_mul_2exp(std::get<BigIntPayload>(in.heap.slot_mut(huge).value()->object).value->get(), BigInt(1).get(), 70);
    EXPECT_EQ(error_of(binary(BuiltinType::String, DunderSlot::Multiply, str("ab"), huge)), "sequence repeat is too large");
    auto joined = binary(BuiltinType::String, DunderSlot::Add, str("a"), str("b"));
    ASSERT_TRUE(joined && *joined);
    EXPECT_EQ(text_of(in.heap, **joined), "ab");
    EXPECT_FALSE(binary(BuiltinType::String, DunderSlot::Add, str("a"), Value::from_int(1)).value());
    auto less = binary(BuiltinType::String, DunderSlot::LessThan, str("\u00e9"), str("z"));
    ASSERT_TRUE(less && *less);
    EXPECT_EQ(**less, Value::from_bool(false));
    Value obj = in.heap.insert_object(type_id(BuiltinType::Object), ObjectPayload{}, &in, machine.meter).value();
    EXPECT_EQ(error_of(binary(BuiltinType::Object, DunderSlot::Format, obj, str("x"))),
              "unsupported format string passed to object.__format__");
    auto len = in.types.slot(type_id(BuiltinType::List), DunderSlot::Length).value()->as_unary()(rt, list({Value::none()}));
    ASSERT_TRUE(len && *len);
    EXPECT_EQ(**len, Value::from_int(1));
    auto has = binary(BuiltinType::List, DunderSlot::Contains, list({Value::from_int(2)}), Value::from_int(2));
    ASSERT_TRUE(has && *has);
    EXPECT_EQ(**has, Value::from_bool(true));
}

}  // namespace
}  // namespace tw::py
