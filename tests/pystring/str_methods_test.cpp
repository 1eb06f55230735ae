// The str algorithms beyond the host tables: this system's own messages, the charges, the
// deliberate differences, and code-point indexing.
#include <gtest/gtest.h>

#include "pystring/fixture.h"
#include "python/string/case.h"
#include "python/string/pad_encode.h"
#include "python/string/search.h"
#include "python/string/split_join.h"

namespace tw::py {
namespace {

TEST(StrIndexing, ByteOffsetsOfEveryCodePoint) {
    for (std::string s : {std::string("plain ascii text"), std::string("a\u00e9\u65e5\U0001f600b") + std::string(200, 'x') + "\u03a3"}) {
        const StrText t = StrText::of(s);
        const CodePointIndex index(t);
        std::size_t p = 0;
        for (std::uint64_t k = 0; k <= t.chars; ++k) {
            EXPECT_EQ(t.byte_offset(k), p) << k;
            EXPECT_EQ(index.byte_offset(k), p) << k;
            if (k < t.chars) {
                std::size_t q = p;
                EXPECT_EQ(index.at(k), utf8_next(s, q));
                p = q;
            }
        }
    }
}

TEST(StrSearch, MessagesAndCharges) {
    CountingCharges ch;
    const StrText abc = StrText::of("abc");
    expect_error(str_find(ch, abc, "z", {}, FindMode::Index), "ValueError", "substring not found");
    EXPECT_EQ(ch.work_total, 1u);  // (3 + 1) / 16 + 1

    const std::string long_text(64, 'a');
    CountingCharges c2;
    EXPECT_EQ(ok(str_count(c2, StrText::of(long_text), "aa", {})), 32);
    EXPECT_EQ(c2.work_total, 5u);  // (64 + 2) / 16 + 1

    // startswith: the code-point array is charged, then each candidate's bytes as it is tried.
    CountingCharges c3;
    const Affix bad_after_match[] = {Affix::of("x"), Affix::of("ab"), Affix::wrong("int")};
    EXPECT_TRUE(ok(str_affix_match(c3, abc, bad_after_match, {}, false, "startswith")));
    EXPECT_EQ(c3.work_total, 1u + 1 + 2);
    EXPECT_EQ(c3.memory_total, 12u);
    const Affix bad_first[] = {Affix::of("x"), Affix::wrong("int")};
    expect_error(str_affix_match(ch, abc, bad_first, {}, false, "startswith"), "TypeError",
                 "tuple for startswith must only contain str, not int");
    EXPECT_FALSE(ok(str_affix_match(ch, abc, std::span<const Affix>(), {}, false, "startswith")));
    const Affix empty[] = {Affix::of("")};
    EXPECT_FALSE(ok(str_affix_match(ch, abc, empty, {4, {}}, false, "startswith")));
    EXPECT_TRUE(ok(str_affix_match(ch, abc, empty, {3, {}}, false, "startswith")));

    // A refused charge ends the search before any result.
    CountingCharges refuse;
    refuse.work_limit = 0;
    EXPECT_FALSE(str_find(refuse, abc, "a", {}, FindMode::Find).has_value());
}

TEST(StrSearch, StripKeepsFileSeparatorsAndCharges) {
    CountingCharges ch;
    EXPECT_EQ(ok(str_strip(ch, "\x1c a\x1f ", std::nullopt, StripSide::Both)), "\x1c a\x1f");
    EXPECT_EQ(ch.work_total, 1u);
    EXPECT_EQ(ch.memory_total, 5u);
    CountingCharges c2;
    const std::string text(32, 'x');
    EXPECT_EQ(ok(str_strip(c2, text, std::string_view("xyz\u00e9"), StripSide::Right)), "");
    EXPECT_EQ(c2.work_total, 32u * 5 / 16 + 1);
    expect_error(str_partition("a", "", false), "ValueError", "empty separator");
    EXPECT_FALSE(str_remove_affix("abc", "x", false).has_value());
}

TEST(StrPad, MessagesSizesAndCharges) {
    CountingCharges ch;
    const StrText a = StrText::of("a");
    expect_error(str_pad(ch, a, 3, "xy", PadMode::Left), "TypeError", "the fill character must be exactly one character long");
    EXPECT_EQ(ok(str_pad(ch, a, 4, "*", PadMode::Center)), "*a**");
    EXPECT_EQ(ok(str_pad(ch, StrText::of("ab"), 5, "*", PadMode::Center)), "**ab*");
    CountingCharges c2;
    EXPECT_EQ(ok(str_pad(c2, a, 3, "\u00e9", PadMode::Right)), "\u00e9\u00e9a");
    EXPECT_EQ(c2.memory_total, 5u);
    EXPECT_EQ(c2.work_total, 5u);
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    expect_resource(str_pad(ch, a, huge, "\U0001f600", PadMode::Left), "justified string is too large");
    expect_resource(str_pad(ch, a, huge, "\U0001f600", PadMode::Center), "centered string is too large");
    EXPECT_EQ(ok(str_zfill(ch, StrText::of("-42"), 5)), "-0042");
    EXPECT_EQ(ok(str_zfill(ch, StrText::of("+7"), 3)), "+07");
    EXPECT_EQ(ok(str_zfill(ch, StrText::of("\u00e9"), 3)), "00\u00e9");
    expect_error(str_expandtabs(ch, "a\t\t\t", std::numeric_limits<std::int64_t>::max()), "OverflowError",
                 "new string is too long");
    CountingCharges c3;
    EXPECT_EQ(ok(str_expandtabs(c3, "\u00e9\tb", 4)), "\u00e9   b");
    EXPECT_EQ(c3.memory_total, 5u);  // code points of the result
}

TEST(StrEncode, MessagesOfThisSystem) {
    CountingCharges ch;
    expect_error(str_encode(ch, "\u00e9", "ascii", "strict"), "UnicodeEncodeError", "'ascii' codec can't encode character '\u00e9'");
    expect_error(str_encode(ch, "e\u0301", "Latin_1", "strict"), "UnicodeEncodeError",
                 "'latin-1' codec can't encode character '\\u{301}'");
    expect_error(str_encode(ch, "\u0100\u2028", "ascii", "strict"), "UnicodeEncodeError",
                 "'ascii' codec can't encode character '\u0100'");
    expect_error(str_encode(ch, "\u0085", "ascii", "strict"), "UnicodeEncodeError", "'ascii' codec can't encode character '\\u{85}'");
    expect_error(str_encode(ch, "a", "cp1252", "strict"), "ValueError", "unknown text encoding");
    expect_error(str_encode(ch, "a", "utf-8", "bogus"), "LookupError", "unknown error handler name 'bogus'");
    EXPECT_EQ(std::string(parse_error_handler("xmlcharrefreplace", false).error().message()),
              "unknown error handler name 'xmlcharrefreplace'");
    EXPECT_EQ(ok(str_encode(ch, "\u00e9\U0001f600", "ascii", "backslashreplace")), "\\xe9\\U0001f600");
}

struct MapTable final : TranslateTable {
    PyResult<TranslateItem> lookup(char32_t c) override {
        switch (c) {
            case 'a': return TranslateItem(TranslateDelete{});
            case 'b': return TranslateItem(TranslateText{"\u00e9\u00e9"});
            case 'c': return TranslateItem(TranslateInt{0x65E5});
            case 'd': return TranslateItem(TranslateInt{0xD800});
            case 'e': return TranslateItem(TranslateInt{0, false});
            case 'f': return TranslateItem(TranslateOther{});
            default: return TranslateItem(TranslateKeep{});
        }
    }
};

TEST(StrTranslate, MappedValues) {
    MapTable table;
    CountingCharges ch;
    EXPECT_EQ(ok(str_translate(ch, "abcz", table)), "\u00e9\u00e9\u65e5z");
    EXPECT_EQ(ch.work_total, 4u);
    EXPECT_EQ(ch.memory_total, 4u);
    for (const char* s : {"d", "e"}) expect_error(str_translate(ch, s, table), "ValueError", "character mapping must be in range(0x110000)");
    expect_error(str_translate(ch, "f", table), "TypeError", "character mapping must return integer, None or str");
}

TEST(StrSplitJoin, ThisSystemsRulesAndCharges) {
    auto views = [](PyResult<StrPieces> r) { return ok(std::move(r)).views; };
    using V = std::vector<std::string_view>;
    EXPECT_EQ(views(str_split("a b   c  d ", std::nullopt, 1)), (V{"a", "b c d"}));
    EXPECT_EQ(views(str_split("  a  b  ", std::nullopt, 0)), (V{"a b"}));
    EXPECT_EQ(views(str_rsplit("  a  b c", std::nullopt, 1)), (V{"  a  b", "c"}));
    EXPECT_EQ(views(str_split("a\x1c" "b", std::nullopt, -1)), (V{"a\x1c" "b"}));
    expect_error(str_split("a", std::string_view(""), -1), "ValueError", "empty separator");
    expect_error(str_rsplit("a", std::string_view(""), -1), "ValueError", "empty separator");

    CountingCharges ch;
    Joiner j = str_joiner(", ");
    for (std::string_view item : {"ab", "", "\u00e9"}) ASSERT_TRUE(j.add(ch, item));
    EXPECT_EQ(ch.work_total, 3u);
    EXPECT_EQ(ch.memory_total, 2u + 0 + 2 + 3 * 32);
    EXPECT_EQ(ok(j.finish(ch)), "ab, , \u00e9");
    EXPECT_EQ(ch.memory_total, 100u + 8);

    CountingCharges c2;
    EXPECT_EQ(ok(str_replace(c2, "abc", "", "-", 2)), "-a-bc");
    EXPECT_EQ(c2.memory_total, 5u);
    EXPECT_EQ(ok(str_replace(c2, "\u00e9\u00e9", "", "-", -1)), "-\u00e9-\u00e9-");
    CountingCharges refuse;
    refuse.memory_limit = 3;
    EXPECT_FALSE(str_replace(refuse, "aaa", "a", "bb", -1).has_value());
}

TEST(StrCase, SpecialMappingsAndClasses) {
    CountingCharges ch;
    auto map = [&](std::string_view s, CaseMap m) { return ok(str_case_map(ch, s, m)); };
    EXPECT_EQ(map("\u03a3", CaseMap::Lower), "\u03c3");
    EXPECT_EQ(map("A\u03a3", CaseMap::Lower), "a\u03c2");
    EXPECT_EQ(map("A\u03a3'b", CaseMap::Lower), "a\u03c3'b");  // the quote is case-ignorable
    EXPECT_EQ(map("\u00df", CaseMap::Upper), "SS");
    EXPECT_EQ(map("\u00df", CaseMap::Title), "Ss");
    EXPECT_EQ(map("\u0130", CaseMap::Lower), "i\u0307");
    EXPECT_EQ(map("\u01c4ungla", CaseMap::Capitalize), "\u01c5ungla");
    auto pred = [&](std::string_view s, StrPredicate p) { return ok(str_predicate(ch, s, p)); };
    // The alphabetic class is the Unicode Alphabetic property: letter numbers and some marks count.
    EXPECT_TRUE(pred("\u2167", StrPredicate::IsAlpha));
    EXPECT_TRUE(pred("\u0345", StrPredicate::IsAlpha));
    EXPECT_TRUE(pred("\x1c", StrPredicate::IsSpace));
    EXPECT_TRUE(pred("", StrPredicate::IsAscii));
    EXPECT_FALSE(pred("", StrPredicate::IsAlpha));
    // A titlecase letter is cased and neither lower nor upper.
    EXPECT_FALSE(pred("a\u01c5", StrPredicate::IsLower));
    EXPECT_FALSE(pred("A\u01c5", StrPredicate::IsUpper));
    CountingCharges c2;
    EXPECT_TRUE(ok(str_predicate(c2, "abc", StrPredicate::IsAscii)));
    EXPECT_EQ(c2.work_total, 0u);
    EXPECT_TRUE(ok(str_predicate(c2, "\u00e9", StrPredicate::IsLower)));
    EXPECT_EQ(c2.work_total, 2u);
    EXPECT_EQ(str_unicode_version(), "14.0.0");
}

}  // namespace
}  // namespace tw::py
