#include <gtest/gtest.h>

#include "base/sat.h"
#include "base/utf8.h"

namespace tw {
namespace {

TEST(Utf8, LossyReplacesEachMaximalInvalidSubsequence) {
    struct Case { std::string in, out; };
    const Case cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
        // A truncated three-byte sequence is one replacement, not two.
        {"\xE2\x82", "\xEF\xBF\xBD"},
        // Surrogates are not valid UTF-8: each byte after the lead fails separately.
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {std::string("\0x", 2), std::string("\0x", 2)},
    };
    for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
    EXPECT_TRUE(utf8_valid("caf\xC3\xA9"));
    EXPECT_FALSE(utf8_valid("\xC3"));
}

TEST(Utf8, FloorBoundaryNeverSplitsACharacter) {
    const std::string s = "a\xC3\xA9" "b";  // a é b
    EXPECT_EQ(utf8_floor_boundary(s, 2), 1u);
    EXPECT_EQ(utf8_floor_boundary(s, 3), 3u);
    EXPECT_EQ(utf8_floor_boundary(s, 99), s.size());
}

TEST(Saturating, ArithmeticStopsAtTheEnds) {
    EXPECT_EQ(sat_add(kU64Max - 1, std::uint64_t{5}), kU64Max);
    EXPECT_EQ(sat_sub(3, 5), 0u);
    EXPECT_EQ(sat_mul(kU64Max / 2, 3), kU64Max);
    EXPECT_EQ(sat_add(std::int64_t{INT64_MAX}, std::int64_t{1}), INT64_MAX);
    EXPECT_EQ(sat_add(std::int64_t{INT64_MIN}, std::int64_t{-1}), INT64_MIN);
    EXPECT_EQ(signed_delta(10, 300), -290);
    EXPECT_EQ(signed_delta(kU64Max, 0), INT64_MAX);
}

}  // namespace
}  // namespace tw
