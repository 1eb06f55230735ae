#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/text/text_commands.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "shell/command_outcome.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 20};

struct Result2 {
    std::int32_t status = 0;
    std::string out;
    std::string err;
};

Result2 call(Machine& m, std::int32_t (*handler)(NativeInvocation&, CommandIo&), std::string_view name,
             std::vector<std::string> args) {
    SyscallContext sys(m);
    Bytes in;
    Result2 r;
    CommandIo io{in, r.out, r.err};
    NativeInvocation invocation{sys, name, args, nullptr};
    r.status = handler(invocation, io);
    return r;
}

std::string echo(std::vector<std::string> args) {
    Machine m = Machine::build(kRoomy);
    return call(m, echo_command, "echo", std::move(args)).out;
}

std::string printf_out(std::vector<std::string> args) {
    static Machine m = Machine::build(kRoomy);
    Result2 r = call(m, printf_command, "printf", std::move(args));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
}

TEST(DecodeEscapes, Table) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\\tb", "a\tb"},
        {"\\\\", "\\"},
        {"end\\", "end\\"},
        {"\\a\\b\\e\\f\\n\\r\\v", "\a\b\x1b\f\n\r\v"},
        {"\\x41\\101\\0", std::string("AA\0", 3)},
        {"\\x4g", "\x04g"},
        {"\\xg", "\\xg"},
        {"\\xff", "\xff"},            // one byte, not the UTF-8 form of U+00FF
        {"\\303\\251", "\xc3\xa9"},    // bytes spell a UTF-8 character
        {"\\0101", "\x08" "1"},       // at most three octal digits
        {"\\777x", "x"},              // above 255: nothing
        {"\\c\\q", "\\c\\q"},
        {"é\\n", "é\n"},
    };
    for (const auto& [in, expected] : cases) EXPECT_EQ(decode_escapes(in), expected) << in;
}

TEST(Echo, OptionsAndOperands) {
    EXPECT_EQ(echo({"-n", "-e", "a\\tb"}), "a\tb");
    EXPECT_EQ(echo({"-x", "a"}), "-x a\n");
    EXPECT_EQ(echo({"-e", "\\x41\\101\\0"}), std::string("AA\0\n", 4));
    EXPECT_EQ(echo({"-nn", "a"}), "-nn a\n");
    EXPECT_EQ(echo({"--", "a"}), "-- a\n");
    EXPECT_EQ(echo({"-ne", "x\\n", "-n"}), "x\n -n");
    EXPECT_EQ(echo({"-e", "-E", "a\\tb"}), "a\\tb\n");
    EXPECT_EQ(echo({"-en"}), "");
    EXPECT_EQ(echo({}), "\n");
    EXPECT_EQ(echo({"a", "", "b"}), "a  b\n");
}

TEST(Printf, Formats) {
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    };
    const Case cases[] = {
        {{"%s-%d\\n", "a", "3"}, "a-3\n"},
        {{"%s-%s\\n", "a", "b", "c"}, "a-b\nc-\n"},
        {{"x\\n", "1", "2"}, "x\n"},
        {{"%5.2f|%-4d|%04d|%+d", "3.14159", "7", "-7", "5"}, " 3.14|7   |-007|+5"},
        {{"%x %X %o", "255", "255", "8"}, "ff FF 10"},
        {{"%x", "-1"}, "ffffffffffffffff"},
        {{"%d|%d|%d|%d|%d|%d|%i", "'a", "0x1F", "010", "-0x10", "' ", "\"é", " 7"}, "97|31|8|-16|32|233|7"},
        {{"%x|%o|%u|%X", "'a", "0x1F", "-1", "255"}, "61|37|18446744073709551615|FF"},
        {{"%ld|%lld|%hd|%zu|%jd|%Lf|%hhd", "1", "2", "3", "4", "5", "7.5", "6"}, "1|2|3|4|5|7.500000|6"},
        {{"%.3d|%.0d|%#x|%#o|%#X|%05d", "5", "0", "255", "8", "0", "-42"}, "005||0xff|010|0|-0042"},
        {{"%d|%d", "", "'"}, "0|0"},
        {{"%b|after", "one\\ctwo"}, "one"},
        {{"%b|%s", "a\\tb", "x"}, "a\tb|x"},
        {{"%b", "a\\\\ctwo"}, "a\\ctwo"},
        {{"%.3s", "abcdef"}, "abc"},
        {{"%.2s|%3s|%-3s|", "éèà", "é", "é"}, "éè| é|é |"},
        {{"%c%c", "hello", ""}, "h"},
        {{"%%|%5%", "x"}, "%|    x"},
        {{"%*d|%-*d|%.*f", "4", "1", "-3", "2", "1", "2.25"}, "   1|2  |2.2"},
        {{"%.*s", "-1", "abc"}, "abc"},
        {{"% d|%+ d|% +d", "3", "3", "3"}, " 3|+3|+3"},
        {{"%05s|%-05s", "ab", "ab"}, "000ab|ab   "},
        {{"%e|%E|%g|%G|%.3e|%10.2g|%g|%g|%g", "1234.5", "0.000123", "100000", "1e-5", "3.14159", "1234567", "1e100", "0", "-inf"},
         "1.234500e+03|1.230000E-04|100000|1E-05|3.142e+00|   1.2e+06|1e+100|0|-inf"},
        {{"%#g|%g|%g|%+.2e|% g|%-8e|%G", "1", "0.0001", "123456789", "5", "3", "1", "nan"},
         "1.00000|0.0001|1.23457e+08|+5.00e+00| 3|1.000000e+00|NAN"},
        {{"%q|%q|%q|%q|%q|%q|%q", "a;echo x", "", "~x", "a~b", "#a", "a=~b", "it's"}, "a\\;echo\\ x|''|\\~x|a~b|\\#a|a=\\~b|it\\'s"},
        {{"%q|%q|%5q|", "tab\tx", "\001\033\177", "a"}, "$'tab\\tx'|$'\\001\\E\\177'|    a|"},
        {{"tail %", "x"}, "tail x"},
        {{"%s", "\\n"}, "\\n"},
        {{"%d %d\\n", "1"}, "1 0\n"},
        {{"%s\\c%s", "a", "b"}, "a\\cb"},
        {{"#%#x", "16"}, "#0x10"},
    };
    for (const Case& c : cases) EXPECT_EQ(printf_out(c.args), c.expected) << c.args[0];
    EXPECT_EQ(printf_out({}), "");
    // "--" ends the options; escapes spell bytes.
    EXPECT_EQ(printf_out({"--", "%s\\n", "x"}), "x\n");
    EXPECT_EQ(printf_out({"--"}), "");
    EXPECT_EQ(printf_out({"\\377%b", "\\303\\251"}), "\xff\xc3\xa9");
}

TEST(Printf, InvalidNumbersAreReportedAndStillPrinted) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::string err;
        std::int32_t status;
    };
    const Case cases[] = {
        {{"%d", "abc"}, "0", "printf: abc: invalid number\n", 1},
        {{"%d|%d|%d", " 42 ", "+5", "+-5"}, "42|5|0", "printf:  42 : invalid number\nprintf: +-5: invalid number\n", 1},
        {{"%d", "12abc"}, "12", "printf: 12abc: invalid number\n", 1},
        {{"%.2f|%e", "1e", "x"}, "1.00|0.000000e+00", "printf: 1e: invalid number\nprintf: x: invalid number\n", 1},
        {{"%x", "0xg"}, "0", "printf: 0xg: invalid number\n", 1},
        {{"%d", "99999999999999999999"}, "9223372036854775807",
         "printf: warning: 99999999999999999999: Numerical result out of range\n", 0},
    };
    for (const Case& c : cases) {
        Machine m = Machine::build(kRoomy);
        const Result2 r = call(m, printf_command, "printf", c.args);
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.status, c.status) << c.args[0];
    }
}

TEST(Printf, LongFixedPrecisionKeepsEveryDigit) {
    // Large precisions once lost digits: 1.5 with 1000 decimals came out 1001 bytes long.
    const std::string one_and_half = printf_out({"%.1000f", "1.5"});
    EXPECT_EQ(one_and_half, "1.5" + std::string(999, '0'));
    const std::string big = printf_out({"%.2000f", "1e308"});
    ASSERT_EQ(big.size(), 309u + 1 + 2000);
    EXPECT_TRUE(big.starts_with("100000000000000001097906362944045541740492309677311846336810682903157585404911491537163328978494688899061249669721172515611590283743140088328307009198146046031271664502933027185697489699588559043338384466165001178426897626212945177628091195786707458122783970171784415105291802893207873272974885715430223118336."));
    EXPECT_EQ(printf_out({"%.2f|%f|%08.2f|%-8.1f|%f", "2.675", "nan", "-1.5", "3", "-inf"}), "2.67|nan|-0001.50|3.0     |-inf");
}

TEST(Printf, RefusedMemoryWritesNothing) {
    Machine m = Machine::build(MachineLimits{.cpu = 1'000'000, .memory = 1 << 22, .disk = 1 << 26, .output = 1 << 20});
    const std::uint64_t before = m.meter.memory_current();
    Result2 r = call(m, printf_command, "printf", {"a%.99999999f", "1"});
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(r.out, "");
    Machine w = Machine::build(MachineLimits{.cpu = 1'000'000, .memory = 1 << 22, .disk = 1 << 26, .output = 1 << 20});
    Result2 wide = call(w, printf_command, "printf", {"%99999999999999999999999s", "x"});
    EXPECT_EQ(wide.status, 137);
    EXPECT_EQ(wide.out, "");
    // A width above the field cap but within the memory budget still stops the run.
    Machine capped = Machine::build(kRoomy);
    EXPECT_EQ(call(capped, printf_command, "printf", {"%999999999d", "1"}).status, 137);
    EXPECT_TRUE(capped.meter.stop_reason().has_value());
    // What a successful run charged is given back.
    Machine ok = Machine::build(kRoomy);
    const std::uint64_t ok_before = ok.meter.memory_current();
    EXPECT_EQ(call(ok, printf_command, "printf", {"%10.3f", "1"}).out, "     1.000");
    EXPECT_EQ(ok.meter.memory_current(), ok_before);
    (void)before;
}

TEST(Printf, ThroughDispatch) {
    Machine m = Machine::build(kRoomy);
    Bytes out, err;
    const std::vector<std::string> argv{"printf", "%s-%d\\n", "a", "3"};
    CommandOutcome outcome = m.dispatch_command(argv, {}, out, err);
    EXPECT_EQ(outcome.status(), 0);
    EXPECT_EQ(out, "a-3\n");
    EXPECT_EQ(m.invocations.entries.back().cpu, 25u + 9 + 4);
}

}  // namespace
}  // namespace tw
