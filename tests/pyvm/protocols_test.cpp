#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/vm/builtins_io.h"
#include "python/vm/exec_state.h"
#include "python/vm/protocols.h"
#include "python/vm/runtime_context.h"
#include "runtime_fixture.h"

namespace tw::py {
namespace {

struct Protocols : RuntimeFixture {
    static Value I(std::int64_t v) { return Value::from_int(v); }
    // Builtin slots the number and sequence floors fill: cleared here, so that these types answer
    // "not applicable" and the fallback decides.
    void clear_slot(BuiltinType t, DunderSlot s) { in.types.get_mut(type_id(t))->resolved[std::size_t(s)] = SlotEntry{}; }
};

TEST_F(Protocols, Comparison) {
    for (BuiltinType t : {BuiltinType::Int, BuiltinType::String})
        for (int s = int(DunderSlot::Equal); s <= int(DunderSlot::GreaterEqual); ++s) clear_slot(t, DunderSlot(s));
    EXPECT_TRUE(py_rich_compare(ctx, RichCompareOp::Lt, list({I(1), I(2)}), list({I(1), I(3)})).value());
    EXPECT_FALSE(py_rich_compare(ctx, RichCompareOp::Ge, list({I(1)}), list({I(1), I(0)})).value());
    EXPECT_TRUE(py_rich_compare(ctx, RichCompareOp::Lt, I(1), Value::from_float(1.5)).value());
    EXPECT_TRUE(py_rich_compare(ctx, RichCompareOp::Eq, Value::from_bool(true), I(1)).value());
    EXPECT_TRUE(py_rich_compare(ctx, RichCompareOp::Gt, str("b"), str("abc")).value());
    EXPECT_EQ(error_of(py_rich_compare(ctx, RichCompareOp::Lt, I(1), str("a"))),
              "'<' not supported between instances of 'int' and 'str'");
    Value a = alloc(ObjectPayload{}), b = alloc(ObjectPayload{});
    EXPECT_FALSE(py_rich_compare(ctx, RichCompareOp::Eq, a, b).value());
    EXPECT_TRUE(py_rich_compare(ctx, RichCompareOp::Eq, a, a).value());
    Value nan = Value::from_float(std::nan(""));
    EXPECT_FALSE(py_rich_compare(ctx, RichCompareOp::Eq, nan, nan).value());
    EXPECT_TRUE(py_values_equal(ctx, nan, nan).value());
}

TEST_F(Protocols, LengthNextAbsAndClasses) {
    EXPECT_EQ(py_builtin_len(ctx, str("h\xc3\xa9llo")).value(), 5u);
    EXPECT_EQ(py_builtin_len(ctx, alloc(RangePayload{0, 10, 3})).value(), 4u);
    EXPECT_EQ(py_builtin_len(ctx, alloc(BytesPayload{"ab"})).value(), std::nullopt);
    EXPECT_EQ(error_of(py_next(ctx, I(5))), "'int' object is not an iterator");
    Value counter = alloc(CountIteratorPayload{INT64_MAX, 1});
    EXPECT_EQ(error_of(py_next(ctx, counter)), "itertools.count exceeded the bounded integer range");
    Value it = alloc(ValuesIteratorPayload{0, {I(7)}});
    EXPECT_EQ(py_next(ctx, it).value(), I(7));
    EXPECT_EQ(py_next(ctx, it).value(), std::nullopt);
    EXPECT_EQ(py_abs(ctx, I(-3)).value(), I(3));
    EXPECT_EQ(error_of(py_abs(ctx, str("x"))), "bad operand type for abs(): 'str'");
    Value nested = alloc(TuplePayload{{type(BuiltinType::String), alloc(TuplePayload{{type(BuiltinType::Int)}})}});
    EXPECT_TRUE(py_isinstance(ctx, I(1), nested).value());
    EXPECT_TRUE(py_isinstance(ctx, Value::from_bool(true), type(BuiltinType::Int)).value());
    EXPECT_FALSE(py_isinstance(ctx, str("s"), type(BuiltinType::Int)).value());
    EXPECT_EQ(error_of(py_isinstance(ctx, I(1), I(5))), "isinstance() requires a class argument");
    EXPECT_EQ(error_of(py_issubclass(ctx, I(5), type(BuiltinType::Int))), "issubclass() requires a class argument");
    EXPECT_TRUE(py_issubclass(ctx, type(BuiltinType::Bool), type(BuiltinType::Int)).value());
}

TEST_F(Protocols, StrAndFormat) {
    EXPECT_EQ(py_str(ctx, str("plain")).value(), "plain");
    EXPECT_EQ(py_str(ctx, list({str("a")})).value(), "['a']");
    EXPECT_EQ(py_format(ctx, I(5), "").value(), "5");
    // A huge width is refused by the budgets before any text is built.
    EXPECT_FALSE(py_format_charge(ctx, ">1000000000000"));
}

TEST_F(Protocols, BinaryFallbackMessages) {
    for (BuiltinType t : {BuiltinType::Int, BuiltinType::Float, BuiltinType::String, BuiltinType::List,
                          BuiltinType::Tuple, BuiltinType::Bytes, BuiltinType::ByteArray})
        for (DunderSlot s : {DunderSlot::Add, DunderSlot::ReflectedAdd, DunderSlot::Multiply,
                             DunderSlot::ReflectedMultiply, DunderSlot::Subtract, DunderSlot::ReflectedSubtract})
            clear_slot(t, s);
    const BinarySlotOperator add{"+", DunderSlot::Add, DunderSlot::ReflectedAdd};
    const BinarySlotOperator mul{"*", DunderSlot::Multiply, DunderSlot::ReflectedMultiply};
    const BinarySlotOperator sub{"-", DunderSlot::Subtract, DunderSlot::ReflectedSubtract};
    const BinarySlotOperator isub{"-=", DunderSlot::Subtract, DunderSlot::ReflectedSubtract};
    Value f = Value::from_float(1.5);
    struct Case {
        const BinarySlotOperator& op;
        Value l, r;
        const char* message;
    } cases[] = {
        {add, list({}), I(1), "can only concatenate list (not \"int\") to list"},
        {add, str("a"), I(1), "can only concatenate str (not \"int\") to str"},
        {add, alloc(BytesPayload{"a"}), str("s"), "can't concat str to bytes"},
        {add, alloc(ByteArrayPayload{"a"}), I(1), "can't concat int to bytearray"},
        {mul, list({}), f, "can't multiply sequence by non-int of type 'float'"},
        {mul, f, list({}), "can't multiply sequence by non-int of type 'float'"},
        {sub, I(1), str("s"), "unsupported operand type(s) for -: 'int' and 'str'"},
        {isub, I(1), str("s"), "unsupported operand type(s) for -=: 'int' and 'str'"},
    };
    for (const Case& c : cases) EXPECT_EQ(error_of(py_binary_fallback(ctx, c.op, c.l, c.r)), c.message) << c.message;
}

TEST_F(Protocols, SlotWrapperCalls) {
    Value args[1] = {I(2)};
    EXPECT_EQ(error_of(call_slot_wrapper(ctx, type_id(BuiltinType::Int), DunderSlot::Add, I(1), {}, {})),
              "__add__() received invalid arguments");
    EXPECT_EQ(error_of(call_slot_wrapper(ctx, type_id(BuiltinType::Int), DunderSlot::Add, str("s"), args, {})),
              "descriptor __add__ requires a 'int' object");
    auto r = call_slot_wrapper(ctx, type_id(BuiltinType::List), DunderSlot::Repr, list({I(1)}), {}, {});
    ASSERT_TRUE(r);
    EXPECT_EQ(std::string(*str_view(in.heap, *r).value()), "[1]");
}

TEST_F(Protocols, OutputPastTheBudgetIsDropped) {
    Machine small = Machine::build({.cpu = 1'000'000, .memory = 64 << 20, .disk = 1 << 20, .output = 5});
    RuntimeContext c{small, {}, {}, in.heap, in.state, out, err, in.heap.root_depth(), false, false, &in, &in};
    ASSERT_TRUE(python_write_stdio(c, 1, "abc"));
    ASSERT_TRUE(python_write_stdio(c, 1, "defg"));
    EXPECT_EQ(out, "abcde");
    EXPECT_TRUE(small.meter.stop_reason().has_value());
}

TEST_F(Protocols, Print) {
    NativeCall call{{I(1), I(2)}, {{"sep", str("-")}, {"end", str("!\n")}}};
    ASSERT_TRUE(builtin_print(ctx, call));
    ASSERT_TRUE(builtin_print(ctx, NativeCall{}));
    ASSERT_TRUE(builtin_print(ctx, NativeCall{{I(1), I(2)}, {{"sep", Value::none()}, {"end", Value::none()}}}));
    EXPECT_EQ(out, "1-2!\n\n1 2\n");
    EXPECT_EQ(error_of(builtin_print(ctx, NativeCall{{I(1)}, {{"sep", I(0)}}})), "sep must be None or a string");
    EXPECT_EQ(error_of(builtin_print(ctx, NativeCall{{}, {{"bad", I(0)}}})),
              "print() got an unexpected keyword argument \"bad\"");
    EXPECT_EQ(error_of(builtin_print(ctx, NativeCall{{}, {{"file", I(3)}}})),
              "'int' object has no write method");
}

TEST_F(Protocols, ExitStatusAndMessage) {
    struct Case {
        std::vector<Value> args;
        std::int32_t status;
        const char* stderr_text;
    } cases[] = {
        {{}, 0, ""},
        {{Value::none()}, 0, ""},
        {{I(3)}, 3, ""},
        {{Value::from_bool(true)}, 1, ""},
        {{str("fatal error")}, 1, "fatal error\n"},
        {{str("3")}, 1, "3\n"},
        {{Value::from_float(2.9)}, 1, "2.9\n"},
    };
    for (const Case& c : cases) {
        err.clear();
        PyError e = builtin_exit(ctx, NativeCall{c.args, {}});
        ASSERT_EQ(e.kind(), ErrorKindTag::Exit);
        EXPECT_EQ(e.detail()->code, c.status);
        EXPECT_EQ(err, c.stderr_text);
    }
}

TEST_F(Protocols, ExecSourceChecks) {
    EXPECT_EQ(error_of(compile_exec_source(ctx, "exec", I(5))), "exec() arg 1 must be a string, bytes or code object");
    EXPECT_EQ(error_of(compile_exec_source(ctx, "eval", alloc(BytesPayload{"1"}))),
              "eval() arg 1 must be a string, bytes or code object");
    auto tree = compile_exec_source(ctx, "eval", str("  \t1+1"));
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->list(tree->body()).size(), 1u);
    EXPECT_EQ(error_of(exec_default_namespaces(ctx)), "exec and eval require running Python code");
    auto never = [](RuntimeContext&, std::shared_ptr<const CodeObject>, const FrameDescriptor&) -> SliceResult {
        return StepOutcome::of(StepOutcome::Halt);
    };
    EXPECT_EQ(error_of(builtin_eval(ctx, NativeCall{{str("x = 1")}, {}}, never)), "invalid syntax");
    EXPECT_EQ(error_of(builtin_eval(ctx, NativeCall{{str("")}, {}}, never)), "invalid syntax");
}

TEST_F(Protocols, SumAndPowOperands) {
    double sum = 0, compensation = 0;
    for (int i = 0; i < 10; ++i) neumaier_add(sum, compensation, 0.1);
    EXPECT_EQ(sum + compensation, 1.0);
    auto big = Box<BigInt>::make();
    mpz_ui_pow_ui(big->get(), 10, 400);
    SumOperand huge = sum_classify(ctx, alloc(BigIntPayload{std::move(big)}));
    EXPECT_EQ(huge.kind, SumOperand::ConvertedInteger);
    EXPECT_EQ(error_of(sum_int_to_float(huge)), "int too large to convert to float");
    EXPECT_EQ(sum_classify(ctx, Value::from_bool(true)).kind, SumOperand::Integer);
    EXPECT_EQ(sum_classify(ctx, Value::from_float(1.5)).kind, SumOperand::Float);
    EXPECT_EQ(sum_classify(ctx, str("x")).kind, SumOperand::Other);
    EXPECT_EQ(error_of(pow_integer_operand(ctx, Value::from_float(3.0))),
              "pow() 3rd argument not allowed unless all arguments are integers");
    EXPECT_TRUE(pow_integer_operand(ctx, I(5)));
}

}  // namespace
}  // namespace tw::py
