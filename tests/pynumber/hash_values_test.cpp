// hash() of builtin values over a real runtime, and the shared native argument checks.
#include <gtest/gtest.h>

#include "pynumber/runtime_fixture.h"
#include "python/types/hash_values.h"
#include "python/types/native_args.h"
#include "python/types/number_runtime.h"

namespace tw::py {
namespace {

using testing::I;
using testing::Runtime;

std::string error_of(PyResult<std::int64_t> r) { return r ? "ok" : std::string(r.error().message()); }
Value tuple_of(Runtime& r, std::vector<Value> items) { return r.make(TuplePayload{std::move(items)}); }


TEST(HashValues, BuiltinValues) {
    Runtime r;
    EXPECT_EQ(*py_hash_entry(r.rt, tuple_of(r, {I(1), I(2)})), -3550055125485641917);
    EXPECT_EQ(*py_hash_entry(r.rt, tuple_of(r, {})), 5740354900026072187);
    EXPECT_EQ(*py_hash_entry(r.rt, Value::try_inline_str("abc")), -4594863902769663758);
    EXPECT_EQ(*py_hash_entry(r.rt, r.make(BytesPayload{"abc"})), -4594863902769663758);
    EXPECT_EQ(*py_hash_entry(r.rt, Value::none()), 4238894112);
    EXPECT_EQ(*py_hash_entry(r.rt, Value::from_float(0.5)), 1152921504606846976);
    EXPECT_EQ(*py_hash_entry(r.rt, r.make(SlicePayload{I(1), I(2), I(3)})), -2340833382717974474);
    EXPECT_EQ(*py_hash_entry(r.rt, r.make(RangePayload{3, 4, 1})), 3985224588053030672);
    EXPECT_EQ(*py_hash_entry(r.rt, r.make(RangePayload{3, 10, 7})), 3985224588053030672);
    EXPECT_EQ(*py_hash_entry(r.rt, r.make(RangePayload{0, 0, 1})), 2676694398852732306);
    EXPECT_EQ(*py_hash_entry(r.rt, r.make(RangePayload{5, 5, 1})), 2676694398852732306);
    auto frozen = [&](std::vector<Value> items) {
        auto table = Box<SetTable>::make();
        for (const Value& v : items) table->push(SetSlot{std::uint64_t(*py_hash_entry(r.rt, v)), v});
        return r.make(FrozenSetPayload{std::move(table)});
    };
    EXPECT_EQ(*py_hash_entry(r.rt, frozen({I(1), I(2)})), -1826646154956904602);
    EXPECT_EQ(*py_hash_entry(r.rt, frozen({I(2), I(1)})), -1826646154956904602);
    EXPECT_EQ(*py_hash_entry(r.rt, frozen({})), 133146708735736);
}

TEST(HashValues, UnhashableAndTooDeep) {
    Runtime r;
    EXPECT_EQ(error_of(py_hash_entry(r.rt, r.make(ListPayload{}))), "unhashable type: 'list'");
    const Value dict = r.make(DictPayload{Box<DictTable>::make()});
    EXPECT_EQ(error_of(py_hash_entry(r.rt, tuple_of(r, {dict}))), "unhashable type: 'dict'");
    Value nested = tuple_of(r, {});
    for (int i = 0; i < 256; ++i) nested = tuple_of(r, {nested});
    EXPECT_EQ(error_of(py_hash_entry(r.rt, nested)), "maximum recursion depth exceeded");
    // Functions and other objects hash by identity.
    const Value object = r.make(ObjectPayload{});
    EXPECT_EQ(*py_hash_entry(r.rt, object), std::int64_t(*r.in.heap.object_identity(object).value()));
}

TEST(NativeArgs, ChecksAndConversions) {
    Runtime r;
    EXPECT_EQ(native_reject_keywords(true, "math.floor").error().message(), "math.floor() does not accept keyword arguments");
    EXPECT_TRUE(native_reject_keywords(false, "math.floor"));
    EXPECT_EQ(native_check_positional_arity(3, "f", 0, 2).error().message(), "f() expected 0..=2 positional arguments, got 3");
    EXPECT_EQ(native_expect_str(r.rt, I(5)).error().message(), "expected a string, got int");
    EXPECT_EQ(*native_expect_str(r.rt, Value::try_inline_str("ok")), "ok");
    EXPECT_EQ(std::get<std::int64_t>(*native_expect_real(r.rt, Value::from_bool(true))), 1);
    EXPECT_EQ(native_expect_real(r.rt, Value::try_inline_str("x")).error().message(), "must be real number, not str");
    EXPECT_EQ(native_expect_int(r.rt, Value::from_float(1.5), "ndigits must be an integer").error().message(),
              "ndigits must be an integer");
    const std::pair<std::string, Value> kws[] = {{"key", I(1)}, {"key", I(2)}};
    EXPECT_EQ(native_keyword_value(kws, "sorted", "key").error().message(), "sorted() got multiple values for keyword key");
    const std::string_view accepted[] = {"reverse"};
    EXPECT_EQ(native_reject_unsupported_keywords(kws, "sorted", accepted).error().message(),
              "sorted() keyword argument key is not implemented");
}

TEST(NativeArgs, ContentIdentity) {
    const auto one = py_identity(I(1)), one_float = py_identity(Value::from_float(1.0));
    const auto yes = py_identity(Value::from_bool(true));
    ASSERT_TRUE(one && one_float && yes);
    EXPECT_NE(*one, *one_float);
    EXPECT_NE(*one, *yes);
    EXPECT_EQ(py_identity(Value::try_inline_str("abc")), py_identity(Value::try_inline_str("abc")));
    for (std::int64_t id : {*one, *one_float, *yes}) {
        EXPECT_GE(id, 0x500000000000);
        EXPECT_LE(id, 0x5FFFFFFFFFF0);
    }
}

}  // namespace
}  // namespace tw::py
