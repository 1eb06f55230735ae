// The merge sort's charges and order, the sequence operations' refusals, and the messages of the
// builtins that end a program with an interpreter error rather than a Python exception.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_fixture.h"
#include "python/vm/sequence_support.h"
#include "python/vm/sequences.h"
#include "runtime_fixture.h"

namespace tw::py {
namespace {

using vm::sort_values;

struct SortCharges : RuntimeFixture {
    // The work a sort of `items` charges, less the one unit per item of its native entries.
    std::uint64_t comparisons(std::vector<Value> items, bool reverse = false) {
        const std::uint64_t before = machine.meter.cpu_used();
        EXPECT_TRUE(sort_values(ctx, items, Value::absent(), reverse).has_value());
        return machine.meter.cpu_used() - before - items.size();
    }
};

// The comparisons of the bottom-up merge, counted by running it.
std::uint64_t merge_comparisons(std::vector<double> keys) {
    std::uint64_t count = 0;
    const std::size_t n = keys.size();
    std::vector<double> dest(n);
    for (std::size_t width = 1; width < n; width *= 2) {
        std::size_t out = 0;
        for (std::size_t start = 0; start < n; start += 2 * width) {
            std::size_t mid = std::min(start + width, n), end = std::min(mid + width, n), i = start, j = mid;
            while (i < mid && j < end) {
                ++count;
                dest[out++] = keys[j] < keys[i] ? keys[j++] : keys[i++];
            }
            while (i < mid) dest[out++] = keys[i++];
            while (j < end) dest[out++] = keys[j++];
        }
        keys.swap(dest);
    }
    return count;
}

TEST_F(SortCharges, OneUnitPerComparisonOnEveryPath) {
    std::vector<double> raw;
    for (int i = 0; i < 300; ++i) raw.push_back(double((i * 7919) % 263));
    const std::uint64_t expected = merge_comparisons(raw);
    std::vector<Value> ints, floats, mixed;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        ints.push_back(Value::from_int(std::int64_t(raw[i])));
        floats.push_back(Value::from_float(raw[i]));
        // An int among floats takes the generic comparison.
        mixed.push_back(i % 2 ? Value::from_float(raw[i]) : Value::from_int(std::int64_t(raw[i])));
    }
    EXPECT_EQ(comparisons(ints), expected);
    EXPECT_EQ(comparisons(floats), expected);
    EXPECT_EQ(comparisons(mixed), expected);
    EXPECT_EQ(comparisons({}), 0u);
    EXPECT_EQ(comparisons({Value::from_int(1)}), 0u);
    EXPECT_EQ(comparisons({Value::from_int(3), Value::from_int(1), Value::from_int(2)}), 3u);
}

TEST_F(SortCharges, StableInBothDirectionsAndAcrossPaths) {
    // Equal keys keep their order: 1 and True, 2 and 2.0.
    std::vector<Value> items{Value::from_int(2), Value::from_bool(true), Value::from_float(2.0), Value::from_int(1)};
    ASSERT_TRUE(sort_values(ctx, items, Value::absent(), false).has_value());
    EXPECT_EQ(items, (std::vector<Value>{Value::from_bool(true), Value::from_int(1), Value::from_int(2), Value::from_float(2.0)}));
    ASSERT_TRUE(sort_values(ctx, items, Value::absent(), true).has_value());
    EXPECT_EQ(items, (std::vector<Value>{Value::from_int(2), Value::from_float(2.0), Value::from_bool(true), Value::from_int(1)}));
    std::vector<Value> texts{str("pear"), str("\xc3\xa9t\xc3\xa9"), str("apple"), str("a long text beyond the inline form")};
    ASSERT_TRUE(sort_values(ctx, texts, Value::absent(), false).has_value());
    EXPECT_EQ(*str_view(in.heap, texts[0]).value(), "a long text beyond the inline form");
    EXPECT_EQ(*str_view(in.heap, texts[3]).value(), "\xc3\xa9t\xc3\xa9");
}

TEST_F(SortCharges, ARefusedComparisonChargeStopsTheSort) {
    std::vector<Value> items;
    for (int i = 0; i < 1000; ++i) items.push_back(Value::from_int((i * 31) % 1000));
    machine.meter.charge_cpu(machine.meter.limits().cpu - machine.meter.cpu_used() - 1500);
    const std::vector<Value> before = items;
    EXPECT_FALSE(sort_values(ctx, items, Value::absent(), false).has_value());
    EXPECT_EQ(items, before);
}

TEST_F(SortCharges, RepetitionRefusedBeforeAnyCharge) {
    const Value two = list({Value::from_int(1), Value::from_int(2)});
    const Value count = Value::from_int(std::int64_t(1) << 59);
    const std::uint64_t memory = machine.meter.memory_current(), cpu = machine.meter.cpu_used();
    auto r = vm::sequence_repeat(ctx, vm::SequenceKind::List, two, count);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "sequence repeat is too large");
    EXPECT_EQ(r.error().kind(), ErrorKindTag::Resource);
    EXPECT_EQ(machine.meter.memory_current(), memory);
    EXPECT_EQ(machine.meter.cpu_used(), cpu);
    // A count that is no integer is not this slot's to answer.
    auto other = vm::sequence_repeat(ctx, vm::SequenceKind::List, two, Value::from_float(2.0));
    ASSERT_TRUE(other.has_value());
    EXPECT_FALSE(other->has_value());
    auto concat = vm::sequence_concat(ctx, vm::SequenceKind::List, two, alloc(TuplePayload{{}}));
    ASSERT_TRUE(concat.has_value());
    EXPECT_FALSE(concat->has_value());
}

// Interpreter errors end the program with their message.
struct Refusal {
    const char* source;
    const char* message;
};

TEST(BuiltinRefusals, EndTheProgramWithTheirMessage) {
    const Refusal cases[] = {
        {"ord('ab')", "ord() expected a character"},
        {"ord('')", "ord() expected a character"},
        {"ord(5)", "ord() expected string of length 1"},
        {"chr(65.0)", "an integer is required for chr()"},
        {"chr(2**70)", "an integer is required for chr()"},
        {"hex(3.0)", "integer argument expected"},
        {"sorted([1], foo=1)", "sorted() got an unexpected keyword \"foo\""},
        {"sorted([1], key=None, key=len)", "sorted() got multiple values for keyword \"key\""},
        {"iter(5, None)", "iter(v, w): v must be callable"},
        {"isinstance(1, 5)", "isinstance() requires a class argument"},
        {"issubclass(1, int)", "issubclass() requires a class argument"},
        {"super(5, 1)", "super() expects a class and instance"},
        {"super()", "super(): no current method context"},
        {"setattr(object(), name='x', value=1)", "this builtin does not accept keyword arguments"},
        {"len(1, 2)", "expected 1..=1 arguments, got 2"},
        {"class L:\n    def __len__(self): return -1\nlen(L())", "__len__() should return >= 0"},
        {"class L:\n    def __len__(self): return 'x'\nlen(L())", "__len__() should return an integer"},
        {"enumerate([1, 2], 2**63 - 1)", "enumerate index exceeds the bounded integer range"},
    };
    for (const Refusal& c : cases) {
        ProgramRun run = run_program(c.source);
        EXPECT_EQ(run.status, 2) << c.source << "\n" << run.out << run.err;
        EXPECT_NE(run.message.find(c.message), std::string::npos) << c.source << "\n" << run.message << run.err;
    }
}

TEST_F(SortCharges, AppendAndDeleteKeepTheModeledSizeFlat) {
    // Each removed item gives its bytes back, so an append-delete loop does not creep towards the
    // memory limit.
    const Value a = list({Value::from_int(1)});
    const std::uint64_t size = in.heap.get(a).value()->modeled_size, memory = machine.meter.memory_current();
    for (int i = 0; i < 1000; ++i) {
        const Value item = Value::from_int(i);
        ASSERT_TRUE(vm::list_extend_items(ctx, a, std::span<const Value>(&item, 1)).has_value());
        ASSERT_TRUE(vm::list_delete_subscript(ctx, a, Value::from_int(-1)).has_value());
    }
    EXPECT_EQ(in.heap.get(a).value()->modeled_size, size);
    EXPECT_EQ(machine.meter.memory_current(), memory);
    EXPECT_EQ(error_of(vm::list_delete_subscript(ctx, a, Value::from_int(5))), "list assignment index out of range");
    EXPECT_EQ(error_of(vm::list_store_subscript(ctx, a, Value::from_float(0), Value::none())),
              "list indices must be integers or slices, not float");
}

}  // namespace
}  // namespace tw::py
