// fold, fmt, expand, unexpand and column. Expected outputs agree with the GNU tools
// (LC_ALL=C.UTF-8) unless a case says how they differ on purpose.
#include <string>

#include "case_fixture.h"

namespace tw::command_test {
namespace {

TEST(FoldCommand, BreaksAfterWidthCharacters) {
    expect_cases({
        {"printf 'abcdefg\\n' | fold -w 3", "abc\ndef\ng\n"},
        {"printf 'abcdefg' | fold -w 3", "abc\ndef\ng"},
        {"printf 'abcdef\\n' | fold -w 3", "abc\ndef\n"},
        {"printf '\\nabc\\n\\n' | fold -w 2", "\nab\nc\n\n"},
        {"printf 'ab cd\\n' | fold --width 2", "ab\n c\nd\n"},  // no breaking at spaces
        {"printf 'abc\\n' | fold --width=2 -w 1", "a\nb\nc\n"},  // the last width wins
        // A tab counts as one character (GNU advances to the tab stop), and so does every
        // multi-byte character (GNU counts bytes).
        {"printf 'a\\tbc\\n' | fold -w 2", "a\t\nbc\n"},
        {"printf '\xC3\xA9\xC3\xA9\xC3\xA9\\n' | fold -w 2", "\xC3\xA9\xC3\xA9\n\xC3\xA9\n"},
        {"printf '%0100d\\n' 0 | fold", std::string(80, '0') + "\n" + std::string(20, '0') + "\n"},
    });
}

TEST(FoldCommand, Refusals) {
    expect_cases({
        {"fold -w 0", "", 1, "fold: width must be positive\n"},
        {"fold -w5", "", 1, "fold: unsupported option '-w5'\n"},
        {"fold -5", "", 1, "fold: unsupported option '-5'\n"},
        {"fold -w x", "", 1, "fold: invalid width: x\n"},
        {"fold --width=-1", "", 1, "fold: invalid width: -1\n"},
        {"fold -w", "", 1, "fold: option requires an argument\n"},
        {"fold missing", "", 1, "fold: missing: No such file or directory: missing\n"},
    });
}

TEST(FmtCommand, FillsParagraphsGreedily) {
    expect_cases({
        // Greedy filling (GNU balances the lines: "aaa\nbbb ccc").
        {"printf 'aaa bbb ccc\\n' | fmt -w 10", "aaa bbb\nccc\n"},
        {"printf 'a b\\nc d\\n\\ne f\\n' | fmt", "a b c d\n\ne f\n"},
        // Paragraphs are separated by exactly one empty line (GNU keeps the input's empty lines).
        {"printf 'a\\n\\n\\nb\\n' | fmt", "a\n\nb\n"},
        {"printf 'p\\n\\n' | fmt", "p\n\n\n"},  // an empty last paragraph (GNU: "p\n\n")
        {"printf '   indented   words\\n' | fmt", "indented words\n"},  // GNU keeps the indentation
        {"printf 'abcdefghijkl xy\\n' | fmt -w 5", "abcdefghijkl\nxy\n"},
        {"printf '\xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9\\n' | fmt -w 5", "\xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9\n"},  // characters (GNU: bytes)
        {"printf '' | fmt", ""},
        {"fmt -w 0", "", 1, "fmt: width must be positive\n"},
        {"fmt -u", "", 1, "fmt: unsupported option '-u'\n"},
    });
}

TEST(ExpandCommand, TabsToSpaces) {
    expect_cases({
        {"printf 'a\\tb\\n' | expand", "a       b\n"},
        {"printf 'abcde\\tx\\n' | expand -t 4", "abcde   x\n"},
        {"printf 'a\\tbc\\td\\n\\tx\\n' | expand", "a       bc      d\n        x\n"},
        {"printf 'a\\tb\\n' | expand --tabs=2 -a", "a b\n"},  // -a is accepted and ignored
        {"printf '\xC3\xA9\\tx\\n' | expand -t 4", "\xC3\xA9   x\n"},  // characters (GNU: bytes)
        {"expand -t 4,8", "", 1, "expand: invalid tab size: 4,8\n"},
        {"expand --tabs=x", "", 1, "expand: invalid tab size\n"},
        {"expand -t 0", "", 1, "expand: tab size must be positive\n"},
        {"expand -t", "", 1, "expand: option requires an argument\n"},
        {"expand -i", "", 1, "expand: unsupported option '-i'\n"},
    });
}

TEST(ExpandCommand, HugeTabSizeStopsAtTheOutputBudget) {
    MachineLimits limits = kRoomyLimits;
    limits.output = 1 << 20;
    Machine m = fresh_machine(limits);
    EXPECT_EQ(run_in(m, "printf 'a\\tb\\n' | expand -t 1000000000000").status, 137);
}

TEST(UnexpandCommand, SpacesToTabs) {
    expect_cases({
        {"printf '        x\\n' | unexpand", "\tx\n"},
        {"printf '    x\\n' | unexpand", "    x\n"},
        {"printf '                x  y\\n' | unexpand", "\t\tx  y\n"},
        {"printf '        x       y\\n' | unexpand", "\tx       y\n"},  // only leading blanks
        {"printf '        x       y\\n' | unexpand -a", "\tx\ty\n"},
        {"printf '    x\\n' | unexpand -t 4", "\tx\n"},
        {"printf '          \\n' | unexpand", "\t  \n"},
        // An input tab moves to its tab stop, so later runs are converted where they show.
        {"printf 'ab\\tc     d\\n' | unexpand -a", "ab\tc     d\n"},
        {"printf 'ab\\tc       d\\n' | unexpand -a", "ab\tc\td\n"},
        // A single space ending on a tab stop becomes a tab under -a (GNU leaves it).
        {"printf 'abcdefg x\\n' | unexpand -a", "abcdefg\tx\n"},
        // A leading tab ends the leading blanks (GNU converts the spaces after it too).
        {"printf '\\t        y\\n' | unexpand", "\t        y\n"},
        {"unexpand --tabs=x", "", 1, "unexpand: invalid tab size\n"},
        {"unexpand -t x", "", 1, "unexpand: invalid tab size: x\n"},
        {"unexpand --first-only", "", 1, "unexpand: unsupported option '--first-only'\n"},
    });
}

TEST(ColumnCommand, Table) {
    expect_cases({
        {"printf 'a bb\\nccc d\\n' | column -t", "a    bb\nccc  d\n"},
        {"printf 'name age\\nbob 3\\nalice 42\\n' | column -t", "name   age\nbob    3\nalice  42\n"},
        // Empty cells count (the other column tool merges adjacent separators).
        {"printf 'a,,b\\n' | column -t -s ,", "a    b\n"},
        // Empty and blank lines stay (the other column tool drops or pads them).
        {"printf 'a:b\\n\\nlong:c\\n' | column --table --separator :", "a     b\n\nlong  c\n"},
        {"printf 'x y z\\n   \\nxx\\n' | column -t", "x   y  z\n\nxx\n"},
        {"printf '\xC3\xA9 a\\nbb c\\n' | column -t", "\xC3\xA9   a\nbb  c\n"},
        {"printf 'a  b\\nc' | column", "a  b\nc"},  // without -t: a byte-for-byte copy, no filling
        {"column -s", "", 1, "column: missing separator\n"},
        {"column -t -s ''", "", 1, "column: missing separator\n"},
        {"column -x", "", 1, "column: unsupported option '-x'\n"},
        {"column missing", "", 1, "column: missing: No such file or directory: missing\n"},
    });
}

}  // namespace
}  // namespace tw::command_test
