// sort. Expected outputs agree with `LC_ALL=C sort` unless a case says how they differ on
// purpose: -f compares lowercase forms.
#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "commands/text/layout_commands.h"
#include "commands/text/line_order.h"
#include "commands/registry/registry.h"
#include "kernel/syscalls.h"
#include "case_fixture.h"

namespace tw::command_test {
namespace {

TEST(SortCommand, Records) {
    expect_cases({
        {"printf 'b\\na\\nc\\n' | sort", "a\nb\nc\n"},
        {"printf 'b\\na' | sort", "a\nb\n"},  // a missing final separator is added
        {"printf '' | sort", ""},
        {"printf 'a\\nB\\nb\\nA\\n' | sort", "A\nB\na\nb\n"},
        {"printf 'x\\n\\ny\\n\\n' | sort", "\n\nx\ny\n"},
        {"printf 'ab\\na\\nabc\\n' | sort", "a\nab\nabc\n"},
        {"printf 'b\\na\\nb\\nc\\na\\n' | sort -u", "a\nb\nc\n"},
        {"printf 'b\\na\\nc\\n' | sort -r", "c\nb\na\n"},
        {"printf 'b\\na\\n' > f; printf 'c\\n' > g; sort g - f < f", "a\na\nb\nb\nc\n"},
        {"printf 'b\\0a\\0c' | sort -z", std::string("a\0b\0c\0", 6)},
        {"printf 'b\\na\\0c\\n\\0' | sort -z", std::string("b\na\0c\n\0", 7)},
        // Keys are compared after decoding: an invalid byte becomes U+FFFD (EF BF BD), which sorts
        // before U+FFFE; the records themselves are written unchanged.
        {"sort", "\xFE\n\xEF\xBF\xBE\n", 0, "", "\xEF\xBF\xBE\n\xFE\n"},
    });
}

// Whole lines are first told apart by their first eight bytes: lines equal there, lines shorter
// than eight bytes, and a NUL byte that looks like the padding of a short line.
TEST(SortCommand, LinesSharingTheirFirstEightBytes) {
    using namespace std::string_literals;
    const std::string input = "abcdefghZ\nabcdefghA\nabc\x00" "d\nabc\nab\nabcdefgh\nabcdefghA\n"s;
    const std::string sorted = "ab\nabc\nabc\x00" "d\nabcdefgh\nabcdefghA\nabcdefghA\nabcdefghZ\n"s;
    const std::string reversed = "abcdefghZ\nabcdefghA\nabcdefghA\nabcdefgh\nabc\x00" "d\nabc\nab\n"s;
    const std::string unique = "ab\nabc\nabc\x00" "d\nabcdefgh\nabcdefghA\nabcdefghZ\n"s;
    expect_cases({
        {"sort", sorted, 0, "", input},
        {"sort -r", reversed, 0, "", input},
        {"sort -u", unique, 0, "", input},
    });
}

TEST(SortCommand, Numeric) {
    expect_cases({
        {"printf '10\\n9\\nx\\n2.5\\n' | sort -n", "x\n2.5\n9\n10\n"},
        // Equal numbers are ordered by the whole line, unless -u or -s keeps the input order.
        {"printf '1\\n01\\n' | sort -n", "01\n1\n"},
        {"printf '01\\n1\\n' | sort -n", "01\n1\n"},
        {"printf '1\\n01\\n' | sort -n -u", "1\n"},
        {"printf '1\\n01\\n' | sort -n -s", "1\n01\n"},
        {"printf '5\\n3\\n5\\n1\\n' | sort -n -r -u", "5\n3\n1\n"},
        {"printf '3\\n-1\\n0.5\\n-0\\n' | sort -n", "-1\n-0\n0.5\n3\n"},
        // The number is the leading digits of the key: 2e1 is 2, inf is 0, 12abc is 12.
        {"printf '3\\n2e1\\n-inf\\ninf\\n1e-3\\n' | sort -n", "-inf\ninf\n1e-3\n2e1\n3\n"},
        {"printf '  7\\n12abc\\n' | sort -n", "  7\n12abc\n"},
    });
}

TEST(SortCommand, Keys) {
    expect_cases({
        {"printf 'x 3\\ny 1\\nz 2\\n' | sort -k 2,2", "y 1\nz 2\nx 3\n"},
        {"printf 'x 3\\ny 1\\nz 2\\n' | sort -k 2,2n", "y 1\nz 2\nx 3\n"},
        {"printf 'x:10\\ny:9\\nz:2\\n' | sort -t: -k2,2n", "z:2\ny:9\nx:10\n"},
        {"printf 'x:10\\ny:9\\nz:2\\n' | sort -t : --key=2n", "z:2\ny:9\nx:10\n"},
        {"printf 'x:10\\ny:9\\nz:2\\n' | sort --field-separator=: -k 2,2n", "z:2\ny:9\nx:10\n"},
        // -kN runs to the end of the line, its leading blanks included; ties go to the whole line.
        {"printf 'b 1 z\\na 1 y\\n' | sort -k 2", "a 1 y\nb 1 z\n"},
        {"printf 'b  1\\na 2\\n' | sort -k 2", "b  1\na 2\n"},
        // The key's own r orders keys descending; the last-resort order stays ascending. The
        // global -r reverses the comparison, last resort included.
        {"printf 'b 1\\na 1\\nc 0\\n' | sort -k 2r", "a 1\nb 1\nc 0\n"},
        {"printf 'b 1\\na 1\\nc 0\\n' | sort -k 2 -r", "b 1\na 1\nc 0\n"},
        {"printf 'b 1\\na 1\\nc 2\\n' | sort -s -r -k 2", "c 2\nb 1\na 1\n"},
        {"printf 'b 1\\na 1\\nc 0\\n' | sort -k 2,2r -u", "b 1\nc 0\n"},
        {"printf 'a b\\nc\\n' | sort -k 3", "a b\nc\n"},  // fewer fields: an empty key
        {"printf 'c b\\na\\n' | sort -k 3", "a\nc b\n"},
        // Several keys apply in order.
        {"printf 'c 3\\nb 2\\nd 2\\n' | sort -k2,2n -k1,1", "b 2\nd 2\nc 3\n"},
        {"printf 'x:3:b\\ny:1:a\\nz:1:c\\n' | sort -t: -k2,2n -k3r", "z:1:c\ny:1:a\nx:3:b\n"},
        {"printf 'a 2 x\\nb 1 y\\nc 1 x\\n' | sort -k 2,3", "c 1 x\nb 1 y\na 2 x\n"},
        {"printf 'x::b\\ny:a:a\\n' | sort -t : -k 2", "x::b\ny:a:a\n"},  // an empty field
        {"printf 'x:b\\ny:A\\n' | sort -t : -k 2f", "y:A\nx:b\n"},
        {"printf 'a\xE2\x86\x92z\\nb\xE2\x86\x92y\\n' | sort -t '\xE2\x86\x92' -k 2",
         "b\xE2\x86\x92y\na\xE2\x86\x92z\n"},
    });
}

TEST(SortCommand, IgnoreCase) {
    expect_cases({
        {"printf 'B\\nc\\nb\\n' | sort -f", "B\nb\nc\n"},
        {"printf 'b\\nB\\nc\\n' | sort -f", "B\nb\nc\n"},
        {"printf 'B\\nc\\nb\\n' | sort -f -u", "B\nc\n"},
        // Lowercase forms (GNU folds to uppercase and puts _ after the letters).
        {"printf 'a\\n_\\n' | sort -f", "_\na\n"},
        {"printf '\xC3\x89" "b\\n\xC3\xA9" "a\\n' | sort -f", "\xC3\xA9" "a\n\xC3\x89" "b\n"},
    });
}

TEST(SortCommand, Output) {
    Machine m = fresh_machine();
    Ran r = run_in(m, "printf 'b\\na\\n' > f; sort -o f f; cat f");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "a\nb\n");  // the inputs are read before the output is written
    r = run_in(m, "printf 'd\\nc\\n' | sort - --output out -o out2; cat out2; cat out");
    EXPECT_EQ(r.out, "c\nd\n");  // the last -o wins (GNU refuses two)
    EXPECT_EQ(r.err, "cat: out: No such file or directory: out\n");
    r = run_in(m, "sort -o /tmp f");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "sort: /tmp: Is a directory: /tmp\n");
    EXPECT_EQ(r.out, "");
}

TEST(SortCommand, OptionsAndRefusals) {
    expect_cases({
        {"sort -k 0", "", 2, "sort: unsupported field specification '0'\n"},
        {"sort -k 2.1", "", 2, "sort: unsupported field specification '2.1'\n"},
        {"sort -k 2b", "", 2, "sort: unsupported field specification '2b'\n"},
        {"sort -k 2,2,2", "", 2, "sort: unsupported field specification '2,2,2'\n"},
        {"sort -k 99999999999999999999", "", 2, "sort: unsupported field specification '99999999999999999999'\n"},
        {"sort -t ab", "", 2, "sort: field separator must be one character\n"},
        {"sort -t ''", "", 2, "sort: field separator must be one character\n"},
        {"sort -q", "", 2, "sort: unsupported option '-q'\n"},
        {"sort --frob", "", 2, "sort: unsupported option '--frob'\n"},
        {"sort --reverse=yes", "", 2, "sort: option '--reverse' does not take an argument\n"},
        {"sort -k", "", 2, "sort: option '-k' requires an argument\n"},
        {"sort --key", "", 2, "sort: option '--key' requires an argument\n"},
        {"sort missing", "", 1, "sort: missing: No such file or directory: missing\n"},
        {"printf 'b\\na\\n' | sort -- -", "a\nb\n"},
        {"sort -n --help -k 9,8",
         "usage: sort [OPTIONS] [FILE...]\nsupported: -n -r -u -z -f -s -k KEY -t CHAR -o FILE\n"},
    });
}

// A stable sort of many records with many equal keys, checked against a reference.
TEST(SortCommand, StableOnManyRecords) {
    std::string input;
    std::vector<std::pair<int, int>> rows;
    std::uint32_t s = 12345;
    for (int i = 0; i < 3000; ++i) {
        s = s * 1103515245u + 12345u;
        const int key = static_cast<int>((s >> 16) % 50);
        rows.emplace_back(key, i);
        input += fmt::format("{}:{}\n", i, key);
    }
    std::ranges::stable_sort(rows, [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string expected;
    for (const auto& [key, i] : rows) expected += fmt::format("{}:{}\n", i, key);
    Ran r = run("sort -s -t : -k 2n", input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);

    // The key's r with -s orders the keys descending and keeps equal keys in input order; the
    // global -r would not apply to a key that has letters of its own.
    std::ranges::stable_sort(rows, [](const auto& a, const auto& b) { return a.first > b.first; });
    std::string reversed;
    for (const auto& [key, i] : rows) reversed += fmt::format("{}:{}\n", i, key);
    EXPECT_EQ(run("sort -s -t : -k 2nr", input).out, reversed);
    EXPECT_EQ(run("sort -s -t : -k 2n -r", input).out, expected);
}

// The byte ordering of whole lines against a comparison sort, on lines that share long prefixes,
// hold NUL and high bytes, end inside and at the edges of eight-byte words, and repeat.
TEST(SortCommand, ByteOrderOfManyLinesMatchesAComparisonSort) {
    std::string text;
    std::vector<LineAt> lines;
    std::uint32_t s = 777;
    const auto next = [&s] { return (s = s * 1103515245u + 12345u) >> 16; };
    constexpr std::string_view kBytes("\0\x01" "ab" "\x7F\x80\xFF", 7);
    const std::string shared(21, 'p');
    for (int i = 0; i < 20000; ++i) {
        std::string line = next() % 2 == 0 ? shared.substr(0, next() % 22) : "";
        for (std::uint32_t k = next() % 19; k > 0; --k) line += kBytes[next() % kBytes.size()];
        if (i % 9 == 0 && !lines.empty()) line = text.substr(lines.back().offset, lines.back().size);
        lines.push_back({0, text.size(), line.size()});
        text += line;
    }
    std::vector<std::string_view> expected;
    for (const LineAt& line : lines) expected.push_back(std::string_view(text).substr(line.offset, line.size));
    std::ranges::sort(expected);
    order_lines_by_bytes(text, lines);
    std::vector<std::string_view> got;
    for (const LineAt& line : lines) got.push_back(std::string_view(text).substr(line.offset, line.size));
    EXPECT_TRUE(got == expected);
}

// A key that is no number counts 0. The merge sort gives one well-defined order and keeps every
// record.
TEST(SortCommand, NumericWithNanKeys) {
    Ran r = run("printf '3\\nnan\\n1\\n2\\n' | sort -n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "nan\n1\n2\n3\n");

    std::string input;
    for (int i = 0; i < 2000; ++i) input += (i % 7 == 3) ? "nan\n" : fmt::format("{}\n", (i * 7919) % 1000);
    Ran first = run("sort -n", input);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, run("sort -n", input).out);
    std::vector<std::string> in_lines, out_lines;
    for (std::size_t a = 0, b; (b = input.find('\n', a)) != std::string::npos; a = b + 1) in_lines.push_back(input.substr(a, b - a));
    for (std::size_t a = 0, b; (b = first.out.find('\n', a)) != std::string::npos; a = b + 1)
        out_lines.push_back(first.out.substr(a, b - a));
    std::ranges::sort(in_lines);
    std::ranges::sort(out_lines);
    EXPECT_EQ(in_lines, out_lines);  // a permutation: nothing lost, nothing doubled

    // -u drops a record only when its key equals the key of the last record written.
    EXPECT_EQ(run("printf '1\\nnan\\n2\\n' | sort -n -u").out, "nan\n1\n2\n");
}

TEST(SortCommand, ChargesAndReleasesItsWorkingMemory) {
    Machine m = fresh_machine();
    ASSERT_EQ(run_in(m, "seq 5000 > big").status, 0);
    const std::uint64_t memory_before = m.meter.memory_current();
    const std::uint64_t peak_before = m.meter.memory_peak();
    Ran r = run_in(m, "sort -r big -o sorted");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(m.meter.memory_current(), memory_before);
    // 24 bytes per record and three times the input were held while sorting.
    const std::uint64_t length = 5000 * 5 - 9 - 90 - 900;
    EXPECT_GE(m.meter.memory_peak(), std::max(peak_before, memory_before + 24 * 5001 + 3 * length));

    MachineLimits tight = kRoomyLimits;
    tight.memory = 4 << 20;
    Machine small = fresh_machine(tight);
    ASSERT_EQ(run_in(small, "seq 300000 > big").status, 0);
    r = run_in(small, "sort big");
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// A standard input is sorted once it has all arrived and written a piece a step: the output
// equals the file's, the working memory is given back, and an early reader ends it.
TEST(SortCommand, WritesASortedStandardInputInPieces) {
    Machine m = fresh_machine();
    ASSERT_EQ(run_in(m, "seq 300000 | sed 's/$/ x/' > big").status, 0);
    for (const char* options : {"", "-r", "-u"}) {
        SCOPED_TRACE(options);
        const Ran whole = run_in(m, fmt::format("sort {} big", options));
        const std::uint64_t memory_before = m.meter.memory_current();
        const Ran piped = run_in(m, fmt::format("cat big | sort {}", options));
        EXPECT_EQ(piped.status, 0) << piped.err;
        EXPECT_TRUE(piped.out == whole.out);
        EXPECT_EQ(m.meter.memory_current(), memory_before);
        EXPECT_GT(whole.out.size(), std::size_t{2} << 20);
    }
    const Ran head = run_in(m, "cat big | sort | head -n 2");
    EXPECT_EQ(head.out, "1 x\n10 x\n");
    EXPECT_EQ(head.status, 0);
}

// Called directly, as a nested dispatch does: no live standard input, so the handlers finish in
// their first call on the input they were given.
TEST(SortCommand, NestedDispatchFinishesInOneCall) {
    Machine m = fresh_machine();
    SyscallContext sys(m);
    const auto call = [&](SuspendableNativeHandler handler, std::vector<std::string> args, std::string input) {
        Bytes in = std::move(input), out, err;
        CommandIo io{in, out, err};
        NativeInvocation invocation{sys, "cmd", args, nullptr};
        NativeStep step = NativeStep::yield();
        handler(step, invocation, io);
        EXPECT_TRUE(step.is_finished());
        EXPECT_EQ(step.status, 0);
        EXPECT_EQ(err, "");
        return out;
    };
    EXPECT_EQ(call(&sort_command, {"-r"}, "a\nc\nb\n"), "c\nb\na\n");
    EXPECT_EQ(call(&comm_command, {"-3", "-", "-"}, "a\n"), "");
    EXPECT_EQ(call(&fold_command, {"-w", "2"}, "abc"), "ab\nc");
}

}  // namespace
}  // namespace tw::command_test
