// A heap with a machine meter of chosen limits, and helpers to build objects in tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "kernel/meter.h"
#include "python/heap/heap.h"

namespace tw::py::test {

inline constexpr std::uint64_t MiB = 1024 * 1024;

// Roots held by a test in place of an execution state.
struct TestRoots final : RootSource {
    std::vector<Value> values;
    void visit_roots(ValueVisitor& v) override {
        for (const Value& x : values) v.visit(x);
    }
};

struct HeapFixture {
    explicit HeapFixture(std::uint64_t memory = 8 * MiB, std::uint64_t cpu = 1'000'000'000)
        : meter(MachineLimits{cpu, memory, 0, 0}) {}

    Value list(std::vector<Value> items = {}) { return heap.allocate_object(ListPayload{std::move(items)}, &roots, meter).value(); }
    Value dict() { return heap.allocate_object(DictPayload{Box<DictTable>::make()}, &roots, meter).value(); }
    Value set() { return heap.allocate_object(SetPayload{Box<SetTable>::make()}, &roots, meter).value(); }
    // Appends to a list through the write barrier, charging the 24 bytes first.
    void append(Value l, Value item) {
        heap.push_root(item);
        ASSERT_TRUE(heap.update_object_size(l, kValueSlotBytes, &roots, meter));
        std::get<ListPayload>(heap.slot_mut(l).value()->object).items.push_back(item);
    }
    const std::vector<Value>& items(Value l) { return std::get<ListPayload>(heap.get(l).value()->object).items; }
    void drop_scoped_roots() { heap.truncate_roots(0, meter); }

    ResourceMeter meter;
    Heap heap;
    TestRoots roots;
};

// Keys are ints (hash = the int, wrapping) or anything else hashed by its first word; equality
// compares the 16 bytes after running `on_equal`, the stand-in for a user __eq__.
struct TestKeys final : KeyProtocol {
    std::function<void(const Value&, const Value&)> on_equal;
    std::function<std::uint64_t(const Value&)> hasher;
    std::vector<std::pair<Value, Value>> comparisons;
    PyResult<std::uint64_t> hash(const Value& key) override {
        if (hasher) return hasher(key);
        return key.word0();
    }
    PyResult<bool> equal(const Value& stored, const Value& probe) override {
        comparisons.emplace_back(stored, probe);
        if (on_equal) on_equal(stored, probe);
        return stored == probe;
    }
};

}  // namespace tw::py::test
