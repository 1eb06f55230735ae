#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "base/panic.h"
#include "kernel/meter.h"
#include "python/compiler/compiler.h"
#include "python/heap/heap.h"
#include "python/vm/compile.h"

namespace tw::py {
namespace {

struct Compile : ::testing::Test {
    Heap heap;
    ResourceMeter meter{MachineLimits{1'000'000, 8 << 20, 0, 0}};

    CodeObjectPtr compile(std::string_view source) {
        auto r = compile_module_source(heap, meter, source);
        EXPECT_TRUE(r.has_value()) << r.error().debug_text();
        EXPECT_TRUE(r && r->has_value());
        return r && *r ? **r : nullptr;
    }
};

TEST_F(Compile, ModuleIsInternedRegisteredAndCharged) {
    std::string_view source = "def f(a):\n    return a + 1\nx = f(2)\n";
    auto code = compile(source);
    ASSERT_TRUE(code);
    EXPECT_EQ(meter.cpu_used(), source.size());
    // The module and the function each hold a slot of 32 bytes, charged with the symbols.
    EXPECT_EQ(heap.code_table.live, 2u);
    EXPECT_EQ(heap.code_table.modeled_size, 64u);
    EXPECT_EQ(meter.memory_current(), heap.code_table.modeled_size + heap.symbols.modeled_size());
    ASSERT_EQ(code->functions.size(), 1u);
    const CodeObject& f = *code->functions[0].code;
    EXPECT_EQ(&heap.code_table.expect_live_slot(code->id), &heap.code_table.slots[code->id]);
    EXPECT_EQ(heap.code_table.expect_live_slot(f.id).code.get(), &f);
    EXPECT_NE(f.id, code->id);
    // Names are the heap's symbols.
    EXPECT_EQ(code->functions[0].name, heap.symbols.lookup("f"));
    EXPECT_EQ(f.parameters.at(0).symbol, heap.symbols.lookup("a"));
    bool stores_x = false;
    for (const Instruction& in : code->instructions)
        if (in.op == PyOpcode::StoreGlobal && heap.symbols.name_of(in.a) == "x") stores_x = true;
    EXPECT_TRUE(stores_x);
}

TEST_F(Compile, SweepFreesUnreferencedCodeAndReusesItsSlots) {
    std::vector<CodeObjectPtr> kept;
    for (int i = 0; i < 64; ++i) {
        auto code = compile("pass\n");
        if (i % 8 == 0) kept.push_back(code);
    }
    CodeTable& table = heap.code_table;
    EXPECT_EQ(table.live, 64u);
    std::uint64_t memory = meter.memory_current();
    // The 65th registration sweeps first: the 56 unreferenced code objects go, the 8 kept ones
    // stay in their slots, and the new one takes the slot freed last.
    auto next = compile("pass\n");
    EXPECT_EQ(table.live, 9u);
    EXPECT_EQ(table.next_sweep, 16u);
    EXPECT_EQ(table.modeled_size, 9u * 32);
    EXPECT_EQ(meter.memory_current(), memory - 56 * 32 + 32);
    EXPECT_EQ(next->id, 63u);
    for (std::size_t k = 0; k < kept.size(); ++k) {
        EXPECT_EQ(kept[k]->id, 8 * k);
        EXPECT_EQ(table.expect_live_slot(kept[k]->id).code, kept[k]);
    }
    EXPECT_TRUE(table.slots[1].is_free());
    EXPECT_THROW(table.expect_live_slot(1), Panic);
    EXPECT_THROW(table.expect_live_slot(1000), Panic);
    // The next sweep waits for max(64, 2 x 9) registrations.
    for (int i = 0; i < 55; ++i) compile("pass\n");
    EXPECT_EQ(table.live, 64u);
    compile("pass\n");
    EXPECT_EQ(table.live, 10u);  // the survivors, the one held in `next`, and the new one
}

TEST_F(Compile, RefusedChargesFailTheCompilation) {
    // 16 bytes of memory: the module's slot (32 bytes) is refused; it has no names to intern.
    ResourceMeter small{MachineLimits{1'000'000, 16, 0, 0}};
    HeapCodeHost host(heap, small);
    auto code = compile_source("1\n", host);
    ASSERT_TRUE(code);
    EXPECT_EQ((*code)->id, kNoCodeId);
    ASSERT_TRUE(host.failed());
    EXPECT_EQ(host.first_error->message(), "memory limit exceeded");
    EXPECT_EQ(host.first_error->kind(), ErrorKindTag::Resource);
    EXPECT_EQ(heap.code_table.live, 0u);
    EXPECT_EQ(heap.code_table.modeled_size, 0u);

    ResourceMeter refused{MachineLimits{1'000'000, 16, 0, 0}};
    auto r = compile_module_source(heap, refused, "1\n");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "memory limit exceeded");

    ResourceMeter no_cpu{MachineLimits{3, 8 << 20, 0, 0}};
    r = compile_module_source(heap, no_cpu, "x = 1\n");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), kResourceLimitText);
}

TEST_F(Compile, SyntaxErrorsAreNotMachineFailures) {
    auto r = compile_module_source(heap, meter, "x = (\n");
    ASSERT_TRUE(r);
    ASSERT_FALSE(r->has_value());
    EXPECT_FALSE(r->error().message.empty());
    EXPECT_EQ(meter.cpu_used(), 6u);
}

TEST(CodeTableCharges, OverflowAndRefusalLeaveTheSizeUnchanged) {
    ResourceMeter meter{MachineLimits{1'000, 100, 0, 0}};
    CodeTable table;
    table.modeled_size = std::numeric_limits<std::uint64_t>::max() - 10;
    auto r = table.charge_size(32, meter);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "modeled code table size overflow");
    EXPECT_EQ(r.error().kind(), ErrorKindTag::Unsupported);
    EXPECT_EQ(table.modeled_size, std::numeric_limits<std::uint64_t>::max() - 10);
    EXPECT_EQ(meter.memory_current(), 0u);

    table.modeled_size = 0;
    ASSERT_TRUE(table.charge_size(96, meter));
    r = table.charge_size(32, meter);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "memory limit exceeded");
    EXPECT_EQ(table.modeled_size, 96u);
}

}  // namespace
}  // namespace tw::py
