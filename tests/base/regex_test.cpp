#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "base/regex.h"

namespace tw {
namespace {

Regex compiled(std::string_view pattern, RegexOptions options = {}) {
    auto r = Regex::compile(pattern, options);
    EXPECT_TRUE(r.has_value()) << pattern << ": " << (r ? "" : error_text(r.error()));
    return std::move(r.value());
}

std::optional<Match> first(const Regex& re, std::string_view subject, std::size_t start = 0,
                           MatchFlags flags = {}) {
    auto r = re.find(subject, start, flags);
    EXPECT_TRUE(r.has_value()) << (r ? "" : error_text(r.error()));
    return r.value_or(std::nullopt);
}

using Spans = std::vector<std::pair<std::size_t, std::size_t>>;

Spans all_spans(const Regex& re, std::string_view subject,
                EmptyAfterMatch rule = EmptyAfterMatch::Allowed) {
    auto r = re.find_all(subject, 0, rule);
    EXPECT_TRUE(r.has_value());
    Spans out;
    for (const Match& m : r.value_or(std::vector<Match>{})) out.emplace_back(m.start(), m.end());
    return out;
}

TEST(Regex, CompileErrorsCarryTheEngineMessageAndOffset) {
    struct Case { std::string pattern; std::size_t offset; };
    const Case cases[] = {{"a(b", 3}, {"ab)", 2}, {"[a", 2}, {"x{2,1}", 5}, {"a**", 2}};
    for (const auto& c : cases) {
        auto r = Regex::compile(c.pattern);
        ASSERT_FALSE(r.has_value()) << c.pattern;
        EXPECT_EQ(r.error().kind, RegexError::Kind::Compile) << c.pattern;
        EXPECT_EQ(r.error().offset, c.offset) << c.pattern;
        EXPECT_FALSE(r.error().message.empty());
        EXPECT_EQ(error_text(r.error()),
                  r.error().message + " at offset " + std::to_string(c.offset));
    }
    EXPECT_EQ(Regex::compile("a(b").error().message, "missing closing parenthesis");
    // In UTF mode the pattern itself must be valid UTF-8; in byte mode any byte goes.
    EXPECT_FALSE(Regex::compile("a\xFF").has_value());
    EXPECT_TRUE(Regex::compile("a\xFF", {.utf = false}).has_value());
}

TEST(Regex, CaselessClassRewriteKeepsErrorOffsets) {
    auto r = Regex::compile("[[:upper:]](", {.caseless = true});
    ASSERT_FALSE(r.has_value());
    auto plain = Regex::compile("[[:upper:]](", {});
    ASSERT_FALSE(plain.has_value());
    EXPECT_EQ(r.error().offset, plain.error().offset);
}

TEST(Regex, CapturesReportSetUnsetAndNamedGroups) {
    const Regex re = compiled("(?<year>\\d+)-(x)?(?<rest>.*)");
    EXPECT_EQ(re.group_count(), 3u);
    auto m = first(re, "on 2024-rest");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->span(), (Span{3, 12}));
    EXPECT_EQ(m->group_count(), 3u);
    EXPECT_EQ(m->text("on 2024-rest", 1), "2024");
    EXPECT_FALSE(m->group(2).matched());
    EXPECT_EQ(m->group(2).start, Span::npos);
    EXPECT_EQ(m->text("on 2024-rest", 2), "");
    EXPECT_EQ(m->named("rest"), (Span{8, 12}));
    EXPECT_FALSE(m->named("nope").matched());
    EXPECT_FALSE(m->group(99).matched());
    EXPECT_EQ(re.group_numbers("year"), (std::vector<std::size_t>{1}));
    ASSERT_EQ(re.named_groups().size(), 2u);
    EXPECT_EQ(re.named_groups()[0].name, "rest");
    EXPECT_EQ(re.named_groups()[0].number, 3u);

    // A repeated name maps to every number; the match answers the group that took part.
    const Regex dup = compiled("(?J)(?<n>a)|(?<n>b)");
    EXPECT_EQ(dup.group_numbers("n"), (std::vector<std::size_t>{1, 2}));
    auto mb = first(dup, "b");
    ASSERT_TRUE(mb);
    EXPECT_EQ(mb->named("n"), (Span{0, 1}));
}

TEST(Regex, OptionsChangeWhatMatches) {
    struct Case {
        std::string pattern;
        RegexOptions options;
        std::string subject;
        bool found;
    };
    const Case cases[] = {
        {"\xC3\x89t\xC3\xA9", {.caseless = true}, "\xC3\xA9T\xC3\x89", true},  // Été / éTÉ
        {"\xC3\x89", {}, "\xC3\xA9", false},
        {"^b", {}, "a\nb", false},
        {"^b", {.multiline = true}, "a\nb", true},
        {"a.b", {}, "a\nb", false},
        {"a.b", {.dotall = true}, "a\nb", true},
        {"a b # comment", {.extended = true}, "ab", true},
        {"b", {.anchored = true}, "ab", false},
        {"a", {.end_anchored = true}, "ab", false},
        {"a$", {}, "a\n", true},
        {"a$", {.dollar_endonly = true}, "a\n", false},
        {"a.c(", {.literal = true}, "xa.c(y", true},
        {"a.c", {.literal = true}, "abc", false},
        {"A.C", {.caseless = true, .literal = true}, "xa.cy", true},
        {"a.c", {.multiline = true, .extended = true, .literal = true}, "a.c", true},
        // \w knows Unicode letters in UTF mode, only ASCII ones otherwise.
        {"^\\w$", {}, "\xC3\xA9", true},
        {"^\\w$", {.ucp = false}, "\xC3\xA9", false},
        // . is one character in UTF mode, one byte in byte mode.
        {"^.$", {}, "\xC3\xA9", true},
        {"^.$", {.utf = false}, "\xC3\xA9", false},
        {"^..$", {.utf = false}, "\xC3\xA9", true},
        {"\\C", {.utf = false}, "x", true},
        // Caseless matching makes [:upper:] and [:lower:] any cased letter, also negated, and
        // only inside a bracket expression.
        {"^[[:upper:]]+$", {.caseless = true}, "ab\xC3\xA9", true},
        {"^[[:lower:]]$", {.caseless = true}, "Q", true},
        {"[^[:upper:]]", {.caseless = true}, "aB", false},
        {"[[:^lower:]]", {.caseless = true}, "1", true},
        {"[[:upper:]]", {}, "a", false},
        {"\\Q[[:upper:]]\\E", {.caseless = true}, "[[:UPPER:]]", true},
        {"[]a[:upper:]]", {.caseless = true}, "b", true},
    };
    for (const auto& c : cases) {
        const Regex re = compiled(c.pattern, c.options);
        auto r = re.matches(c.subject);
        ASSERT_TRUE(r.has_value()) << c.pattern;
        EXPECT_EQ(*r, c.found) << c.pattern << " on " << c.subject;
    }
}

TEST(Regex, InvalidUtf8SubjectsStillMatchInUtfMode) {
    const std::string subject = "ab\xFF\xFE" "cd\xC3";
    const Regex re = compiled("c(d)");
    auto m = first(re, subject);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->span(), (Span{4, 6}));
    // The bad bytes match nothing, not even `.`; matches stop at them.
    EXPECT_EQ(all_spans(compiled(".+"), subject), (Spans{{0, 2}, {4, 6}}));
    // Byte mode sees every byte.
    EXPECT_EQ(all_spans(compiled(".+", {.utf = false}), subject), (Spans{{0, 7}}));
    auto bytes = first(compiled("\xFF\xFE", {.utf = false}), subject);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->span(), (Span{2, 4}));
}

TEST(Regex, FindHonoursStartAndFlags) {
    const Regex re = compiled("\\bb|^a");
    EXPECT_FALSE(first(re, "ab", 1));  // the text before start still counts for \b
    EXPECT_FALSE(first(re, "ab", 0, {.notbol = true}));
    EXPECT_FALSE(first(compiled("a$"), "a", 0, {.noteol = true}));
    EXPECT_FALSE(first(compiled("x*"), "ab", 0, {.notempty = true}));
    auto m = first(compiled("a*"), "ba", 0, {.notempty_atstart = true});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->span(), (Span{1, 2}));
    EXPECT_FALSE(first(re, "ab", 3));  // past the end: no match, no error
    auto end = first(compiled("$"), "ab", 2);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->span(), (Span{2, 2}));
}

TEST(Regex, FullMatchCoversTheWholeSubject) {
    const Regex re = compiled("a|ab");
    auto whole = re.full_match("ab");
    ASSERT_TRUE(whole.has_value());
    ASSERT_TRUE(whole->has_value());
    EXPECT_EQ((*whole)->span(), (Span{0, 2}));
    EXPECT_FALSE(re.full_match("abc").value());
    EXPECT_FALSE(re.full_match("xab").value());
}

TEST(Regex, AllMatchesHandleEmptyMatchesAndCharacters) {
    const Regex star = compiled("a*");
    EXPECT_EQ(all_spans(star, "baaac"), (Spans{{0, 0}, {1, 4}, {4, 4}, {5, 5}}));
    EXPECT_EQ(all_spans(star, "baaac", EmptyAfterMatch::Skipped), (Spans{{0, 0}, {1, 4}, {5, 5}}));
    EXPECT_EQ(all_spans(compiled("b*"), "abc", EmptyAfterMatch::Skipped),
              (Spans{{0, 0}, {1, 2}, {3, 3}}));
    EXPECT_EQ(all_spans(compiled(""), ""), (Spans{{0, 0}}));
    EXPECT_EQ(all_spans(compiled(std::string_view{}), std::string_view{}), (Spans{{0, 0}}));
    // A lazy pattern whose empty match is excluded still gets its non-empty one there.
    EXPECT_EQ(all_spans(compiled("a*?"), "aa"), (Spans{{0, 0}, {0, 1}, {1, 1}, {1, 2}, {2, 2}}));
    // Empty matches step over whole characters: é is two bytes, € three.
    const std::string text = "\xC3\xA9x\xE2\x82\xAC";
    EXPECT_EQ(all_spans(compiled("x*"), text), (Spans{{0, 0}, {2, 3}, {3, 3}, {6, 6}}));
    EXPECT_EQ(all_spans(compiled("x*", {.utf = false}), text, EmptyAfterMatch::Skipped),
              (Spans{{0, 0}, {1, 1}, {2, 3}, {4, 4}, {5, 5}, {6, 6}}));
    // ... and over invalid bytes in UTF mode.
    EXPECT_EQ(all_spans(compiled("x*"), "\xFF\xFE"), (Spans{{0, 0}, {1, 1}, {2, 2}}));

    auto capped = star.find_all("baaac", 0, EmptyAfterMatch::Allowed, 2);
    ASSERT_TRUE(capped.has_value());
    EXPECT_EQ(capped->size(), 2u);
}

TEST(Regex, CursorStopsAndStaysExhausted) {
    const std::string subject = "a1b22c333";
    MatchCursor cursor(compiled("\\d+"), subject, 2);
    std::vector<std::string_view> got;
    while (true) {
        auto r = cursor.next();
        ASSERT_TRUE(r.has_value());
        if (!*r) break;
        got.push_back((*r)->text(subject));
    }
    EXPECT_EQ(got, (std::vector<std::string_view>{"22", "333"}));
    EXPECT_FALSE(cursor.next().value());
    // ^ only matches at the subject start, also for later searches of the same cursor.
    auto lines = compiled("^x").find_all("xxx");
    ASSERT_TRUE(lines.has_value());
    EXPECT_EQ(lines->size(), 1u);
}

// Under a payer, a search gets the steps its bytes pay for and asks for the rest: a plain search
// asks for nothing, a catastrophic one pays until it is refused, and the answers do not change.
TEST(Regex, PaidSearchesAskForTheirSteps) {
    struct Counting final : RegexPayer {
        std::uint64_t paid = 0, left = 0;
        bool pay(std::uint64_t units) override {
            if (units > left) return false;
            left -= units;
            paid += units;
            return true;
        }
    };
    const Regex plain = compiled("b+");
    const Regex bad = compiled("(a|aa)*[0-9]");
    const std::string subject = std::string(30, 'a') + "!bb";
    Counting payer;
    payer.left = std::uint64_t{1} << 40;
    {
        RegexPayScope scope(payer);
        auto found = plain.find(subject);
        ASSERT_TRUE(found.has_value() && found->has_value());
        EXPECT_EQ((*found)->start(), 31u);
        EXPECT_EQ(plain.find_start(subject, 0).value(), std::optional<std::size_t>(31));
        EXPECT_EQ(plain.find_all(subject).value().size(), 1u);
        EXPECT_EQ(payer.paid, 0u);
        // fib(30) paths: far more steps than 33 bytes, paid at two steps a unit.
        auto none = bad.find(subject);
        ASSERT_TRUE(none.has_value());
        EXPECT_FALSE(none->has_value());
        EXPECT_GT(payer.paid, 100'000u);
        payer.left = 1000;
        auto refused = bad.find(subject);
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error().kind, RegexError::Kind::Refused);
        MatchCursor cursor(bad, subject);
        EXPECT_EQ(cursor.next().error().kind, RegexError::Kind::Refused);
    }
    // Without a scope nothing is asked of the payer.
    payer.paid = 0;
    EXPECT_TRUE(bad.find(subject).has_value());
    EXPECT_EQ(payer.paid, 0u);
}

TEST(Regex, CatastrophicPatternsHitALimitInsteadOfHanging) {
    const std::string subject = std::string(40, 'a') + "b";
    for (bool utf : {true, false}) {
        const Regex re = compiled("(a+)+$", {.utf = utf});
        auto r = re.find(subject);
        ASSERT_FALSE(r.has_value()) << utf;
        EXPECT_EQ(r.error().kind, RegexError::Kind::MatchLimit);
        EXPECT_FALSE(error_text(r.error()).empty());
        // The interpreter (used for a whole-subject match) is bounded the same way.
        auto full = re.full_match(subject);
        ASSERT_FALSE(full.has_value());
        EXPECT_EQ(full.error().kind, RegexError::Kind::MatchLimit);
        // The error reaches a cursor's caller too, and ends the cursor.
        MatchCursor cursor(re, subject);
        EXPECT_FALSE(cursor.next().has_value());
        EXPECT_FALSE(cursor.next().value());
    }
}

TEST(Regex, DeepBacktrackingHitsTheDepthOrHeapLimit) {
    // Each repetition of a group is one nested backtracking point, so a long subject needs a
    // deep stack: the JIT's bounded stack runs out, the interpreter's limits stop it.
    const std::string subject(1'000'000, 'a');
    const auto is_stack_limit = [](const RegexError& e) {
        return e.kind == RegexError::Kind::DepthLimit || e.kind == RegexError::Kind::HeapLimit;
    };
    const Regex small = compiled("^(?:a|b)*$");
    auto r = small.find(subject);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(is_stack_limit(r.error())) << error_text(r.error());
    // With many groups every backtracking point is large: memory runs out first.
    std::string many_groups = "^(?:a|b)*$";
    for (int i = 0; i < 300; ++i) many_groups += "()";
    auto big = compiled(many_groups).find(subject);
    ASSERT_FALSE(big.has_value());
    EXPECT_EQ(big.error().kind, RegexError::Kind::HeapLimit) << error_text(big.error());
    // A moderate subject still matches.
    auto fine = small.full_match(std::string(10'000, 'a'));
    ASSERT_TRUE(fine.has_value());
    EXPECT_TRUE(fine->has_value());
}

// Searches reuse match data kept per thread and per expression: a limit hit does not change a
// later answer of the same expression, a repeated limit hit fails the same way, and many
// expressions used in turn (more than are kept) each answer their own matches.
TEST(Regex, ReusedMatchDataKeepsEveryAnswer) {
    const std::string subject(1'000'000, 'a');
    std::string many_groups = "^(?:a|b)*$";
    for (int i = 0; i < 300; ++i) many_groups += "()";
    const Regex big = compiled(many_groups);
    auto r = big.find(subject);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, RegexError::Kind::HeapLimit);
    auto fine = big.find("aac");
    ASSERT_TRUE(fine.has_value());
    EXPECT_FALSE(fine->has_value());
    EXPECT_EQ(big.full_match("abab")->value().group_count(), 300u);
    auto again = big.matches(subject);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().kind, RegexError::Kind::HeapLimit);
    EXPECT_TRUE(*big.matches("abba"));
    std::vector<Regex> res;
    for (int i = 0; i < 9; ++i) res.push_back(compiled(fmt::format("(x{{{}}})(y?)", i + 1)));
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 9; ++i) {
            const std::string text = "-" + std::string(static_cast<std::size_t>(i + 1), 'x') + "-";
            auto m = res[static_cast<std::size_t>(i)].find(text);
            ASSERT_TRUE(m && *m) << i;
            EXPECT_EQ((*m)->group(1), (Span{1, static_cast<std::size_t>(i) + 2})) << i;
            EXPECT_TRUE((*m)->group(2).empty() && (*m)->group(2).matched());
            EXPECT_TRUE(*res[static_cast<std::size_t>(i)].matches(text));
            EXPECT_FALSE(*res[static_cast<std::size_t>(i)].matches("-"));
        }
    }
}

TEST(Regex, CopiesShareCodeAcrossThreads) {
    const Regex re = compiled("(\\w+)@(\\w+)");
    const Regex copy = re;
    EXPECT_EQ(copy, re);
    EXPECT_EQ(copy.pattern(), "(\\w+)@(\\w+)");
    EXPECT_EQ(re, compiled("(\\w+)@(\\w+)"));
    EXPECT_FALSE(re == compiled("(\\w+)@(\\w+)", {.caseless = true}));
    std::vector<int> counts(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const Regex mine = copy;
            for (int i = 0; i < 500; ++i) {
                auto m = mine.find("mail me: user@host now");
                if (m && *m && (*m)->text("mail me: user@host now", 2) == "host") ++counts[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(counts, (std::vector<int>{500, 500, 500, 500}));
}

}  // namespace
}  // namespace tw
