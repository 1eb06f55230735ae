// bytes methods' own messages and charges, and bytearray mutation in place.
#include <gtest/gtest.h>

#include "pystring/fixture.h"
#include "python/string/bytearray_ops.h"
#include "python/string/bytes_ops.h"

namespace tw::py {
namespace {

TEST(BytesMethods, MessagesOfThisSystem) {
    CountingCharges ch;
    expect_error(bytes_decode(ch, "\xff", "utf-8", "strict"), "UnicodeDecodeError", "invalid UTF-8 byte sequence");
    expect_error(bytes_decode(ch, "a\xff", "ascii", "strict"), "UnicodeDecodeError", "'ascii' codec can't decode byte 0xff");
    expect_error(bytes_decode(ch, "x", "cp1252", "strict"), "ValueError", "unknown text encoding");
    expect_error(bytes_decode(ch, "x", "utf-8", "xmlcharrefreplace"), "LookupError",
                 "unknown error handler name 'xmlcharrefreplace'");
    EXPECT_EQ(ok(bytes_decode(ch, "\xff", "utf-8", "backslashreplace")), "\\xff");
    expect_error(bytes_fromhex(ch, "abc"), "ValueError", "non-hexadecimal number found in fromhex() arg at position 3");
    expect_error(bytes_fromhex(ch, "0\x0b" "1"), "ValueError", "non-hexadecimal number found in fromhex() arg at position 1");
    EXPECT_EQ(ok(bytes_fromhex(ch, "0b 0c")), "\x0b\x0c");
    expect_error(bytes_find(ch, "abc", "z", {}, true), "ValueError", "subsection not found");
    const Affix wrong[] = {Affix::of("x"), Affix::wrong("int")};
    expect_error(bytes_affix_match(ch, "abc", wrong, {}, false), "TypeError", "a bytes-like object is required, not 'int'");
    const Affix match_first[] = {Affix::of("x"), Affix::of("a"), Affix::wrong("int")};
    EXPECT_TRUE(ok(bytes_affix_match(ch, "abc", match_first, {}, false)));
    expect_error(bytes_center(ch, "x", 4, "ab"), "TypeError", "center() argument 2 must be a byte string of length 1");
    EXPECT_EQ(ok(bytes_center(ch, "x", 4, " ")), " x  ");
    expect_error(bytes_split(ch, "a", std::string_view(""), -1), "ValueError", "empty separator");
    expect_error(bytes_partition(ch, "a", "", false), "ValueError", "empty separator");
    EXPECT_EQ(std::string(bytes_join_item_error(1, "str").message()), "sequence item 1: expected a bytes-like object, str found");
}

TEST(BytesMethods, Charges) {
    CountingCharges ch;
    EXPECT_EQ(ok(bytes_count(ch, "aaaa", "aa", {})), 2);
    EXPECT_EQ(ch.work_total, 2u);  // positions 0 and 2 tried
    CountingCharges c2;
    EXPECT_EQ(ok(bytes_find(c2, "abcdef", "cd", {1, 5}, false)), 2);
    EXPECT_EQ(c2.work_total, 4u + 2);
    CountingCharges c3;
    EXPECT_EQ(ok(bytes_hex(c3, "\x01\xab")), "01ab");
    EXPECT_EQ(c3.memory_total, 4u);
    EXPECT_EQ(c3.work_total, 2u);
    CountingCharges c4;
    auto parts = ok(bytes_split(c4, "a,bc", std::string_view(","), -1));
    EXPECT_EQ(parts.size(), 2u);
    EXPECT_EQ(c4.memory_total, 1u + 16 + 2 + 16);
    CountingCharges c5;
    EXPECT_EQ(ok(bytes_replace(c5, "ab", "", "-", -1)), "-a-b-");
    EXPECT_EQ(c5.work_total, 2u + 5);
    EXPECT_EQ(c5.memory_total, 5u);
}

TEST(ByteArray, MutationsInPlace) {
    CountingCharges ch;
    CountingSizer sizer;
    std::string b = "abc";
    ASSERT_TRUE(bytearray_append(ch, sizer, b, 'd'));
    ASSERT_TRUE(bytearray_insert(ch, sizer, b, -100, '<'));
    ASSERT_TRUE(bytearray_insert(ch, sizer, b, 100, '>'));
    EXPECT_EQ(b, "<abcd>");
    EXPECT_EQ(ok(bytearray_pop(ch, sizer, b, -1)), '>');
    EXPECT_EQ(ok(bytearray_pop(ch, sizer, b, 0)), '<');
    ASSERT_TRUE(bytearray_remove(ch, sizer, b, 'b'));
    ASSERT_TRUE(bytearray_extend(ch, sizer, b, "xyz"));
    ASSERT_TRUE(bytearray_reverse(ch, b));
    EXPECT_EQ(b, "zyxdca");
    EXPECT_EQ(sizer.delta, 3);
    ASSERT_TRUE(bytearray_set_slice(ch, sizer, b, {1, 1, 2}, "12345"));
    EXPECT_EQ(b, "z12345dca");
    ASSERT_TRUE(bytearray_set_slice(ch, sizer, b, {0, 2, 3}, "ABC"));
    EXPECT_EQ(b, "A1B3C5dca");
    ASSERT_TRUE(bytearray_del_slice(ch, sizer, b, {8, -3, 3}));
    EXPECT_EQ(b, "A13Cdc");
    ASSERT_TRUE(bytearray_del_item(ch, sizer, b, -1));
    ASSERT_TRUE(bytearray_set_item(b, 0, 'a'));
    EXPECT_EQ(b, "a13Cd");
    EXPECT_EQ(sizer.delta, std::int64_t(b.size()) - 3);
    ASSERT_TRUE(bytearray_clear(ch, sizer, b));
    EXPECT_EQ(b, "");
}

TEST(ByteArray, FailuresLeaveTheContentUnchanged) {
    CountingCharges ch;
    CountingSizer sizer;
    std::string b = "ab";
    expect_error(bytearray_pop(ch, sizer, b, 5), "IndexError", "pop index out of range");
    std::string empty;
    expect_error(bytearray_pop(ch, sizer, empty, -1), "IndexError", "pop from empty bytearray");
    expect_error(bytearray_remove(ch, sizer, b, 'z'), "ValueError", "value not found in bytearray");
    // The byte range is checked before the index.
    expect_error(bytearray_set_item(b, 10, 300), "ValueError", "byte must be in range(0, 256)");
    expect_error(bytearray_set_item(b, 10, std::nullopt), "ValueError", "byte must be in range(0, 256)");
    expect_error(bytearray_set_item(b, 10, 1), "IndexError", "bytearray index out of range");
    expect_error(bytearray_del_item(ch, sizer, b, -3), "IndexError", "bytearray index out of range");
    expect_error(bytearray_set_slice(ch, sizer, b, {0, 2, 1}, "xy"), "ValueError",
                 "attempt to assign sequence of size 2 to extended slice of size 1");
    expect_error(checked_byte(-1), "ValueError", "byte must be in range(0, 256)");
    sizer.limit = 0;
    EXPECT_FALSE(bytearray_append(ch, sizer, b, 'c').has_value());
    EXPECT_FALSE(bytearray_extend(ch, sizer, b, "cd").has_value());
    CountingCharges refuse;
    refuse.work_limit = 0;
    EXPECT_FALSE(bytearray_insert(refuse, sizer, b, 0, 'c').has_value());
    EXPECT_EQ(b, "ab");
    EXPECT_EQ(sizer.delta, 0);
}

TEST(ByteArray, AppendLoopCostFollowsTheBytesTouched) {
    CountingCharges ch;
    CountingSizer sizer;
    std::string b;
    for (int i = 0; i < 100000; ++i) ASSERT_TRUE(bytearray_append(ch, sizer, b, std::uint8_t(i)));
    EXPECT_EQ(ch.work_total, 100000u);
    EXPECT_EQ(sizer.delta, 100000);
}

TEST(ByteArray, SliceResolutionAgreesWithHostPython) {
    constexpr std::optional<std::int64_t> N;
    struct Row {
        std::uint64_t length;
        std::optional<std::int64_t> start, stop, step;
        std::int64_t first;  // of a non-empty selection
        std::uint64_t count;
    };
    // slice(start, stop, step).indices(length) and the length of its range, from the host python3.
    const Row rows[] = {
        {0,N,N,N,0,0}, {0,N,N,-2,0,0}, {0,N,N,1,0,0}, {0,N,N,3,0,0}, {0,N,-10,N,0,0}, {0,N,-10,-2,0,0},
        {0,N,-10,1,0,0}, {0,N,-10,3,0,0}, {0,N,-1,N,0,0}, {0,N,-1,-2,0,0}, {0,N,-1,1,0,0}, {0,N,-1,3,0,0},
        {0,N,0,N,0,0}, {0,N,0,-2,0,0}, {0,N,0,1,0,0}, {0,N,0,3,0,0}, {0,N,2,N,0,0}, {0,N,2,-2,0,0},
        {0,N,2,1,0,0}, {0,N,2,3,0,0}, {0,N,10,N,0,0}, {0,N,10,-2,0,0}, {0,N,10,1,0,0}, {0,N,10,3,0,0},
        {0,-10,N,N,0,0}, {0,-10,N,-2,0,0}, {0,-10,N,1,0,0}, {0,-10,N,3,0,0}, {0,-10,-10,N,0,0}, {0,-10,-10,-2,0,0},
        {0,-10,-10,1,0,0}, {0,-10,-10,3,0,0}, {0,-10,-1,N,0,0}, {0,-10,-1,-2,0,0}, {0,-10,-1,1,0,0}, {0,-10,-1,3,0,0},
        {0,-10,0,N,0,0}, {0,-10,0,-2,0,0}, {0,-10,0,1,0,0}, {0,-10,0,3,0,0}, {0,-10,2,N,0,0}, {0,-10,2,-2,0,0},
        {0,-10,2,1,0,0}, {0,-10,2,3,0,0}, {0,-10,10,N,0,0}, {0,-10,10,-2,0,0}, {0,-10,10,1,0,0}, {0,-10,10,3,0,0},
        {0,-1,N,N,0,0}, {0,-1,N,-2,0,0}, {0,-1,N,1,0,0}, {0,-1,N,3,0,0}, {0,-1,-10,N,0,0}, {0,-1,-10,-2,0,0},
        {0,-1,-10,1,0,0}, {0,-1,-10,3,0,0}, {0,-1,-1,N,0,0}, {0,-1,-1,-2,0,0}, {0,-1,-1,1,0,0}, {0,-1,-1,3,0,0},
        {0,-1,0,N,0,0}, {0,-1,0,-2,0,0}, {0,-1,0,1,0,0}, {0,-1,0,3,0,0}, {0,-1,2,N,0,0}, {0,-1,2,-2,0,0},
        {0,-1,2,1,0,0}, {0,-1,2,3,0,0}, {0,-1,10,N,0,0}, {0,-1,10,-2,0,0}, {0,-1,10,1,0,0}, {0,-1,10,3,0,0},
        {0,0,N,N,0,0}, {0,0,N,-2,0,0}, {0,0,N,1,0,0}, {0,0,N,3,0,0}, {0,0,-10,N,0,0}, {0,0,-10,-2,0,0},
        {0,0,-10,1,0,0}, {0,0,-10,3,0,0}, {0,0,-1,N,0,0}, {0,0,-1,-2,0,0}, {0,0,-1,1,0,0}, {0,0,-1,3,0,0},
        {0,0,0,N,0,0}, {0,0,0,-2,0,0}, {0,0,0,1,0,0}, {0,0,0,3,0,0}, {0,0,2,N,0,0}, {0,0,2,-2,0,0},
        {0,0,2,1,0,0}, {0,0,2,3,0,0}, {0,0,10,N,0,0}, {0,0,10,-2,0,0}, {0,0,10,1,0,0}, {0,0,10,3,0,0},
        {0,2,N,N,0,0}, {0,2,N,-2,0,0}, {0,2,N,1,0,0}, {0,2,N,3,0,0}, {0,2,-10,N,0,0}, {0,2,-10,-2,0,0},
        {0,2,-10,1,0,0}, {0,2,-10,3,0,0}, {0,2,-1,N,0,0}, {0,2,-1,-2,0,0}, {0,2,-1,1,0,0}, {0,2,-1,3,0,0},
        {0,2,0,N,0,0}, {0,2,0,-2,0,0}, {0,2,0,1,0,0}, {0,2,0,3,0,0}, {0,2,2,N,0,0}, {0,2,2,-2,0,0},
        {0,2,2,1,0,0}, {0,2,2,3,0,0}, {0,2,10,N,0,0}, {0,2,10,-2,0,0}, {0,2,10,1,0,0}, {0,2,10,3,0,0},
        {0,10,N,N,0,0}, {0,10,N,-2,0,0}, {0,10,N,1,0,0}, {0,10,N,3,0,0}, {0,10,-10,N,0,0}, {0,10,-10,-2,0,0},
        {0,10,-10,1,0,0}, {0,10,-10,3,0,0}, {0,10,-1,N,0,0}, {0,10,-1,-2,0,0}, {0,10,-1,1,0,0}, {0,10,-1,3,0,0},
        {0,10,0,N,0,0}, {0,10,0,-2,0,0}, {0,10,0,1,0,0}, {0,10,0,3,0,0}, {0,10,2,N,0,0}, {0,10,2,-2,0,0},
        {0,10,2,1,0,0}, {0,10,2,3,0,0}, {0,10,10,N,0,0}, {0,10,10,-2,0,0}, {0,10,10,1,0,0}, {0,10,10,3,0,0},
        {5,N,N,N,0,5}, {5,N,N,-2,4,3}, {5,N,N,1,0,5}, {5,N,N,3,0,2}, {5,N,-10,N,0,0}, {5,N,-10,-2,4,3},
        {5,N,-10,1,0,0}, {5,N,-10,3,0,0}, {5,N,-1,N,0,4}, {5,N,-1,-2,0,0}, {5,N,-1,1,0,4}, {5,N,-1,3,0,2},
        {5,N,0,N,0,0}, {5,N,0,-2,4,2}, {5,N,0,1,0,0}, {5,N,0,3,0,0}, {5,N,2,N,0,2}, {5,N,2,-2,4,1},
        {5,N,2,1,0,2}, {5,N,2,3,0,1}, {5,N,10,N,0,5}, {5,N,10,-2,0,0}, {5,N,10,1,0,5}, {5,N,10,3,0,2},
        {5,-10,N,N,0,5}, {5,-10,N,-2,0,0}, {5,-10,N,1,0,5}, {5,-10,N,3,0,2}, {5,-10,-10,N,0,0}, {5,-10,-10,-2,0,0},
        {5,-10,-10,1,0,0}, {5,-10,-10,3,0,0}, {5,-10,-1,N,0,4}, {5,-10,-1,-2,0,0}, {5,-10,-1,1,0,4}, {5,-10,-1,3,0,2},
        {5,-10,0,N,0,0}, {5,-10,0,-2,0,0}, {5,-10,0,1,0,0}, {5,-10,0,3,0,0}, {5,-10,2,N,0,2}, {5,-10,2,-2,0,0},
        {5,-10,2,1,0,2}, {5,-10,2,3,0,1}, {5,-10,10,N,0,5}, {5,-10,10,-2,0,0}, {5,-10,10,1,0,5}, {5,-10,10,3,0,2},
        {5,-1,N,N,4,1}, {5,-1,N,-2,4,3}, {5,-1,N,1,4,1}, {5,-1,N,3,4,1}, {5,-1,-10,N,0,0}, {5,-1,-10,-2,4,3},
        {5,-1,-10,1,0,0}, {5,-1,-10,3,0,0}, {5,-1,-1,N,0,0}, {5,-1,-1,-2,0,0}, {5,-1,-1,1,0,0}, {5,-1,-1,3,0,0},
        {5,-1,0,N,0,0}, {5,-1,0,-2,4,2}, {5,-1,0,1,0,0}, {5,-1,0,3,0,0}, {5,-1,2,N,0,0}, {5,-1,2,-2,4,1},
        {5,-1,2,1,0,0}, {5,-1,2,3,0,0}, {5,-1,10,N,4,1}, {5,-1,10,-2,0,0}, {5,-1,10,1,4,1}, {5,-1,10,3,4,1},
        {5,0,N,N,0,5}, {5,0,N,-2,0,1}, {5,0,N,1,0,5}, {5,0,N,3,0,2}, {5,0,-10,N,0,0}, {5,0,-10,-2,0,1},
        {5,0,-10,1,0,0}, {5,0,-10,3,0,0}, {5,0,-1,N,0,4}, {5,0,-1,-2,0,0}, {5,0,-1,1,0,4}, {5,0,-1,3,0,2},
        {5,0,0,N,0,0}, {5,0,0,-2,0,0}, {5,0,0,1,0,0}, {5,0,0,3,0,0}, {5,0,2,N,0,2}, {5,0,2,-2,0,0},
        {5,0,2,1,0,2}, {5,0,2,3,0,1}, {5,0,10,N,0,5}, {5,0,10,-2,0,0}, {5,0,10,1,0,5}, {5,0,10,3,0,2},
        {5,2,N,N,2,3}, {5,2,N,-2,2,2}, {5,2,N,1,2,3}, {5,2,N,3,2,1}, {5,2,-10,N,0,0}, {5,2,-10,-2,2,2},
        {5,2,-10,1,0,0}, {5,2,-10,3,0,0}, {5,2,-1,N,2,2}, {5,2,-1,-2,0,0}, {5,2,-1,1,2,2}, {5,2,-1,3,2,1},
        {5,2,0,N,0,0}, {5,2,0,-2,2,1}, {5,2,0,1,0,0}, {5,2,0,3,0,0}, {5,2,2,N,0,0}, {5,2,2,-2,0,0},
        {5,2,2,1,0,0}, {5,2,2,3,0,0}, {5,2,10,N,2,3}, {5,2,10,-2,0,0}, {5,2,10,1,2,3}, {5,2,10,3,2,1},
        {5,10,N,N,0,0}, {5,10,N,-2,4,3}, {5,10,N,1,0,0}, {5,10,N,3,0,0}, {5,10,-10,N,0,0}, {5,10,-10,-2,4,3},
        {5,10,-10,1,0,0}, {5,10,-10,3,0,0}, {5,10,-1,N,0,0}, {5,10,-1,-2,0,0}, {5,10,-1,1,0,0}, {5,10,-1,3,0,0},
        {5,10,0,N,0,0}, {5,10,0,-2,4,2}, {5,10,0,1,0,0}, {5,10,0,3,0,0}, {5,10,2,N,0,0}, {5,10,2,-2,4,1},
        {5,10,2,1,0,0}, {5,10,2,3,0,0}, {5,10,10,N,0,0}, {5,10,10,-2,0,0}, {5,10,10,1,0,0}, {5,10,10,3,0,0},
    };
    for (const Row& row : rows) {
        auto r = ok(resolve_slice(row.length, row.start, row.stop, row.step));
        EXPECT_EQ(r.count, row.count);
        if (row.count) EXPECT_EQ(r.start, row.first);
    }
}

TEST(BytesSlots, ItemsConcatAndRepeat) {
    CountingCharges ch;
    expect_error(byte_at("abc", 5, false), "IndexError", "index out of range");
    expect_error(byte_at("abc", -4, true), "IndexError", "bytearray index out of range");
    EXPECT_EQ(ok(byte_at("abc", -1, false)), 'c');
    EXPECT_EQ(ok(bytes_repeat(ch, "ab", 2, true)), "abab");
    EXPECT_EQ(ok(bytes_repeat(ch, "ab", -1, false)), "");
    expect_resource(bytes_repeat(ch, "abc", std::numeric_limits<std::int64_t>::max(), false), "bytes result is too large");
    expect_resource(bytes_repeat(ch, "abc", std::numeric_limits<std::int64_t>::max(), true), "bytearray result is too large");
    CountingCharges c2;
    EXPECT_EQ(ok(bytes_concat(c2, "ab", "cde")), "abcde");
    EXPECT_EQ(c2.memory_total, 5u);
    EXPECT_EQ(c2.work_total, 3u);
}

}  // namespace
}  // namespace tw::py
