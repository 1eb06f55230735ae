#include <gtest/gtest.h>

#include "kernel/meter.h"
#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/vm/exec_state.h"
#include "python/vm/namespace.h"
#include "python/vm/step_outcome.h"
#include "python/vm/values.h"

namespace tw::py {
namespace {

struct Values : ::testing::Test {
    Interpreter in;
    ResourceMeter meter{MachineLimits{1'000'000, 8 << 20, 0, 0}};
};

// Keys are strs here: hashed by their text, equal by their text.
struct TextKeys final : KeyProtocol {
    Heap& heap;
    explicit TextKeys(Heap& h) : heap(h) {}
    PyResult<std::uint64_t> hash(const Value& k) override {
        return std::hash<std::string_view>{}(*str_view(heap, k).value());
    }
    PyResult<bool> equal(const Value& a, const Value& b) override {
        return *str_view(heap, a).value() == *str_view(heap, b).value();
    }
};

TEST_F(Values, ConstantsBecomeValues) {
    NativeConstant i{ConstantTag::Int, "x", 5};
    NativeConstant f{ConstantTag::Float, "pi", 0, 3.5};
    NativeConstant s{ConstantTag::Str, "s", 0, 0, "a text of more than fifteen bytes"};
    NativeConstant t{ConstantTag::TypeRef, "u", 0, 0, "", nullptr, value_kind_at(23), 7};
    NativeConstant missing{ConstantTag::TypeRef, "u", 0, 0, "", nullptr, nullptr, 7};
    EXPECT_EQ(native_constant_to_value(in, meter, nullptr, i).value(), Value::from_int(5));
    EXPECT_EQ(native_constant_to_value(in, meter, nullptr, f).value(), native_constant_to_value(in, meter, nullptr, f).value());
    Value sv = native_constant_to_value(in, meter, nullptr, s).value();
    EXPECT_EQ(*str_view(in.heap, sv).value(), "a text of more than fifteen bytes");
    EXPECT_EQ(native_constant_to_value(in, meter, nullptr, t).value(), Value::registered(23, 7));
    EXPECT_EQ(native_constant_to_value(in, meter, nullptr, missing).error().message(), "value kind is not registered");
}

TEST_F(Values, NamespacesAsNamedValuesAndDicts) {
    Symbol a = in.heap.symbols.intern("alpha", meter).value();
    Symbol b = in.heap.symbols.intern("beta", meter).value();
    std::pair<Symbol, Value> entries[] = {{a, Value::from_int(1)}, {b, Value::from_int(2)}};
    Value ns = bind_locals(in, meter, std::nullopt, nullptr, {}, entries).value();
    auto named = symbol_pairs_to_named_values(in, std::get<NamespacePayload>(in.heap.get(ns).value()->object).scope->entries());
    ASSERT_EQ(named.size(), 2u);
    EXPECT_EQ(named[1].first, "beta");
    EXPECT_TRUE(symbol_pairs_to_named_values(in, {}).empty());
    TextKeys keys(in.heap);
    Value d = dict_from_mapping(in, meter, keys, ns).value();
    const DictTable& t = *std::get<DictPayload>(in.heap.get(d).value()->object).table;
    EXPECT_EQ(t.live_count, 2u);
    EXPECT_EQ(*str_view(in.heap, t.slots[0].key).value(), "alpha");
    EXPECT_EQ(in.heap.get(d).value()->modeled_size, 80u + 2 * 96);
    // A later pair with an equal key replaces the value and keeps the first position.
    std::pair<Value, Value> pairs[] = {{Value::try_inline_str("k"), Value::from_int(1)},
                                       {Value::try_inline_str("j"), Value::from_int(2)},
                                       {Value::try_inline_str("k"), Value::from_int(3)}};
    DictTable built = dict_entries_from_pairs(meter, keys, pairs).value();
    ASSERT_EQ(built.live_count, 2u);
    EXPECT_EQ(built.slots[0].value, Value::from_int(3));
}

TEST_F(Values, DebugTexts) {
    EXPECT_EQ(debug_text(Value::from_int(5)), "Int(5)");
    EXPECT_EQ(debug_text(Value::try_inline_str("ab")), "String(\"ab\")");
    EXPECT_EQ(debug_text(Value::none()), "None");
    EXPECT_EQ(debug_text(Value::object({3, 1})), "Object(Handle { index: 3, generation: 1 })");
    EXPECT_EQ(debug_text(Value::native(NativeKind::SlotWrapper, 6 * 256 + 18)),
              "Native(SlotWrapper { slot: Add, owner: 6 })");
    EXPECT_EQ(debug_text(Value::native(NativeKind::ExceptionType, 30)), "Native(ExceptionType(\"FileNotFoundError\"))");
    EXPECT_EQ(debug_text(Value::native(NativeKind::Module, 1'000'000)), "Native(kind 0, index 1000000)");
    EXPECT_EQ(debug_text(Value::registered(2, 9)), "Registered { kind: 2, payload: 9 }");
    EXPECT_EQ(debug_text(Value::native(NativeKind::Function, 5)), "Native(Function(Exit))");
    EXPECT_EQ(debug_text(StepOutcome::returning(Value::from_int(1))), "Return(Int(1))");
    EXPECT_EQ(debug_text(StepOutcome::exit(3)), "Exit(3)");
}

TEST_F(Values, ModuleNamesStepThroughTheTable) {
    ASSERT_TRUE(in.heap.insert_module("a", Value::none()));
    EXPECT_EQ(in.heap.insert_module("b", Value::none()).value(), std::nullopt);
    EXPECT_EQ(in.heap.insert_module("b", Value::from_int(1)).value(), Value::none());
    ModuleNames names(in);
    std::vector<std::string> seen;
    while (auto n = names.next_name()) seen.push_back(*n);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace tw::py
