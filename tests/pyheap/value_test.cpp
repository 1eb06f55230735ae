#include <gtest/gtest.h>

#include "fixture.h"

namespace tw::py {
namespace {

using test::HeapFixture;

TEST(Value, EncodingAndIdentity) {
    static_assert(sizeof(Value) == 16);
    EXPECT_EQ(Value::try_inline_str("").tag(), 0);
    EXPECT_EQ(Value::try_inline_str(""), Value::try_inline_str(""));
    Value v15 = Value::try_inline_str("abcdefghijklmno");
    EXPECT_EQ(v15.tag(), 15);
    EXPECT_EQ(v15.inline_str(), "abcdefghijklmno");
    EXPECT_TRUE(Value::try_inline_str("abcdefghijklmnop").is_absent());
    // Five 3-byte characters are 15 bytes: inline.
    Value cjk = Value::try_inline_str("\xe4\xb8\x80\xe4\xb8\x80\xe4\xb8\x80\xe4\xb8\x80\xe4\xb8\x80");
    EXPECT_EQ(cjk.tag(), 15);

    EXPECT_EQ(Value::from_int(1), Value::from_int(1));
    EXPECT_NE(Value::from_bool(true), Value::from_int(1));
    EXPECT_NE(Value::none(), Value::from_int(0));
    EXPECT_EQ(Value::from_float(-0.0).as_float(), 0.0);
    EXPECT_NE(Value::from_float(-0.0), Value::from_float(0.0));
    EXPECT_EQ(Value::from_int(-5).as_int(), -5);
    EXPECT_TRUE(Value().is_absent());
    EXPECT_TRUE(Value::other_marker().is_absent());
    Value n = Value::native(NativeKind::SlotWrapper, 0x612);
    EXPECT_EQ(n.native_kind(), NativeKind::SlotWrapper);
    EXPECT_EQ(n.native_index(), 0x612u);
    Value r = Value::registered(7, 99);
    EXPECT_EQ(r.registered_kind(), 7);
    EXPECT_EQ(r.registered_payload(), 99u);
    Value o = Value::object({3, 9});
    EXPECT_EQ(o.handle(), (Handle{3, 9}));
    EXPECT_NE(o, Value::object({3, 10}));
}

TEST(Value, StringsInlineOrHeap) {
    HeapFixture f;
    Value a = new_str(f.heap, "0123456789abcdefghij", nullptr, f.meter).value();
    Value b = new_str(f.heap, "0123456789abcdefghij", nullptr, f.meter).value();
    EXPECT_TRUE(a.is_object());
    EXPECT_NE(a, b);  // equal texts, separate objects
    EXPECT_EQ(*str_view(f.heap, a).value(), *str_view(f.heap, b).value());
    Value s16 = new_str(f.heap, "0123456789abcdef", nullptr, f.meter).value();
    EXPECT_EQ(f.heap.get(s16).value()->modeled_size, 96u);
    Value wide = new_str(f.heap, "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", nullptr, f.meter).value();
    EXPECT_EQ(std::get<HeapStr>(f.heap.get(wide).value()->object).char_count, 8u);
    Value small = new_str(f.heap, "hi", nullptr, f.meter).value();
    EXPECT_EQ(small, Value::try_inline_str("hi"));
    EXPECT_EQ(*str_view(f.heap, small).value(), "hi");
    EXPECT_FALSE(str_view(f.heap, Value::from_int(3)).value().has_value());
}

}  // namespace
}  // namespace tw::py
