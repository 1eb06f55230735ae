#include <gtest/gtest.h>

#include <random>
#include <string>

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

// The word-at-a-time ASCII skip must not hide a bad byte or a sequence cut at a word edge: texts
// of random pieces (ASCII runs of every length around 8 and 16, good and bad sequences) are
// valid exactly when lossy decoding leaves them unchanged.
TEST(Utf8, ValidityAgreesWithLossyDecoding) {
    std::mt19937 rng(11);
    const std::string pieces[] = {"a", "abcdefg", "abcdefgh", "abcdefghijklmno", "\xC3\xA9", "\xE2\x82\xAC",
                                  "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xC3", "\xE2\x82", "\xED\xA0\x80",
                                  "\xC0\xAF", "\xE0\x80\x80", "\xF0\x80\x80\x80", "\xF4\x90\x80\x80", "\x80",
                                  "\xFF", "\n", std::string(1, '\0')};
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int n = static_cast<int>(rng() % 14);
        for (int i = 0; i < n; ++i) text += pieces[rng() % std::size(pieces)];
        ASSERT_EQ(utf8_valid(text), utf8_lossy(text) == text) << round;
    }
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
