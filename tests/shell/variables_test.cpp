#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "shell/variables.h"

namespace tw {
namespace {

using Strings = std::vector<std::string>;

ShellArray indexed(std::map<std::uint64_t, std::string> elements) {
    return ShellArray{ShellArray::Indexed{std::move(elements)}};
}
ShellArray associative(std::map<std::string, std::string> elements) {
    return ShellArray{ShellArray::Associative{std::move(elements)}};
}

// The modeled sizes recomputed from the entries.
void expect_sizes_consistent(const ProcessState& ps) {
    std::uint64_t vars = 0, arrays = 0;
    for (const auto& [name, value] : ps.variables) vars = sat_add(vars, variable_entry_size(name, value));
    for (const auto& [name, array] : ps.arrays) arrays = sat_add(arrays, array_entry_size(name, array));
    EXPECT_EQ(ps.variables_size, vars);
    EXPECT_EQ(ps.arrays_size, arrays);
}

TEST(Variables, SpecialParameters) {
    ProcessState ps;
    ps.last_status = -3;
    ps.shell_pid = 1234;
    ps.ppid = 1;
    ps.pid = 1300;
    ps.cwd = "/home";
    ps.shell_name = "sh";
    ps.positional_params = {"a", "b c", "d"};
    EXPECT_EQ(lookup_parameter(ps, "?"), "-3");
    EXPECT_EQ(lookup_parameter(ps, "$"), "1234");
    EXPECT_EQ(lookup_parameter(ps, "PPID"), "1");
    EXPECT_EQ(lookup_parameter(ps, "BASHPID"), "1300");
    EXPECT_EQ(lookup_parameter(ps, "#"), "3");
    EXPECT_EQ(lookup_parameter(ps, "PWD"), "/home");
    EXPECT_EQ(lookup_parameter(ps, "@"), "a b c d");
    EXPECT_EQ(lookup_parameter(ps, "0"), "sh");
    EXPECT_EQ(lookup_parameter(ps, "1"), "a");
    EXPECT_EQ(lookup_parameter(ps, "+2"), "b c");
    EXPECT_EQ(lookup_parameter(ps, "03"), "d");
    EXPECT_EQ(lookup_parameter(ps, "4"), std::nullopt);
    EXPECT_EQ(lookup_parameter(ps, "10"), std::nullopt);
    EXPECT_EQ(lookup_parameter(ps, "99999999999999999999999"), std::nullopt);
    EXPECT_EQ(lookup_parameter(ps, "nothing"), std::nullopt);
    // A variable named PWD is not consulted.
    ps.store_variable("PWD", "/elsewhere");
    EXPECT_EQ(lookup_parameter(ps, "PWD"), "/home");
    // $! is an ordinary variable set by the executor.
    ps.store_variable("!", "1240");
    EXPECT_EQ(lookup_parameter(ps, "!"), "1240");
    ps.positional_params.clear();
    EXPECT_EQ(lookup_parameter(ps, "@"), "");
    EXPECT_EQ(lookup_parameter(ps, "*"), "");
}

TEST(Variables, StarJoinsWithTheFirstCharacterOfIfs) {
    ProcessState ps;
    ps.positional_params = {"a", "b", "c"};
    EXPECT_EQ(lookup_parameter(ps, "*"), "a b c");
    set_variable(ps, "IFS", "");
    EXPECT_EQ(lookup_parameter(ps, "*"), "abc");
    set_variable(ps, "IFS", ":,");
    EXPECT_EQ(lookup_parameter(ps, "*"), "a:b:c");
    set_variable(ps, "IFS", "\xc3\xa9x");
    EXPECT_EQ(lookup_parameter(ps, "*"), "a\xc3\xa9" "b\xc3\xa9" "c");
    set_variable(ps, "IFS", " \t\n");
    EXPECT_EQ(lookup_parameter(ps, "*"), "a b c");
}

TEST(Variables, RandomGenerator) {
    ProcessState ps;
    set_variable(ps, "RANDOM", "7");
    EXPECT_EQ(lookup_parameter(ps, "RANDOM"), "19564");
    EXPECT_FALSE(ps.variables.contains("RANDOM"));
    set_variable(ps, "RANDOM", "x");
    EXPECT_EQ(ps.random_seed, 0u);
    EXPECT_EQ(lookup_parameter(ps, "RANDOM"), "0");
    set_variable(ps, "RANDOM", "+4294967295");
    EXPECT_EQ(ps.random_seed, 4294967295u);
    set_variable(ps, "RANDOM", "4294967296");
    EXPECT_EQ(ps.random_seed, 0u);
    // Every lookup steps the generator and stays within 0..32767.
    set_variable(ps, "RANDOM", "1");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string v = *lookup_parameter(ps, "RANDOM");
        int n = std::stoi(v);
        EXPECT_GE(n, 0);
        EXPECT_LE(n, 32767);
        seen.insert(v);
    }
    EXPECT_GT(seen.size(), 90u);
    // An array named RANDOM goes away too.
    store_array(ps, "RANDOM", indexed({{0, "1"}}));
    set_variable(ps, "RANDOM", "7");
    EXPECT_FALSE(is_array(ps, "RANDOM"));
    expect_sizes_consistent(ps);
}

TEST(Variables, PwdAndOptind) {
    ProcessState ps;
    set_variable(ps, "PWD", "/nowhere");
    EXPECT_EQ(ps.cwd, "/nowhere");
    EXPECT_EQ(ps.variables.at("PWD"), "/nowhere");
    for (const char* text : {"0", "-1", "a", "", "99999999999999999999"}) {
        ps.optind = 7;
        ps.getopts_position = 3;
        set_variable(ps, "OPTIND", text);
        EXPECT_EQ(ps.optind, 1u) << text;
        EXPECT_EQ(ps.getopts_position, 1u) << text;
        EXPECT_EQ(lookup_parameter(ps, "OPTIND"), text);
    }
    set_variable(ps, "OPTIND", "+5");
    EXPECT_EQ(ps.optind, 5u);
    ps.optind = 9;
    store_optind(ps);
    EXPECT_EQ(lookup_parameter(ps, "OPTIND"), "9");
    EXPECT_EQ(ps.optind, 9u);
}

TEST(Variables, GetoptsPosition) {
    ProcessState ps;
    // The word -abc: three letters, positions 1..3 of a cluster of length 4.
    advance_getopts_position(ps, 4);
    EXPECT_EQ(ps.getopts_position, 2u);
    EXPECT_EQ(ps.optind, 1u);
    advance_getopts_position(ps, 4);
    advance_getopts_position(ps, 4);
    EXPECT_EQ(ps.getopts_position, 1u);
    EXPECT_EQ(ps.optind, 2u);
}

TEST(Variables, AssignmentKeepsOneTable) {
    ProcessState ps;
    store_array(ps, "a", indexed({{0, "x"}}));
    set_variable(ps, "a", "s");
    EXPECT_FALSE(is_array(ps, "a"));
    EXPECT_EQ(lookup_parameter(ps, "a"), "s");
    EXPECT_EQ(remove_variable(ps, "a"), "s");
    EXPECT_EQ(remove_variable(ps, "a"), std::nullopt);
    EXPECT_EQ(lookup_parameter(ps, "a"), std::nullopt);
    expect_sizes_consistent(ps);
}

TEST(Variables, ArrayLookups) {
    ProcessState ps;
    store_array(ps, "a", indexed({{0, "x"}, {2, "z"}, {10, "t"}}));
    store_array(ps, "holes", indexed({{5, "y"}}));
    store_array(ps, "m", associative({{"b", "2"}, {"a", "1"}, {"0", "zero"}, {"B", "3"}}));
    EXPECT_EQ(lookup_parameter(ps, "a"), "x");
    EXPECT_EQ(lookup_parameter(ps, "holes"), "");
    EXPECT_EQ(lookup_parameter(ps, "m"), "zero");
    EXPECT_EQ(get_array_element(ps, "a", " 2 "), "z");
    EXPECT_EQ(get_array_element(ps, "a", "+10"), "t");
    EXPECT_EQ(get_array_element(ps, "a", "1"), std::nullopt);
    for (const char* bad : {"-1", "i", "1+1", "", "18446744073709551616"})
        EXPECT_EQ(get_array_element(ps, "a", bad), std::nullopt) << bad;
    EXPECT_EQ(get_array_element(ps, "m", "a"), "1");
    EXPECT_EQ(get_array_element(ps, "m", " a"), std::nullopt);
    EXPECT_EQ(get_array_element(ps, "none", "0"), std::nullopt);
    EXPECT_EQ(array_values(ps, "a"), (Strings{"x", "z", "t"}));
    EXPECT_EQ(array_keys(ps, "a"), (Strings{"0", "2", "10"}));
    EXPECT_EQ(array_keys(ps, "m"), (Strings{"0", "B", "a", "b"}));
    EXPECT_EQ(array_values(ps, "m"), (Strings{"zero", "3", "1", "2"}));
    EXPECT_EQ(array_keys(ps, "none"), Strings{});
    EXPECT_EQ(array_length(ps, "a"), 3u);
    EXPECT_TRUE(is_associative_array(ps, "m"));
    EXPECT_FALSE(is_associative_array(ps, "a"));
    // Arrays are read before scalars; a scalar without an array is not an element.
    set_variable(ps, "s", "v");
    EXPECT_EQ(get_array_element(ps, "s", "0"), std::nullopt);
}

TEST(Variables, ElementOperations) {
    ProcessState ps;
    set_variable(ps, "x", "old");
    ps.export_variable("x");
    ensure_indexed_array(ps, "x");
    EXPECT_EQ(array_values(ps, "x"), Strings{"old"});
    set_array_element(ps, "x", "0", "new");
    EXPECT_EQ(lookup_parameter(ps, "x"), "new");
    // The leftover scalar is what the environment still exports.
    EXPECT_EQ(ps.environment_snapshot().at("x"), "old");
    ps.export_variable("never_assigned");
    EXPECT_FALSE(ps.environment_snapshot().contains("never_assigned"));
    unexport_variable(ps, "x");
    EXPECT_FALSE(ps.environment_snapshot().contains("x"));

    set_array_element(ps, "n", " 3 ", "c");
    set_array_element(ps, "n", "junk", "zero");
    EXPECT_EQ(array_keys(ps, "n"), (Strings{"0", "3"}));
    ensure_indexed_array(ps, "n");  // an existing array stays as it is
    EXPECT_EQ(array_length(ps, "n"), 2u);
    store_array(ps, "m", associative({}));
    set_array_element(ps, "m", " k ", "v");
    set_array_element(ps, "m", " k ", "w");
    EXPECT_EQ(array_keys(ps, "m"), Strings{" k "});
    EXPECT_EQ(array_values(ps, "m"), Strings{"w"});
    expect_sizes_consistent(ps);

    EXPECT_TRUE(unset_array_element(ps, "n", "3"));
    EXPECT_FALSE(unset_array_element(ps, "n", "-1"));
    EXPECT_FALSE(unset_array_element(ps, "n", "i"));
    EXPECT_FALSE(unset_array_element(ps, "m", "k"));
    EXPECT_TRUE(unset_array_element(ps, "m", " k "));
    EXPECT_FALSE(unset_array_element(ps, "nothing", "0"));
    EXPECT_EQ(array_keys(ps, "n"), Strings{"0"});
    expect_sizes_consistent(ps);

    auto removed = remove_array(ps, "n");
    ASSERT_TRUE(removed);
    EXPECT_EQ(std::get<ShellArray::Indexed>(removed->value).elements.at(0), "zero");
    EXPECT_FALSE(remove_array(ps, "n"));
    expect_sizes_consistent(ps);
}

TEST(Variables, ModeledSizes) {
    ProcessState ps;
    set_variable(ps, "ab", "xyz");
    EXPECT_EQ(ps.variables_size, (2u + 48) + (3u + 48));
    // An element of an indexed array counts its tree node as well.
    set_array_element(ps, "arr", "1", "v");
    EXPECT_EQ(ps.arrays_size, (3u + 48) + (1u + 64));
    store_array(ps, "m", associative({{"k", "vv"}}));
    EXPECT_EQ(ps.arrays_size, (3u + 48) + (1u + 64) + (1u + 48) + (1u + 48) + (2u + 48));
    remove_array(ps, "arr");
    remove_array(ps, "m");
    remove_variable(ps, "ab");
    EXPECT_EQ(ps.variables_size, 0u);
    EXPECT_EQ(ps.arrays_size, 0u);

    // A random mix of operations keeps both counts equal to the sums over the entries.
    std::mt19937 rng(42);
    const char* names[] = {"a", "b", "cc", "RANDOM", "PWD", "OPTIND"};
    for (int i = 0; i < 2000; ++i) {
        std::string name = names[rng() % 6];
        std::string value(rng() % 5, 'v');
        switch (rng() % 7) {
        case 0: set_variable(ps, name, value); break;
        case 1: remove_variable(ps, name); break;
        case 2: set_array_element(ps, name, fmt::format("{}", rng() % 4), value); break;
        case 3: unset_array_element(ps, name, fmt::format("{}", rng() % 4)); break;
        case 4: remove_array(ps, name); break;
        case 5: ensure_indexed_array(ps, name); break;
        case 6: store_array(ps, name, associative({{value, value}})); break;
        }
    }
    expect_sizes_consistent(ps);
}

TEST(Variables, SavedVariableSize) {
    SavedVariable none;
    EXPECT_EQ(saved_variable_size(none, 3), 51u);
    SavedVariable scalar{std::string("abcd"), std::nullopt, true};
    EXPECT_EQ(saved_variable_size(scalar, 3), 51u + 52u);
    SavedVariable both{std::string(""), indexed({{0, "xy"}, {5, ""}}), false};
    EXPECT_EQ(saved_variable_size(both, 1), 49u + 48u + 66u + 64u);
    EXPECT_EQ(saved_variable_size(none, kU64Max), kU64Max);
}

TEST(Variables, ShellNames) {
    for (const char* good : {"a", "_", "_x1", "ABC_def9", "x"}) EXPECT_TRUE(is_shell_name(good)) << good;
    for (const char* bad : {"", "1x", "a-b", "a b", "é", "a.b", "a[1]", "$"}) EXPECT_FALSE(is_shell_name(bad)) << bad;
}

TEST(Variables, ArithSubscripts) {
    ProcessState ps;
    store_array(ps, "a", indexed({{0, "x"}, {10, "y"}}));
    EXPECT_EQ(arith_resolve_subscript(ps, "a", 4), 4u);
    // Counting back starts at the highest index plus one, not at the number of elements.
    EXPECT_EQ(arith_resolve_subscript(ps, "a", -1), 10u);
    EXPECT_EQ(arith_resolve_subscript(ps, "a", -2), 9u);
    EXPECT_EQ(arith_resolve_subscript(ps, "a", -11), 0u);
    EXPECT_EQ(arith_resolve_subscript(ps, "a", -12), std::unexpected(std::string("a[-12]: bad array subscript")));
    set_variable(ps, "s", "v");
    EXPECT_EQ(arith_resolve_subscript(ps, "s", -1), 0u);
    store_array(ps, "m", associative({{"k", "1"}, {"j", "2"}}));
    EXPECT_EQ(arith_resolve_subscript(ps, "m", -1), 0u);
    EXPECT_FALSE(arith_resolve_subscript(ps, "unset", -1));
    EXPECT_EQ(arith_resolve_subscript(ps, "unset", std::numeric_limits<std::int64_t>::min()).error(),
              "unset[-9223372036854775808]: bad array subscript");

    ShellArithEnv env(ps);
    EXPECT_TRUE(env.set_element("big", 1048576, 1));
    EXPECT_EQ(env.set_element("big", 1048577, 1).error(), "big[1048577]: array subscript too large");
    EXPECT_EQ(env.get_element("a", -1).value(), "y");
    EXPECT_EQ(env.get_element("a", -2).value(), std::nullopt);
    EXPECT_EQ(env.get_element("a", -11).value(), "x");
    ps.options.nounset = true;
    EXPECT_EQ(env.get_element("a", -2).error(), "a[9]: unbound variable");
    EXPECT_EQ(env.get("nothing").error(), "nothing: unbound variable");
    set_variable(ps, "empty", "");
    EXPECT_EQ(env.get("empty").value(), "");
}

}  // namespace
}  // namespace tw
