// rev, nl and seq. Expected outputs agree with the GNU tools (LC_ALL=C.UTF-8) unless a case says
// how they differ on purpose.
#include <string>

#include "case_fixture.h"

namespace tw::command_test {
namespace {

TEST(RevCommand, ReversesCharactersOfEachLine) {
    expect_cases({
        {"printf 'abc\\nde\\n' | rev", "cba\ned\n"},
        {"printf 'abc\\nde' | rev", "cba\ned"},  // a last line without a line feed stays without one
        {"printf '' | rev", ""},
        {"printf 'h\xC3\xA9llo\\n' | rev", "oll\xC3\xA9h\n"},  // characters, not bytes
        {"printf 'ab\\r\\n' | rev", "\rba\n"},                  // a carriage return is an ordinary character
        {"rev", "b\xEF\xBF\xBD" "a\n", 0, "", "a\xFF" "b\n"},  // invalid UTF-8 becomes U+FFFD
        {"printf 'xy\\n' > f; rev f - f < f", "yx\nyx\nyx\n"},
        {"rev -x missing", "", 1, "rev: missing: No such file or directory: missing\n"},
    });
}

TEST(NlCommand, NumbersNonEmptyLines) {
    expect_cases({
        {"printf 'a\\nb\\nc\\n' | nl", "     1\ta\n     2\tb\n     3\tc\n"},
        // GNU nl pads an empty line to the number column (seven spaces); here it stays empty.
        {"printf 'a\\n\\nb\\n' | nl", "     1\ta\n\n     2\tb\n"},
        {"printf 'a\\n  \\nb' | nl", "     1\ta\n     2\t  \n     3\tb\n"},
        {"printf 'a\\r\\n' | nl", "     1\ta\n"},
        // Options are refused rather than ignored.
        {"printf 'a\\n\\nb\\n' | nl -ba", "", 2, "nl: unimplemented option '-ba'\n"},
        {"printf 'a\\n\\nb\\n' | nl -b a", "", 2, "nl: unimplemented option '-b'\n"},
        {"nl --number-width=3", "", 2, "nl: unimplemented option '--number-width=3'\n"},
        {"nl missing", "", 1, "nl: missing: No such file or directory: missing\n"},
    });
}

TEST(SeqCommand, Sequences) {
    expect_cases({
        {"seq 3", "1\n2\n3\n"},
        {"seq 5 1", ""},
        {"seq 1 -1 -3", "1\n0\n-1\n-2\n-3\n"},
        {"seq -3 -1", "-3\n-2\n-1\n"},
        {"seq 2 2 10", "2\n4\n6\n8\n10\n"},
        // Values accumulate by addition and print in their shortest form (GNU prints 0.0 0.1 0.2 0.3).
        // Decimal operands: first + i * increment, with as many decimals as the first value or the
        // increment has.
        {"seq 0 0.1 0.3", "0.0\n0.1\n0.2\n0.3\n"},
        {"seq 3 .3 4", "3.0\n3.3\n3.6\n3.9\n"},
        {"seq 1 0.25 2", "1.00\n1.25\n1.50\n1.75\n2.00\n"},
        {"seq 1 2.50", "1\n2\n"},
        {"seq 0.9 0.1 1e0", "0.9\n1.0\n"},
        {"seq 10 -.5 8", "10.0\n9.5\n9.0\n8.5\n8.0\n"},
        {"seq 1.5 3", "1.5\n2.5\n"},
        {"seq 1 0.5 2", "1.0\n1.5\n2.0\n"},
        {"seq 1e2 1e2 3e2", "100\n200\n300\n"},
        {"seq 0.000001 0.000001", "0.000001\n"},  // never an exponent
        {"seq -0.5 0.5 0", "-0.5\n0.0\n"},
        {"seq +2 3", "2\n3\n"},
        // A finite value the increment cannot change is printed once, not until a budget runs out.
        {"seq 1e17 1e17", "100000000000000000\n"},
        {"seq 1e300 1e300", "9223372036854775807\n"},  // integers saturate at the 64-bit limit
        {"seq 9007199254740992 9007199254740994", "9007199254740992\n"},
        {"seq 1 1e-20 2", "1\n"},
    });
}

TEST(SeqCommand, Refusals) {
    expect_cases({
        {"seq -w 5", "", 2, "seq: unimplemented option\n"},
        {"seq 5 -s ,", "", 2, "seq: unimplemented option\n"},  // every argument is checked first
        {"seq -- 5", "", 2, "seq: unimplemented option\n"},
        {"seq x", "", 1, "seq: invalid floating point argument\n"},
        {"seq ' 1'", "", 1, "seq: invalid floating point argument\n"},
        {"seq 'nan(1)'", "", 1, "seq: invalid floating point argument\n"},
        {"seq 1 2 3 4", "", 1, "seq: missing or extra operand\n"},
        {"seq", "", 1, "seq: missing or extra operand\n"},
        {"seq 1 0 5", "", 1, "seq: zero increment\n"},
        {"seq 1 nan 5", "", 1, "seq: zero increment\n"},
    });
}

TEST(SeqCommand, EndlessSequenceStopsAtTheOutputBudget) {
    MachineLimits limits = kRoomyLimits;
    limits.output = 4000;
    Machine m = fresh_machine(limits);
    EXPECT_EQ(run_in(m, "seq 1 inf").status, 137);
}

TEST(SeqCommand, EndlessSequenceStopsAtTheWorkBudget) {
    MachineLimits limits = kRoomyLimits;
    limits.cpu = 200'000;
    Machine m = fresh_machine(limits);
    Ran r = run_in(m, "seq inf -1 -inf");
    EXPECT_EQ(r.status, 137);
}

TEST(RevNlCommands, InputArrivingThroughAPipeInChunks) {
    // More than one 4096-byte chunk of standard input reaches each command whole.
    Ran r = run("seq 3000 | rev | rev | nl");
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("     1\t1\n     2\t2\n"));
    EXPECT_TRUE(r.out.ends_with("  2999\t2999\n  3000\t3000\n"));
}

}  // namespace
}  // namespace tw::command_test
