#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "kernel/meter.h"
#include "python/heap/heap.h"
#include "python/vm/exec_state.h"
#include "python/vm/namespace.h"

namespace tw::py {
namespace {

struct State : ::testing::Test {
    Interpreter in;
    ResourceMeter meter{MachineLimits{1'000'000, 8 << 20, 0, 0}};
    Value list() { return in.heap.allocate_object(ListPayload{}, &in, meter).value(); }
    bool alive(Value v) { return in.heap.get(v).has_value(); }
};

TEST_F(State, CollectionsKeepWhatTheExecutionStateHolds) {
    Value on_stack = list(), local = list(), handled = list(), pending = list(), scope = list(), module = list(),
          garbage = list();
    in.state.values.push_back(on_stack);
    in.state.locals.push_back(local);
    in.state.active_exceptions.push_back(handled);
    in.state.pending_exception = pending;
    Frame f;
    f.scope = scope;
    in.state.frames.push_back(f);
    ASSERT_TRUE(in.heap.insert_module("m", module));
    in.heap.truncate_roots(0, meter);
    ASSERT_TRUE(in.heap.collect_full(&in, nullptr, meter));
    for (Value v : {on_stack, local, handled, pending, scope, module}) EXPECT_TRUE(alive(v));
    EXPECT_FALSE(alive(garbage));
    in.state = ExecState();
    in.heap.remove_module("m");
    ASSERT_TRUE(in.heap.collect_full(&in, nullptr, meter));
    for (Value v : {on_stack, local, handled, pending, scope, module}) EXPECT_FALSE(alive(v));
}

TEST_F(State, FramesAndWaterMarks) {
    in.state.values.assign(10, Value::none());
    in.state.active_exceptions.assign(2, Value::none());
    in.state.locals.assign(4, Value());
    FrameDescriptor d;
    d.locals_base = 1;
    Frame f = in.state.new_frame(nullptr, 0, 6, d, FrameKind::call()).value();
    EXPECT_EQ(f.exc_base, 2u);
    EXPECT_EQ(f.value_base, 6u);
    EXPECT_EQ(f.fast_locals, 1u);
    in.state.active_exceptions.resize(1);  // already below the frame's base: left alone
    in.state.with_stack.push_back(Value::none());
    in.state.lower_water_marks(f);
    EXPECT_EQ(in.state.values.size(), 6u);
    EXPECT_EQ(in.state.active_exceptions.size(), 1u);
    EXPECT_EQ(in.state.locals.size(), 1u);
    EXPECT_EQ(in.state.with_stack.size(), 0u);
    auto too_deep = in.state.new_frame(nullptr, 0, std::uint64_t(1) << 32, d, FrameKind::entry());
    EXPECT_EQ(too_deep.error().message(), "VM stack depth exceeds the frame index range");
}

TEST_F(State, SymbolsAndNamespaces) {
    std::uint64_t before = meter.memory_current();
    Symbol a = in.heap.symbols.intern("some_name", meter).value();
    EXPECT_EQ(in.heap.symbols.intern("some_name", meter).value(), a);
    EXPECT_EQ(meter.memory_current() - before, 9u + 24);
    EXPECT_EQ(in.heap.symbols.name_of(a), "some_name");

    Namespace ns;
    std::vector<Symbol> syms;
    for (int i = 0; i < 9; ++i) syms.push_back(in.heap.symbols.intern("n" + std::to_string(i), meter).value());
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(ns.insert(syms[i], Value::from_int(i)));
    EXPECT_FALSE(ns.has_index());
    EXPECT_FALSE(ns.insert(syms[8], Value::from_int(8)));
    EXPECT_TRUE(ns.has_index());
    for (int i = 0; i < 9; ++i) EXPECT_EQ(*ns.get(syms[i]), Value::from_int(i));
    EXPECT_EQ(ns.insert(syms[3], Value::from_int(33)), Value::from_int(3));
    EXPECT_EQ(ns.index_of(syms[3]), 3u);
    EXPECT_EQ(ns.remove(syms[0]), Value::from_int(0));
    EXPECT_EQ(ns.index_of(syms[1]), 0u);
    EXPECT_EQ(ns.get(syms[0]), nullptr);

    // Scopes: a lookup walks the parent links; slots shadow entries.
    std::pair<Symbol, Value> outer_entries[] = {{syms[0], Value::from_int(100)}, {syms[1], Value::from_int(101)}};
    Value outer = bind_locals(in, meter, std::nullopt, nullptr, {}, outer_entries).value();
    auto names = std::make_shared<const std::vector<Symbol>>(std::vector<Symbol>{syms[1], syms[2]});
    Value inner = bind_locals(in, meter, outer, names, {Value::from_int(7), Value()}, {}).value();
    EXPECT_EQ(scope_get_symbol(in.heap, inner, syms[0]).value(), Value::from_int(100));
    EXPECT_EQ(scope_get_symbol(in.heap, inner, syms[1]).value(), Value::from_int(7));
    EXPECT_EQ(scope_get_symbol(in.heap, inner, syms[2]).value(), std::nullopt);  // unbound slot
    EXPECT_EQ(namespace_get_str(in.heap, inner, "n0").value(), Value::from_int(100));
    EXPECT_EQ(namespace_get_str(in.heap, inner, "never interned").value(), std::nullopt);
    EXPECT_EQ(bind_locals(in, meter, std::nullopt, names, {}, {}).error().message(), "local slot metadata mismatch");
    EXPECT_EQ(scope_get_symbol(in.heap, Value::from_int(1), syms[0]).error().message(), "expected a heap object");
    EXPECT_EQ(scope_get_symbol(in.heap, list(), syms[0]).error().message(), "invalid scope reference");
}

TEST_F(State, Modules) {
    std::pair<std::string, Value> attrs[] = {{"__name__", Value::try_inline_str("m")}, {"x", Value::from_int(1)}};
    ModuleObject m = new_module_object(in, meter, "m", attrs).value();
    EXPECT_EQ(in.heap.type_id_of(m.module).value(), type_id(BuiltinType::Module));
    EXPECT_EQ(module_submodule_slot(in.heap, m.module, "m").value(), m.namespace_);
    EXPECT_EQ(namespace_get_str(in.heap, m.namespace_, "x").value(), Value::from_int(1));
    EXPECT_EQ(in.heap.get(m.module).value()->modeled_size, 80u + 24);
    EXPECT_EQ(module_submodule_slot(in.heap, Value::from_int(1), "os").error().message(),
              "module os cannot contain submodules");
    EXPECT_EQ(module_submodule_slot(in.heap, m.namespace_, "os").error().message(), "module os changed object kind");

    EXPECT_EQ(display_file_name("-c"), "<string>");
    EXPECT_EQ(display_file_name(std::nullopt), "<stdin>");
    EXPECT_EQ(display_file_name("-"), "<stdin>");
    EXPECT_EQ(display_file_name("a.py"), "a.py");
    std::string_view sorted[] = {"ArithmeticError", "abs", "len", "zip"};
    for (auto n : sorted) EXPECT_TRUE(sorted_names_contain(sorted, n));
    EXPECT_FALSE(sorted_names_contain(sorted, "map"));
    EXPECT_FALSE(sorted_names_contain({}, "map"));
}

TEST_F(State, DeepCopiesWithTheMachine) {
    Value l = list();
    in.state.values.push_back(l);
    Interpreter copy = in;
    std::get<ListPayload>(in.heap.slot_mut(l).value()->object).items.push_back(Value::from_int(1));
    EXPECT_TRUE(std::get<ListPayload>(copy.heap.get(l).value()->object).items.empty());
    EXPECT_EQ(copy.types.size(), in.types.size());
    EXPECT_EQ(copy.state.values, in.state.values);
}

}  // namespace
}  // namespace tw::py

namespace tw::py {
namespace {

// Two programs built on two threads intern the same static definitions and see the same handles.
TEST(Interpreters, BuildConcurrentlyWithSharedDefinitions) {
    std::vector<std::unique_ptr<Interpreter>> built(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([t, &built] {
            for (int round = 0; round < 5; ++round) built[t] = std::make_unique<Interpreter>();
        });
    for (auto& th : threads) th.join();
    ASSERT_EQ(built[0]->types.size(), built[1]->types.size());
    for (TypeId id = 0; id < built[0]->types.size(); ++id) {
        const TypeRecord& a = *built[0]->types.get(id).value();
        const TypeRecord& b = *built[1]->types.get(id).value();
        EXPECT_EQ(a.class_value, b.class_value) << a.name;
        ASSERT_EQ(a.namespace_.entries().size(), b.namespace_.entries().size()) << a.name;
        for (std::size_t i = 0; i < a.namespace_.entries().size(); ++i)
            EXPECT_EQ(a.namespace_.entries()[i].value, b.namespace_.entries()[i].value) << a.name;
    }
}

}  // namespace
}  // namespace tw::py
