#include <gtest/gtest.h>

#include <cmath>

#include "base/panic.h"
#include "kernel/meter.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/types/slots.h"

namespace tw::py {
namespace {

struct Access : ::testing::Test {
    Heap heap;
    TypeRegistry reg = TypeRegistry::build_builtin_types(heap.symbols, install_builtin_slots);
    ResourceMeter meter{MachineLimits{1'000'000, 8 << 20, 0, 0}};

    Value alloc(HeapObject o) { return heap.allocate_object(std::move(o), nullptr, meter).value(); }
    Value big(const char* decimal) {
        auto b = Box<BigInt>::make();
        mpz_set_str(b->get(), decimal, 10);
        return alloc(BigIntPayload{std::move(b)});
    }
};

TEST_F(Access, DecodingNativeHandles) {
    EXPECT_EQ(decode_native_handle(Value::native(NativeKind::Stream, 9))->number, 3u);
    EXPECT_EQ(decode_native_handle(Value::native(NativeKind::Function, 5))->number, 4u);  // quit is exit
    EXPECT_EQ(decode_native_handle(Value::native(NativeKind::ExceptionType, 70))->name, "AxisError");
    auto slot = decode_native_handle(Value::native(NativeKind::SlotWrapper, 13 * 256 + 12));
    EXPECT_EQ(slot->tag, DefinitionTag::SlotWrapper);
    EXPECT_EQ(slot->owner, 13u);
    EXPECT_EQ(slot->number, 12u);
    EXPECT_FALSE(decode_native_handle(Value::from_int(1)).has_value());
    EXPECT_THROW(decode_native_handle(Value::native(NativeKind::SlotWrapper, 72)), Panic);
    EXPECT_THROW(decode_native_handle(Value::native(NativeKind::BuiltinType, 43)), Panic);
    EXPECT_THROW(decode_native_handle(Value::native(NativeKind::ExceptionType, 73)), Panic);
    EXPECT_THROW(decode_native_handle(Value::native(NativeKind::Module, 1u << 30)), Panic);
}

TEST_F(Access, IdentityAndStaleHandles) {
    Value a = alloc(ListPayload{});
    std::uint32_t id = heap.object_identity(a).value().value();
    heap.truncate_roots(0, meter);
    ASSERT_TRUE(heap.collect_full(nullptr, nullptr, meter));
    Value b = alloc(ListPayload{});
    EXPECT_EQ(heap.object_identity(b).value().value(), id);  // the slot's identity
    EXPECT_EQ(py_type_id_of(heap, reg, a).error().message(), "stale reference to a freed object");
    EXPECT_EQ(py_type_name(heap, reg, b).value(), "list");
    EXPECT_FALSE(heap.object_identity(Value::from_int(3)).value().has_value());
}

TEST_F(Access, NumericViews) {
    EXPECT_EQ(py_numeric_view(heap, Value::from_bool(true)).kind, NumericView::Small);
    EXPECT_EQ(py_numeric_view(heap, Value::from_bool(true)).small, 1);
    EXPECT_EQ(py_numeric_view(heap, big("123")).kind, NumericView::Small);
    EXPECT_EQ(py_numeric_view(heap, big("123456789012345678901234567890")).kind, NumericView::Big);
    EXPECT_EQ(py_numeric_view(heap, alloc(ComplexPayload{1, 2})).imag, 2);
    EXPECT_EQ(py_numeric_view(heap, Value::try_inline_str("1")).kind, NumericView::None);

    std::string digits4300 = "1" + std::string(4299, '0');  // 10**4299
    std::string digits4301 = "1" + std::string(4300, '0');  // 10**4300
    BigInt a, b;
    mpz_set_str(a.get(), digits4300.c_str(), 10);
    mpz_set_str(b.get(), digits4301.c_str(), 10);
    EXPECT_FALSE(py_int_exceeds_str_digits(a));
    EXPECT_TRUE(py_int_exceeds_str_digits(b));
}

TEST_F(Access, FastTruth) {
    auto truth = [&](Value v) { return py_truth_fast(heap, v).value(); };
    EXPECT_EQ(truth(Value::from_float(-0.0)), false);
    EXPECT_EQ(truth(Value::from_float(std::nan(""))), true);
    EXPECT_EQ(truth(Value::none()), false);
    EXPECT_EQ(truth(Value::try_inline_str("")), false);
    EXPECT_EQ(truth(Value::from_int(-1)), true);
    EXPECT_EQ(truth(alloc(RangePayload{5, 0, 1})), false);
    EXPECT_EQ(truth(alloc(RangePayload{5, 0, -1})), true);
    EXPECT_EQ(truth(alloc(ComplexPayload{0, 0})), false);
    EXPECT_EQ(truth(alloc(ComplexPayload{0, 1e-300})), true);
    EXPECT_EQ(truth(alloc(ListPayload{})), false);
    EXPECT_EQ(truth(alloc(DictPayload{Box<DictTable>::make()})), false);
    EXPECT_EQ(truth(big("0")), false);
    EXPECT_EQ(truth(intern_static_definition(StaticDefinition::of_function(0))), true);
    EXPECT_EQ(py_truth_fast(heap, alloc(ObjectPayload{})).error().message(), "invalid Python value tag");
}

TEST_F(Access, ExceptionIdentityAndIntParseErrors) {
    EXPECT_EQ(exception_identity(heap, reg, intern_static_definition(StaticDefinition::of_exception("ValueError"))),
              "ValueError");
    EXPECT_FALSE(exception_identity(heap, reg, Value::from_int(5)).has_value());
    // A program class derived from ValueError.
    TypeRecord rec;
    rec.name = "MyError";
    rec.bases = {reg.exception_id_by_name("ValueError").value()};
    rec.mro = {rec.bases[0], 70, 21, 0};
    TypeId mine = reg.append(std::move(rec));
    auto cls = Box<ClassRecord>::make();
    cls->type_id = mine;
    cls->metaclass = Value::native(NativeKind::BuiltinType, 1);
    EXPECT_EQ(exception_identity(heap, reg, alloc(ClassPayload{std::move(cls)})), "ValueError");

    EXPECT_EQ(py_int_parse_error("12a", 10).message(), "invalid literal for int() with base 10: '12a'");
    EXPECT_EQ(py_int_parse_error("8", 8).message(), "invalid literal for int() with base 8: '8'");
    EXPECT_EQ(py_str_repr("it's"), "\"it's\"");
    EXPECT_EQ(py_str_repr("a\n\\\x01"), "'a\\n\\\\\\x01'");
    EXPECT_EQ(py_str_repr("\xc3\xa9"), "'\xc3\xa9'");
    EXPECT_EQ(py_str_repr("\xc2\x85\xc2\xad"), "'\\x85\\xad'");
}

}  // namespace
}  // namespace tw::py
