#include <gtest/gtest.h>

#include "kernel/machine.h"
#include "shell/assign.h"
#include "shell/expand.h"
#include "shell/variables.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 100'000'000, .memory = 1 << 28, .disk = 1 << 26, .output = 1 << 20};

using Texts = std::vector<std::string>;

class ParamOpsTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);
    ProcessState& st() { return m.states.active_mut(); }
    void set(std::string_view name, std::string value) { set_variable(st(), name, std::move(value)); }
    std::string text(std::string_view word) { return expand_word_text(m, word); }
};

TEST_F(ParamOpsTest, RemovalPicksShortestAndLongest) {
    set("p", "a/b/c.d/e.f.g");
    struct Case {
        const char* word;
        const char* result;
    };
    const Case cases[] = {
        {"${p#*/}", "b/c.d/e.f.g"}, {"${p##*/}", "e.f.g"},  {"${p%/*}", "a/b/c.d"},
        {"${p%%/*}", "a"},          {"${p%.*}", "a/b/c.d/e.f"}, {"${p%%.*}", "a/b/c"},
        {"${p#a?b}", "/c.d/e.f.g"}, {"${p#[!a]}", "a/b/c.d/e.f.g"}, {"${p%[fg]}", "a/b/c.d/e.f."},
        {"${p#\"a/\"}", "b/c.d/e.f.g"}, {"${p##*}", ""},     {"${p%%}", "a/b/c.d/e.f.g"},
    };
    for (const auto& c : cases) EXPECT_EQ(text(c.word), c.result) << c.word;
}

TEST_F(ParamOpsTest, SubstitutionTakesTheLongestMatchAtTheLeftmostPlace) {
    set("s", "aXbXXc");
    struct Case {
        const char* word;
        const char* result;
    };
    const Case cases[] = {
        {"${s/X*X/-}", "a-c"},     {"${s//X/-}", "a-b--c"},   {"${s//X?/-}", "a--c"},
        {"${s/#a*X/-}", "-c"},     {"${s/%X*/-}", "a-"},     {"${s/#X/-}", "aXbXXc"},
        {"${s//[abc]/<&>}", "<a>X<b>XX<c>"},                 {"${s/X/\\&}", "a&bXXc"},
        {"${s//*/Z}", "Z"},        {"${s//}", "aXbXXc"},     {"${s/X}", "abXXc"},
    };
    for (const auto& c : cases) EXPECT_EQ(text(c.word), c.result) << c.word;
    set("e", "");
    EXPECT_EQ(text("${e/*/Z}"), "Z");
    EXPECT_EQ(text("${e//x/Z}"), "");
}

TEST_F(ParamOpsTest, LongValuesStayFastForCommonShapes) {
    std::string big(300000, 'a');
    big += "/name.ext";
    set("f", big);
    EXPECT_EQ(text("${f##*/}"), "name.ext");
    EXPECT_EQ(text("${f%%.*}").size(), big.size() - 4);
    EXPECT_EQ(text("${f%/*}").size(), 300000u);
    EXPECT_EQ(text("${f//a/b}").substr(0, 3), "bbb");
    EXPECT_EQ(text("${#f}"), std::to_string(big.size()));
}

TEST_F(ParamOpsTest, SubstitutionChargesItsInputAndResult) {
    set("s", std::string(1000, 'x'));
    std::uint64_t before = m.meter.cpu_used();
    text("${s//x/y}");
    // The value read, the text searched and the result expanded: 1000 bytes each.
    EXPECT_EQ(m.meter.cpu_used() - before, 3000u);
}

TEST_F(ParamOpsTest, PathologicalMatchingEndsAtTheCpuBudget) {
    Machine small = Machine::build({.cpu = 200'000, .memory = 1 << 28, .disk = 1 << 26, .output = 1 << 20});
    m = small;
    set("x", std::string(100000, 'a'));
    // Every start position scans to the end: quadratic work, stopped by the budget.
    EXPECT_EQ(text("${x//a*b/X}"), "");
    EXPECT_TRUE(m.meter.stop_reason().has_value());
}

TEST_F(ParamOpsTest, SubstringsOfTextsAndLists) {
    set("s", "hello");
    struct Case {
        const char* word;
        const char* result;
    };
    const Case cases[] = {
        {"${s:1}", "ello"}, {"${s:1:2}", "el"}, {"${s: -2}", "lo"}, {"${s:(-2):1}", "l"},
        {"${s:1:-1}", "ell"}, {"${s:-2}", "hello"}, {"${s:10}", ""}, {"${s:2:-5}", ""},
        {"${s: -9}", "hello"}, {"${s:0:0}", ""}, {"${u:1}", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(text(c.word), c.result) << c.word;
    st().shell_name = "sh";
    st().positional_params = {"a", "b", "c"};
    EXPECT_EQ(expand_words(m, "\"${@:0:2}\"", true), (Texts{"sh", "a"}));
    EXPECT_EQ(expand_words(m, "\"${@:2}\"", true), (Texts{"b", "c"}));
    EXPECT_EQ(expand_words(m, "\"${*: -2}\"", true), Texts{"b c"});
    run_assignments(m, "a", "(1 2 3 4)");
    EXPECT_EQ(expand_words(m, "\"${a[@]: -3:2}\"", true), (Texts{"2", "3"}));
}

TEST_F(ParamOpsTest, TransformsAndAttributes) {
    set("x", "it's");
    st().exported_names.insert("x");
    EXPECT_EQ(text("${x@Q}"), "'it'\\''s'");
    EXPECT_EQ(text("${x@a}"), "x");
    EXPECT_EQ(text("${x@A}"), "x='it'\\''s'");
    set("e", "a\\nb");
    EXPECT_EQ(text("${e@E}"), "a\nb");
    set("w", "mIxEd");
    EXPECT_EQ(text("${w@U}${w@L}${w@u}"), "MIXEDmixedMIxEd");
    EXPECT_EQ(text("${w~~}${w~}"), "MiXeDMIxEd");
}

TEST_F(ParamOpsTest, IndirectionAndNameLists) {
    set("target", "value");
    set("ref", "target");
    set("pos", "2");
    st().positional_params = {"one", "two"};
    EXPECT_EQ(text("${!ref}"), "value");
    EXPECT_EQ(text("${!ref/a/A}"), "vAlue");
    EXPECT_EQ(text("${!pos}"), "two");
    set("tx", "1");
    set("ty", "2");
    EXPECT_EQ(text("${!t*}"), "target tx ty");
    run_assignments(m, "arr", "(a b)");
    EXPECT_EQ(text("${!arr[*]}"), "0 1");
    EXPECT_EQ(text("${!tx[@]}"), "0");
}

}  // namespace
}  // namespace tw
