#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/util/options.h"

namespace tw {
namespace {

using Views = std::vector<std::string_view>;

TEST(CommandArgs, SplitsFlagsOperandsAndLongOptions) {
    const std::vector<std::string> args{"-", "-x", "--", "-y", "--"};
    CommandArgs a = CommandArgs::parse(args);
    EXPECT_EQ(a.flags, std::vector<char32_t>{U'x'});
    EXPECT_EQ(a.operands, (Views{"-", "-y", "--"}));

    const std::vector<std::string> more{"-12", "-1x", "-x1", "--=x", "---x", "--a=b=c", "--flag", "", "-é"};
    CommandArgs b = CommandArgs::parse(more);
    EXPECT_EQ(b.operands, (Views{"-12", "-1x", ""}));
    EXPECT_EQ(b.flags, (std::vector<char32_t>{U'x', U'1', U'é'}));
    using Pair = std::pair<std::string_view, std::string_view>;
    EXPECT_EQ(b.long_options, (std::vector<Pair>{{"", "x"}, {"-x", ""}, {"a", "b=c"}, {"flag", ""}}));
    EXPECT_EQ(b.long_value("a"), "b=c");
    EXPECT_TRUE(b.has_long("flag"));
    EXPECT_FALSE(b.has_long("nope"));
}

enum Id { Help, Count, Quiet, Regexp, Color };
constexpr OptionSpec kTable[] = {
    {"help", 0, OptionValue::None, Help},
    {"count", U'c', OptionValue::None, Count},
    {"quiet", U'q', OptionValue::None, Quiet},
    {"silent", 0, OptionValue::None, Quiet},
    {"regexp", U'e', OptionValue::Required, Regexp},
    {"color", U'C', OptionValue::Optional, Color},
};

TEST(ScanOptions, RecognisesTableRowsInArgumentOrder) {
    const std::vector<std::string> args{"-cq", "file", "--regexp=a=b", "-e", "-x", "-eabc", "--silent",
                                        "--color", "-Cauto", "--", "-c"};
    auto r = scan_options(args, kTable);
    ASSERT_TRUE(r.has_value()) << r.error();
    const std::vector<ScannedOption> expected{
        {Count, std::nullopt}, {Quiet, std::nullopt}, {Regexp, "a=b"}, {Regexp, "-x"},
        {Regexp, "abc"},      {Quiet, std::nullopt}, {Color, std::nullopt}, {Color, "auto"},
    };
    EXPECT_EQ(r->options, expected);
    EXPECT_EQ(r->operands, (Views{"file", "-c"}));
    EXPECT_EQ(r->last_value(Regexp), "abc");
    EXPECT_FALSE(r->has(Help));
}

TEST(ScanOptions, Refusals) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--frob"}, "unsupported option '--frob'"},
        {{"-cz"}, "unsupported option '-z'"},
        {{"-5"}, "unsupported option '-5'"},
        {{"--count=3"}, "option '--count' does not take an argument"},
        {{"--regexp"}, "option '--regexp' requires an argument"},
        {{"-ce"}, "option '-e' requires an argument"},
        {{"--frob", "--regexp"}, "unsupported option '--frob'"},
    };
    for (const auto& [args, message] : cases) {
        auto r = scan_options(args, kTable);
        ASSERT_FALSE(r.has_value()) << args[0];
        EXPECT_EQ(r.error(), message);
    }
}

}  // namespace
}  // namespace tw
