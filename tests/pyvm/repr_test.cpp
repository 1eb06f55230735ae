#include <gtest/gtest.h>

#include <string>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/vm/exceptions.h"
#include "python/vm/exec_state.h"
#include "python/vm/repr.h"
#include "python/vm/runtime_context.h"
#include "runtime_fixture.h"

namespace tw::py {
namespace {

struct Repr : RuntimeFixture {
    std::string repr(Value v) {
        auto r = py_repr(ctx, v);
        return r ? *r : "error: " + std::string(r.error().message());
    }
    Value builtin(std::string_view name) {
        for (const auto& row : kBuiltinFunctions)
            if (row.name == name) return intern_static_definition(StaticDefinition::of_function(row.id));
        return Value::absent();
    }
};

TEST_F(Repr, ScalarsAndStrings) {
    struct Case {
        Value v;
        const char* text;
    } cases[] = {
        {Value::from_int(-12), "-12"},
        {Value::from_float(0.1 + 0.2), "0.30000000000000004"},
        {Value::from_float(1e16), "1e+16"},
        {Value::from_bool(true), "True"},
        {Value::none(), "None"},
        {str("it's"), "\"it's\""},
        {str("say \"hi\""), "'say \"hi\"'"},
        {str("it's \"both\""), "'it\\'s \"both\"'"},
        {str("\x0b\xc2\xa0\xc3\xa9\t\xe2\x80\xa8"), "'\\x0b\\xa0\xc3\xa9\\t\\u2028'"},
        {alloc(BytesPayload{std::string("\0'", 2)}), "b\"\\x00'\""},
        {alloc(ByteArrayPayload{"ab"}), "bytearray(b'ab')"},
        {alloc(RangePayload{0, 5, 1}), "range(5)"},
        {alloc(RangePayload{1, 5, 1}), "range(1, 5)"},
        {alloc(RangePayload{0, 10, 2}), "range(0, 10, 2)"},
        {alloc(ComplexPayload{1.5, -0.5}), "(1.5-0.5j)"},
        {alloc(TuplePayload{}), "()"},
        {alloc(TuplePayload{{Value::from_int(1)}}), "(1,)"},
        {alloc(SetPayload{Box<SetTable>::make()}), "set()"},
        {alloc(FrozenSetPayload{Box<SetTable>::make()}), "frozenset()"},
        {alloc(DictPayload{Box<DictTable>::make()}), "{}"},
        {alloc(SlicePayload{Value::none(), Value::from_int(3), Value::none()}), "slice(None, 3, None)"},
        {builtin("len"), "<built-in function len>"},
        {builtin("quit"), "<built-in function exit>"},
        {intern_static_definition(StaticDefinition::of_builtin_type(type_id(BuiltinType::Int))), "<class 'int'>"},
        {intern_static_definition(StaticDefinition::of_slot_wrapper(std::uint8_t(DunderSlot::Add), type_id(BuiltinType::Int))),
         "<slot wrapper '__add__' of 'int' objects>"},
        {intern_static_definition(StaticDefinition::of_exception("CalledProcessError")),
         "<class 'subprocess.CalledProcessError'>"},
        {intern_static_definition(StaticDefinition::of_exception("ValueError")), "<class 'ValueError'>"},
    };
    for (const Case& c : cases) EXPECT_EQ(repr(c.v), c.text) << c.text;
}

TEST_F(Repr, ExceptionArguments) {
    Value e = new_exception(in, machine.meter, "ValueError", {str("x"), Value::from_int(1)}).value();
    EXPECT_EQ(repr(e), "ValueError('x', 1)");
}

TEST_F(Repr, CyclesPrintTheirMarker) {
    Value inner = list({Value::from_int(1)});
    in.heap.slot_mut(inner).value()->object = ListPayload{{Value::from_int(1), inner}};
    EXPECT_EQ(repr(inner), "[1, [...]]");
    // A list shared twice, not a cycle, prints in full twice.
    Value shared = list({Value::from_int(2)});
    EXPECT_EQ(repr(list({shared, shared})), "[[2], [2]]");
    Value t = alloc(TuplePayload{{inner}});
    EXPECT_EQ(repr(t), "([1, [...]],)");
}

TEST_F(Repr, DepthLimit) {
    Value v = list({});
    for (int i = 1; i < 256; ++i) v = list({v});
    std::string text = repr(v);
    EXPECT_EQ(text, std::string(256, '[') + std::string(256, ']'));
    v = list({v});
    EXPECT_EQ(repr(v), "error: maximum recursion depth exceeded while getting the repr of an object");
}

TEST_F(Repr, WorkIsChargedBeforeText) {
    std::vector<Value> items(1000, Value::from_int(7));
    Value big = list(items);
    ResourceMeter& m = machine.meter;
    const auto before = m.cpu_used();
    ASSERT_EQ(repr(big).size(), 1000 * 3 - 2 + 2);
    EXPECT_GE(m.cpu_used() - before, 1000u);
}

}  // namespace
}  // namespace tw::py
