#include <gtest/gtest.h>

#include "base/regex.h"
#include "shell/pattern.h"

namespace tw {
namespace {

struct MatchCase {
    const char* pattern;
    const char* text;
    bool match;
};

// Whole-text matches; characters are UTF-8 code points.
const MatchCase kCases[] = {
        {"abc", "abc", true},
        {"abc", "abd", false},
        {"a*", "abc", true},
        {"a*", "a", true},
        {"*c", "abc", true},
        {"*", "", true},
        {"?", "", false},
        {"?", "a", true},
        {"?", "ab", false},
        {"??", "é", false},
        {"?", "é", true},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"*.txt", "a.txt", true},
        {"*.txt", "a.txt.gz", false},
        {"*a*b*", "xxaxxbxx", true},
        {"*a*b*", "xxbxxaxx", false},
        {"[abc]", "b", true},
        {"[abc]", "d", false},
        {"[!abc]", "d", true},
        {"[!abc]", "a", false},
        {"[^abc]", "d", true},
        {"[^abc]", "c", false},
        {"[a-c]x", "bx", true},
        {"[a-c]x", "dx", false},
        {"[]]", "]", true},
        {"[]a]", "a", true},
        {"[!]]", "]", false},
        {"[!]]", "x", true},
        {"[a-]", "-", true},
        {"[-a]", "-", true},
        {"[[:alpha:]]", "q", true},
        {"[[:alpha:]]", "1", false},
        {"[[:digit:][:upper:]]", "7", true},
        {"[[:digit:][:upper:]]", "Q", true},
        {"[[:digit:][:upper:]]", "q", false},
        {"[![:space:]]", "x", true},
        {"[![:space:]]", " ", false},
        {"[[:punct:]]", "!", true},
        {"[[:xdigit:]]*", "fz", true},
        {"[[:xdigit:]]*", "gz", false},
        {"[[:alnum:]_]", "_", true},
        {"[a", "[a", true},
        {"[a", "a", false},
        {"a[", "a[", true},
        {"\\*", "*", true},
        {"\\*", "a", false},
        {"\\?", "?", true},
        {"a\\", "a\\", true},
        {"a\\\\b", "a\\b", true},
        {"[\\]]", "]", true},
        {"[a\\-z]", "-", true},
        {"[a\\-z]", "b", false},
        {"[z-a]", "m", false},
        {"[.a.]", "a", true},
        {"[[.a.]]", "a", true},
        {"[[=b=]]", "b", true},
        {"[[:bogus:]]", "b", false},
        {"*/*", "a/b", true},
        {"*", "a/b", true},
        {"[/]", "/", true},
        {"a*b*c", "abc", true},
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "aXbYcZ", false},
        {"**a", "a", true},
        {"*?", "", false},
        {"*?", "x", true},
};

TEST(ShellPattern, MatchesWholeTexts) {
    for (const auto& c : kCases) {
        EXPECT_EQ(shell_pattern_match(c.pattern, c.text), c.match) << c.pattern << " vs " << c.text;
    }
}

TEST(ShellPattern, RegexTranslationAgreesWithTheMatcher) {
    for (const auto& c : kCases) {
        auto re = Regex::compile(shell_pattern_regex(c.pattern));
        ASSERT_TRUE(re.has_value()) << c.pattern << " -> " << shell_pattern_regex(c.pattern);
        auto m = re->full_match(c.text);
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->has_value(), c.match) << c.pattern << " vs " << c.text << " via "
                                           << shell_pattern_regex(c.pattern);
    }
}

TEST(ShellPattern, StarAndQuestionSpanNewlinesAndInvalidBytes) {
    EXPECT_TRUE(shell_pattern_match("a*b", "a\nb"));
    EXPECT_TRUE(shell_pattern_match("a?b", "a\nb"));
    EXPECT_TRUE(shell_pattern_match("a?b", "a\xff" "b"));
    EXPECT_TRUE(shell_pattern_match("*", "\xff\xfe"));
    EXPECT_FALSE(shell_pattern_match("?", "\xff\xfe"));
    EXPECT_TRUE(shell_pattern_match("\xff*", "\xff\xfe"));
}

TEST(ShellPattern, EscapedTextMatchesOnlyItself) {
    for (const char* text : {"*", "a?b", "[ab]", "x\\y", "[!a]", "]"}) {
        std::string p = shell_pattern_escape(text);
        EXPECT_FALSE(shell_pattern_has_wildcards(p)) << p;
        EXPECT_TRUE(shell_pattern_match(p, text)) << p;
        EXPECT_EQ(shell_pattern_unescape(p), text);
    }
    EXPECT_FALSE(shell_pattern_match(shell_pattern_escape("a*"), "abc"));
}

TEST(ShellPattern, WildcardDetection) {
    EXPECT_TRUE(shell_pattern_has_wildcards("*.c"));
    EXPECT_TRUE(shell_pattern_has_wildcards("a?"));
    EXPECT_TRUE(shell_pattern_has_wildcards("[ab]"));
    EXPECT_FALSE(shell_pattern_has_wildcards("[a"));
    EXPECT_FALSE(shell_pattern_has_wildcards("\\*"));
    EXPECT_FALSE(shell_pattern_has_wildcards("plain"));
}

TEST(ShellPattern, CaselessMatching) {
    PatternOptions ci{.caseless = true};
    EXPECT_TRUE(shell_pattern_match("ABC*", "abcdef", ci));
    EXPECT_TRUE(shell_pattern_match("[a-c]x", "BX", ci));
    EXPECT_TRUE(shell_pattern_match("école", "ÉCOLE", ci));
    EXPECT_FALSE(shell_pattern_match("ABC", "abc"));
}

TEST(ShellPattern, LongTextsStayLinearForCommonShapes) {
    std::string text(200000, 'a');
    text += ".txt";
    EXPECT_TRUE(shell_pattern_match("*.txt", text));
    EXPECT_FALSE(shell_pattern_match("*b*", text));
    EXPECT_FALSE(shell_pattern_match("*.gz", text));
}

}  // namespace
}  // namespace tw
