// The generator and coroutine operations native modules use: coroutine steps for an event loop,
// throwing, closing and stepping iterators from native code.
#include <gtest/gtest.h>

#include "python/vm/compile.h"
#include "python/vm/engine.h"
#include "python/vm/equality.h"
#include "python/vm/exceptions.h"
#include "python/vm/iteration_runtime.h"
#include "python/vm/namespace.h"
#include "pyvm/runtime_fixture.h"

namespace tw::py {
namespace {

struct NativeSteps : RuntimeFixture {
    Value ns;

    // Runs the module source; its globals stay in `ns`.
    void run(std::string_view source) {
        auto module = new_module_object(in, machine.meter, "m", {});
        ASSERT_TRUE(module.has_value());
        ns = module->namespace_;
        auto code = compile_module_source(in.heap, machine.meter, source).value().value();
        FrameDescriptor d{std::nullopt, ns, ns, Value::absent(), false, false};
        auto r = vm::run_code_synchronously(ctx, code, d);
        ASSERT_TRUE(r.has_value()) << r.error().error.message();
    }
    Value global(std::string_view name) { return namespace_get_str(in.heap, ns, name).value().value(); }
    std::string text(Value v) { return vm::str_text(ctx, v).value(); }
};

TEST_F(NativeSteps, CoroutineStepsReportYieldsResultAndRaise) {
    run("async def work():\n    a = await 'first'\n    b = await 'second'\n    return a + b\n"
        "async def broken():\n    await 'x'\n    raise KeyError('bad')\nc = work()\nd = broken()\n");
    Value c = global("c");
    auto s1 = vm::runtime_coroutine_step(ctx, c, Value::none()).value();
    EXPECT_EQ(s1.kind, vm::CoroutineStep::Yielded);
    EXPECT_EQ(text(s1.value), "first");
    EXPECT_EQ(error_of(vm::runtime_coroutine_result(ctx, c)), "coroutine has not completed");
    Value ok = vm::new_tuple(ctx, {Value::from_bool(true), Value::from_int(2)}).value();
    EXPECT_EQ(vm::runtime_coroutine_step(ctx, c, ok).value().kind, vm::CoroutineStep::Yielded);
    Value ok3 = vm::new_tuple(ctx, {Value::from_bool(true), Value::from_int(3)}).value();
    auto done = vm::runtime_coroutine_step(ctx, c, ok3).value();
    EXPECT_EQ(done.kind, vm::CoroutineStep::Returned);
    EXPECT_EQ(done.value.as_int(), 5);
    EXPECT_EQ(vm::runtime_coroutine_result(ctx, c).value().as_int(), 5);  // the record keeps it

    Value d = global("d");
    ASSERT_TRUE(vm::runtime_coroutine_step(ctx, d, Value::none()).has_value());
    Value ok1 = vm::new_tuple(ctx, {Value::from_bool(true), Value::none()}).value();
    auto raised = vm::runtime_coroutine_step(ctx, d, ok1).value();
    EXPECT_EQ(raised.kind, vm::CoroutineStep::Raised);
    EXPECT_EQ(exception_type_name(in, raised.value).value_or(""), "KeyError");
    EXPECT_FALSE(in.state.pending_exception.has_value());
    EXPECT_EQ(error_of(vm::runtime_coroutine_step(ctx, Value::from_int(1), Value::none())), "expected a coroutine");
}

TEST_F(NativeSteps, ThrowAcceptsProgramExceptionClasses) {
    run("class UserError(Exception):\n    pass\n"
        "def g():\n    try:\n        yield 1\n    except UserError:\n        yield 'caught'\n    return 'end'\n"
        "x = g()\nclass NotError:\n    pass\n");
    Value x = global("x");
    EXPECT_EQ(vm::runtime_generator_state(ctx, x, Value::none()).value()->as_int(), 1);
    EXPECT_EQ(text(vm::runtime_generator_throw(ctx, x, global("UserError")).value()), "caught");
    EXPECT_EQ(error_of(vm::runtime_generator_throw(ctx, x, global("NotError"))),
              "exceptions must be classes or instances deriving from BaseException, not type");
    // Finishing raises StopIteration with the return value.
    auto stop = vm::runtime_generator_state(ctx, x, Value::none());
    ASSERT_TRUE(stop.has_value());
    EXPECT_FALSE(stop->has_value());
    EXPECT_TRUE(vm::runtime_generator_close(ctx, x).has_value());
}

TEST_F(NativeSteps, IteratorKindsAndNativeStepping) {
    run("def g():\n    yield 1\n    yield 2\nclass It:\n    def __next__(self):\n        raise StopIteration\n"
        "gen = g()\nit = It()\nlst = [1]\n");
    EXPECT_TRUE(vm::runtime_iterator_kind(ctx, global("gen")).value());
    EXPECT_TRUE(vm::runtime_iterator_kind(ctx, global("it")).value());
    EXPECT_FALSE(vm::runtime_iterator_kind(ctx, global("lst")).value());
    EXPECT_TRUE(vm::runtime_has_builtin_payload(ctx, global("it")).value());
    Value li = vm::runtime_get_iterator(ctx, global("lst")).value();
    EXPECT_EQ(vm::runtime_iterator_next(ctx, li).value()->as_int(), 1);
    EXPECT_FALSE(vm::runtime_iterator_next(ctx, li).value().has_value());
    EXPECT_EQ(vm::runtime_iterator_next(ctx, global("gen")).value()->as_int(), 1);
    EXPECT_FALSE(vm::runtime_iterator_next(ctx, global("it")).value().has_value());
    EXPECT_EQ(error_of(vm::runtime_get_iterator(ctx, Value::from_int(3))), "'int' object is not iterable");
    Value count = vm::runtime_new_count_iterator(ctx, 5, 2).value();
    EXPECT_TRUE(vm::runtime_iterator_state(ctx, count));
    EXPECT_EQ(vm::runtime_iterator_next(ctx, count).value()->as_int(), 5);
    EXPECT_EQ(vm::runtime_iterator_next(ctx, count).value()->as_int(), 7);
    // A reversed iterator reads its source live: an item gone ends it, for good.
    Value source = list({Value::from_int(1), Value::from_int(2), Value::from_int(3)});
    Value rev = alloc(ReversedIteratorPayload{3, source});
    EXPECT_EQ(vm::runtime_iterator_next(ctx, rev).value()->as_int(), 3);
    std::get<ListPayload>(in.heap.slot_mut(source).value()->object).items.resize(1);
    EXPECT_FALSE(vm::runtime_iterator_next(ctx, rev).value().has_value());
    std::get<ListPayload>(in.heap.slot_mut(source).value()->object).items.resize(3);
    EXPECT_FALSE(vm::runtime_iterator_next(ctx, rev).value().has_value());
}

TEST_F(NativeSteps, BuiltinEqualityNeverRunsProgramCode) {
    run("class E:\n    def __eq__(self, o):\n        raise RuntimeError('must not run')\n"
        "e = E()\npairs = [(1, 1.0), (2**60, float(2**60)), (2**53 + 1, float(2**53 + 1)), (1, 1 + 0j),\n"
        "         (float('nan'), float('nan')), ('ab', 'ab'), ([1, (2, 'x')], [1.0, (2, 'x')]), ([1], [1, 2]),\n"
        "         (range(0, 10, 3), range(0, 11, 3)), (range(0), range(5, 1)), (e, e), (e, E()), (None, 0)]\n");
    const bool expected[] = {true, true, false, true, false, true, true, false, true, true, true, false, false};
    Value pairs = global("pairs");
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        auto pair = vm::sequence_get_item(ctx, pairs, i).value().value();
        auto a = vm::sequence_get_item(ctx, pair, 0).value().value();
        auto b = vm::sequence_get_item(ctx, pair, 1).value().value();
        auto eq = vm::builtin_values_equal(ctx, a, b);
        ASSERT_TRUE(eq.has_value()) << i << ": " << eq.error().message();
        EXPECT_EQ(*eq, expected[i]) << i;
    }
    EXPECT_FALSE(vm::sequence_get_item(ctx, pairs, 99).value().has_value());
    EXPECT_EQ(error_of(vm::sequence_get_item(ctx, Value::from_int(1), 0)), "sequence handle changed object kind");
}

}  // namespace
}  // namespace tw::py
