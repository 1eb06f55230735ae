#include <gtest/gtest.h>

#include "shell/brace.h"

namespace tw {
namespace {

using Words = std::vector<std::string>;

struct BraceCase {
    const char* word;
    Words words;
};

TEST(BraceExpansion, ListsAndNesting) {
    const BraceCase cases[] = {
        {"a{b,c}d", {"abd", "acd"}},
        {"a{,b}", {"a", "ab"}},
        {"{a,{b,c}}", {"a", "b", "c"}},
        {"{a}", {"{a}"}},
        {"{}", {"{}"}},
        {"{a,b}{c,d}", {"ac", "ad", "bc", "bd"}},
        {"a{,,}b", {"ab", "ab", "ab"}},
        {"{,a}{,b}", {"", "b", "a", "ab"}},
        // Quoted and escaped braces and commas are text.
        {"'{a,b}'", {"'{a,b}'"}},
        {"\"{a,b}\"", {"\"{a,b}\""}},
        {"\\{a,b}", {"\\{a,b}"}},
        {"{a\\,b,c}", {"a\\,b", "c"}},
        {"x{a,b\\}c}", {"xa", "xb\\}c"}},
        {"{x,'a,b'}", {"x", "'a,b'"}},
        {"{a,'}'}", {"a", "'}'"}},
        {"{'{'a,b}", {"'{'a", "b"}},
        // A ${...} is never part of a brace expression; braces after it are.
        {"${x}{1,2}", {"${x}1", "${x}2"}},
        {"${u:-{a,b}}", {"${u:-{a,b}}"}},
        {"{a,b}${u:-{c,d}}", {"a${u:-{c,d}}", "b${u:-{c,d}}"}},
        // A `{` that opens nothing is skipped and the search goes on.
        {"{a}{b,c}", {"{a}b", "{a}c"}},
        {"x{a}y{1,2}", {"x{a}y1", "x{a}y2"}},
        {"a{b,c}{", {"ab{", "ac{"}},
        {"{a,b", {"{a,b"}},
    };
    for (const auto& c : cases) EXPECT_EQ(expand_braces(c.word), c.words) << c.word;
}

TEST(BraceExpansion, Sequences) {
    const BraceCase cases[] = {
        {"{1..3}", {"1", "2", "3"}},
        {"{1..10}", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
        {"{01..10}", {"01", "02", "03", "04", "05", "06", "07", "08", "09", "10"}},
        {"{1..03}", {"01", "02", "03"}},
        {"{-2..2}", {"-2", "-1", "0", "1", "2"}},
        {"{05..1}", {"05", "04", "03", "02", "01"}},
        {"{-05..1}", {"-05", "-04", "-03", "-02", "-01", "000", "001"}},
        {"{-1..01}", {"-1", "00", "01"}},
        {"{-0..2}", {"0", "1", "2"}},
        {"{0..10..5}", {"0", "5", "10"}},
        {"{1..5..2}", {"1", "3", "5"}},
        {"{+1..3}", {"1", "2", "3"}},
        {"{1..-3}", {"1", "0", "-1", "-2", "-3"}},
        {"{1..1}", {"1"}},
        {"{1..3..0}", {"1", "2", "3"}},
        {"{1..5..-1}", {"{1..5..-1}"}},
        {"{5..1..2}", {"{5..1..2}"}},
        {"{9223372036854775806..9223372036854775807}", {"9223372036854775806", "9223372036854775807"}},
        {"{a..e..2}", {"a", "c", "e"}},
        {"{z..x}", {"z", "y", "x"}},
        {"{a..a}", {"a"}},
        {"{1..ab}", {"{1..ab}"}},
        {"{a..c}{1..2}", {"a1", "a2", "b1", "b2", "c1", "c2"}},
        {"a{1..3}b{c,d}", {"a1bc", "a1bd", "a2bc", "a2bd", "a3bc", "a3bd"}},
        {"{α..γ}", {"α", "β", "γ"}},
        // Characters that later expansion would interpret come out escaped.
        {"{Y..]}", {"Y", "Z", "\\[", "\\\\", "\\]"}},
    };
    for (const auto& c : cases) EXPECT_EQ(expand_braces(c.word), c.words) << c.word;
    EXPECT_EQ(expand_braces("{1..a}").size(), 49u);
}

TEST(BraceExpansion, Bounds) {
    auto big = expand_braces("{1..2000}");
    ASSERT_EQ(big.size(), 1024u);
    EXPECT_EQ(big.front(), "1");
    EXPECT_EQ(big.back(), "1024");
    auto product = expand_braces("{1..100}{1..100}");
    EXPECT_EQ(product.size(), 1024u);
    EXPECT_EQ(product.back(), "1124");
    // Nine nested lists: only the outer eight levels expand.
    auto nested = expand_braces("{a,{b,{c,{d,{e,{f,{g,{h,{i,j}}}}}}}}}");
    ASSERT_EQ(nested.size(), 9u);
    EXPECT_EQ(nested.back(), "{i,j}");
}

}  // namespace
}  // namespace tw
