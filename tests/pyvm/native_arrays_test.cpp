#include <gtest/gtest.h>

#include <string>

#include "pyvm/runtime_fixture.h"
#include "python/vm/native_runtime.h"

namespace tw::py {
namespace {

struct NativeArrays : RuntimeFixture {
    EngineRuntime rt{ctx};
    static constexpr PyArrayDtype kF8{1, 8, false};

    Value array_2x3(std::size_t bytes) {
        auto a = rt.new_array(ArrayStorage{std::string(bytes, '\0')}, kF8, {2, 3}, {24, 8});
        return a ? *a : Value::none();
    }
};

TEST_F(NativeArrays, StorageMustMatchShapeAndDtype) {
    EXPECT_FALSE(array_2x3(48).is_none());
    EXPECT_EQ(error_of(rt.new_array(ArrayStorage{std::string(40, '\0')}, kF8, {2, 3}, {24, 8})),
              "array storage does not match its shape and dtype");
    EXPECT_EQ(error_of(rt.new_array(ArrayStorage{std::string(48, '\0')}, kF8, {std::uint64_t(1) << 40, std::uint64_t(1) << 40},
                                    {8, 8})),
              "array is too big.");
    EXPECT_EQ(error_of(rt.new_array(ArrayStorage{std::vector<Value>(6)}, kF8, {2, 3}, {3, 1})),
              "array storage does not match its shape and dtype");
}

TEST_F(NativeArrays, ViewsShareStorageAndBase) {
    Value a = array_2x3(48);
    PyArrayView row{{3}, {8}, 24, kF8, true};
    auto v1 = rt.array_view(a, row);
    ASSERT_TRUE(v1);
    auto v2 = rt.array_view(*v1, row);
    ASSERT_TRUE(v2);
    EXPECT_EQ(*rt.array_base(*v2), std::optional(a));
    EXPECT_EQ(*rt.array_storage_id(*v1), *rt.array_storage_id(a));
    EXPECT_EQ(error_of(rt.array_view(a, PyArrayView{{4}, {8}, 24, kF8, true})), "array view does not fit its storage");

    ASSERT_TRUE(rt.set_array_writeable(a, false));
    EXPECT_EQ(error_of(rt.array_view(a, row)), "a view of a read-only array cannot be writeable");
    row.writeable = false;
    EXPECT_TRUE(rt.array_view(a, row));
    auto write = [](NativeRuntime&, ArrayStorage& s, void*) -> PyResult<Value> {
        std::get<0>(s.data)[0] = 'x';
        return Value::none();
    };
    EXPECT_EQ(error_of(rt.array_assign(a, write, nullptr)), "assignment destination is read-only");
    ASSERT_TRUE(rt.array_assign(*v1, write, nullptr));
    Value both[] = {a, *v1};
    auto first_bytes = rt.array_data(both, [](NativeRuntime&, std::span<const ArrayData> arrays, void*) -> PyResult<Value> {
        return Value::from_int(std::get<0>(arrays[0].storage->data)[0] == 'x' && arrays.size() == 2);
    }, nullptr);
    EXPECT_EQ(*first_bytes, Value::from_int(1));
    EXPECT_EQ(error_of(rt.array_info(Value::from_int(3))), "array handle changed object kind");
}

}  // namespace
}  // namespace tw::py
