#include <gtest/gtest.h>

#include <string>

#include "base/glob.h"

namespace tw {
namespace {

TEST(Glob, MatchesWholeCandidates) {
    struct Case {
        std::string pattern, candidate;
        bool match;
    };
    const Case cases[] = {
        // No metacharacter: plain equality, even where the text would be a regular expression.
        {"file", "file", true},
        {"file", "files", false},
        {"file", "a file", false},
        {"a.b", "a.b", true},
        {"a{2}", "a{2}", true},
        {"a{2}", "aa", false},
        {"", "", true},
        // * and ? (both also match "/").
        {"*.txt", "notes.txt", true},
        {"*.txt", "notes.txt.bak", false},
        {"*.txt", "dir/notes.txt", true},
        {"*.c", "dir/x.c", true},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a?c", "a/c", true},
        {"?", "\xC3\xA9", true},  // one character, not one byte
        {"*", "", true},
        // Brackets reach the engine as sets.
        {"[ab]x", "bx", true},
        {"[ab]x", "cx", false},
        {"[a-c]*", "beta", true},
        {"[!a]x", "!x", true},
        {"[!a]x", "ax", true},
        {"[!a]x", "bx", false},
        {"[^a]x", "bx", true},
        {"[^a]x", "ax", false},
        {"*.[ch]", "src/x.h", true},
        // Escaped specials stand for themselves.
        {"a.b*", "a.bc", true},
        {"a.b*", "axbc", false},
        {"(x)*", "(x)yz", true},
        {"a+*", "a+", true},
        {"a+*", "aa", false},
        {"^a*", "^ab", true},
        {"$*", "$HOME", true},
        {"a|b*", "a|b", true},
        {"a|b*", "a", false},
        {"\\*", "\\x", true},
        // Braces are copied: a repeat count once the pattern is an expression.
        {"a{2}b*", "aab", true},
        {"a{2}b*", "a{2}b", false},
        // Anchored at both ends; $ does not also accept a trailing newline.
        {"*.txt", "a.txt\n", false},
        {"a*", "ba", false},
        // * does not match a newline.
        {"a*b", "a\nb", false},
        // Patterns that do not compile match nothing.
        {"[", "[", false},
        {"*[", "x[", false},
        {"[z-a]*", "b", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(glob_to_regex(c.pattern, c.candidate), c.match)
            << "'" << c.pattern << "' vs '" << c.candidate << "'";
}

TEST(Glob, CaselessVariant) {
    EXPECT_TRUE(glob_to_regex("*.TXT", "a.txt", true));
    EXPECT_FALSE(glob_to_regex("*.TXT", "a.txt"));
    EXPECT_TRUE(glob_to_regex("README", "readme", true));
    EXPECT_FALSE(glob_to_regex("README", "readme.md", true));
    EXPECT_TRUE(glob_to_regex("a{2}", "A{2}", true));  // still a plain text without metachars
    EXPECT_TRUE(glob_to_regex("\xC3\x89t\xC3\xA9*", "\xC3\xA9T\xC3\x89.txt", true));  // Été*
}

TEST(Glob, InvalidUtf8CandidatesMatchByteByByte) {
    EXPECT_TRUE(glob_to_regex("*.txt", "bad\xFF.txt"));
    EXPECT_TRUE(glob_to_regex("a?b", "a\xFF" "b"));
    EXPECT_FALSE(glob_to_regex("*.txt", "bad\xFF.txo"));
    EXPECT_TRUE(glob_to_regex("bad\xFF", "bad\xFF"));
}

TEST(Glob, RepeatedPatternsGiveTheSameAnswers) {
    // Compiled patterns are reused; the answer must not depend on what was matched before,
    // including after the cache has been refilled many times over.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 600; ++i) {
            const std::string pattern = "f" + std::to_string(i) + "*";
            ASSERT_TRUE(glob_to_regex(pattern, "f" + std::to_string(i) + ".c"));
            ASSERT_FALSE(glob_to_regex(pattern, "g" + std::to_string(i) + ".c"));
            ASSERT_FALSE(glob_to_regex("[", "["));
        }
    }
}

}  // namespace
}  // namespace tw
