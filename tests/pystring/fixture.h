// Shared helpers of the string algorithm tests: charges that record (and can refuse) and the
// checks of an expected error.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "python/string/bytearray_ops.h"
#include "python/string/text.h"

namespace tw::py {

class CountingCharges final : public Charges {
public:
    std::uint64_t work_total = 0, memory_total = 0;
    std::uint64_t work_limit = ~std::uint64_t(0), memory_limit = ~std::uint64_t(0);

    PyStatus charge_work(std::uint64_t units) override {
        if (units > work_limit - work_total) return fail(PyError::resource("work refused"));
        work_total += units;
        return {};
    }
    PyStatus charge_memory(std::uint64_t bytes) override {
        if (bytes > memory_limit - memory_total) return fail(PyError::resource("memory refused"));
        memory_total += bytes;
        return {};
    }
};

// Records the size changes of a bytearray's content; refuses growth beyond `limit` bytes.
class CountingSizer final : public ContentSizer {
public:
    std::int64_t delta = 0;
    std::uint64_t limit = ~std::uint64_t(0);

    PyStatus resize(std::uint64_t old_size, std::uint64_t new_size) override {
        if (new_size > old_size && new_size - old_size > limit) return fail(PyError::resource("growth refused"));
        delta += std::int64_t(new_size) - std::int64_t(old_size);
        return {};
    }
};

// The exception class and message of a failed result.
template <class T>
void expect_error(const PyResult<T>& r, std::string_view cls, std::string_view message) {
    ASSERT_FALSE(r.has_value());
    ASSERT_NE(r.error().detail(), nullptr);
    EXPECT_EQ(r.error().detail()->class_name, cls);
    EXPECT_EQ(r.error().message(), message);
}

template <class T>
void expect_resource(const PyResult<T>& r, std::string_view message) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKindTag::Resource);
    EXPECT_EQ(r.error().message(), message);
}

// The value of a result that must succeed (a default value after a recorded failure).
template <class T>
T ok(PyResult<T> r) {
    if (!r) {
        ADD_FAILURE() << "unexpected error: " << r.error().debug_text();
        return T{};
    }
    return std::move(*r);
}

}  // namespace tw::py
