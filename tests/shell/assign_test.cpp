#include <gtest/gtest.h>

#include "kernel/machine.h"
#include "shell/assign.h"
#include "shell/ast.h"
#include "shell/expand.h"
#include "shell/variables.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 1'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};

using Texts = std::vector<std::string>;

class AssignTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);
    ProcessState& st() { return m.states.active_mut(); }

    void run(std::string_view text) {
        std::size_t eq = text.find('=');
        run_assignments(m, text.substr(0, eq), text.substr(eq + 1));
    }
    // "index=value" pairs of an array, in order.
    Texts elements(std::string_view name) {
        Texts out;
        auto keys = array_keys(st(), name);
        auto values = array_values(st(), name);
        for (std::size_t i = 0; i < keys.size(); ++i) out.push_back(keys[i] + "=" + values[i]);
        return out;
    }
    std::string pending() {
        auto& e = st().pending_error;
        return e && e->message ? *e->message : std::string();
    }
};

TEST_F(AssignTest, ScalarsAndAppending) {
    run("x=1");
    run("x+=2");
    EXPECT_EQ(lookup_parameter(st(), "x"), "12");
    run("y+=new");
    EXPECT_EQ(lookup_parameter(st(), "y"), "new");
    run("a=(p)");
    run("a+=q");
    EXPECT_EQ(elements("a"), Texts{"0=pq"});
    // Values are not split, not globbed and not brace-expanded; tilde works after = and :.
    st().positional_params = {"1", "2"};
    run("v=$@ * {a,b} \"q  r\"");
    EXPECT_EQ(lookup_parameter(st(), "v"), "1 2 * {a,b} q  r");
    run("p=~/bin:~/x");
    EXPECT_EQ(lookup_parameter(st(), "p"), "/root/bin:/root/x");
    run("PWD=/tmp");
    EXPECT_EQ(st().cwd, "/tmp");
}

TEST_F(AssignTest, ElementsWithArithmeticSubscripts) {
    run("a[2]=z");
    EXPECT_EQ(elements("a"), Texts{"2=z"});
    remove_array(st(), "a");
    run("a[i]=z");
    EXPECT_EQ(elements("a"), Texts{"0=z"});
    remove_array(st(), "a");
    run("i=3");
    run("a[$i]=z");
    run("a[i+1]=w");
    run("a[i]+=!");
    EXPECT_EQ(elements("a"), (Texts{"3=z!", "4=w"}));
    run("b=(1 2 3)");
    run("b[-1]=z");
    EXPECT_EQ(elements("b"), (Texts{"0=1", "1=2", "2=z"}));
    run("c[-1]=z");
    EXPECT_EQ(pending(), "tarnwick: c[-1]: bad array subscript\n");
    EXPECT_FALSE(is_array(st(), "c"));
}

TEST_F(AssignTest, Lists) {
    struct Case {
        const char* value;
        Texts elements;
    };
    const Case cases[] = {
        {"(x y z)", {"0=x", "1=y", "2=z"}},
        {"(x [5]=y z)", {"0=x", "5=y", "6=z"}},
        {"([5]=y [2]=x z)", {"2=x", "3=z", "5=y"}},
        {"()", {}},
        {"(\"p q\" r)", {"0=p q", "1=r"}},
        {"( a\n  # a comment\n  b )", {"0=a", "1=b"}},
        {"($u '' $e)", {"0="}},
        {"({1..3})", {"0=1", "1=2", "2=3"}},
        {"([1+1]=two)", {"2=two"}},
    };
    for (const auto& c : cases) {
        run(std::string("a=") + c.value);
        EXPECT_EQ(elements("a"), c.elements) << c.value;
    }
    run("a=(x [5]=y z)");
    run("a+=(w)");
    EXPECT_EQ(elements("a"), (Texts{"0=x", "5=y", "6=z", "7=w"}));
    // Appending a list to a scalar keeps the scalar as element 0.
    run("s=5");
    run("s+=(q)");
    EXPECT_EQ(elements("s"), (Texts{"0=5", "1=q"}));
}

TEST_F(AssignTest, ListsMatchFilesAndSplitFields) {
    ASSERT_TRUE(m.vfs.write_file("/tmp/b.txt", "", 0644).has_value());
    ASSERT_TRUE(m.vfs.write_file("/tmp/a.txt", "", 0644).has_value());
    st().cwd = "/tmp";
    run("v='1 2'");
    run("a=(*.txt $v \"$v\")");
    EXPECT_EQ(elements("a"), (Texts{"0=a.txt", "1=b.txt", "2=1", "3=2", "4=1 2"}));
}

TEST_F(AssignTest, AssociativeArrays) {
    store_array(st(), "m", ShellArray{ShellArray::Associative{}});
    run("k=key");
    run("m=([k]=v [j]=w [$k]=\"x y\")");
    EXPECT_EQ(elements("m"), (Texts{"j=w", "k=v", "key=x y"}));
    run("m[a b]=c");
    EXPECT_EQ(lookup_parameter_for_expansion(m, "m[a b]"), "c");
    run("m=(x)");
    EXPECT_EQ(elements("m"), Texts{});
    EXPECT_TRUE(is_associative_array(st(), "m"));
}

TEST_F(AssignTest, ReadOnlyNamesAreRefusedWithoutEndingTheShell) {
    run("r=0");
    st().readonly_names.insert("r");
    run("r=1");
    EXPECT_EQ(pending(), "tarnwick: r: readonly variable\n");
    EXPECT_FALSE(st().pending_error->fatal);
    EXPECT_EQ(lookup_parameter(st(), "r"), "0");
    run("r[1]=1");
    run("r=(1)");
    EXPECT_FALSE(is_array(st(), "r"));
}

TEST(ArrayAssignmentWord, Recognition) {
    for (const char* yes : {"a[1]=x", "a=(x)", "a+=(x)", "a= (x)", "a[i+1]+=y"}) EXPECT_TRUE(is_array_assignment_word(yes)) << yes;
    for (const char* no : {"a=x", "1a=(x)", "=(x)", "a[1]b=x", "a", "a-b=(x)"})
        EXPECT_FALSE(is_array_assignment_word(no)) << no;
}

TEST_F(AssignTest, PrefixAssignmentsAreExportedAndRestored) {
    run("x=5");
    std::vector<Assignment> prefix{{"x", "1"}, {"y", "$x"}, {"z+", "-more"}};
    run("z=base");
    RestoreList saved = apply_prefix_assignments(m, prefix);
    // Values are expanded before any is assigned: y sees the old x.
    EXPECT_EQ(lookup_parameter(st(), "x"), "1");
    EXPECT_EQ(lookup_parameter(st(), "y"), "5");
    EXPECT_EQ(lookup_parameter(st(), "z"), "base-more");
    auto env = st().environment_snapshot();
    EXPECT_EQ(env["x"], "1");
    EXPECT_EQ(env["y"], "5");
    ASSERT_EQ(saved.size(), 3u);
    restore_variables(st(), saved);
    EXPECT_EQ(lookup_parameter(st(), "x"), "5");
    EXPECT_FALSE(lookup_parameter(st(), "y"));
    EXPECT_EQ(lookup_parameter(st(), "z"), "base");
    // Names that were not exported lose the mark again: a later y=3 is not exported.
    EXPECT_FALSE(st().exported_names.contains("y"));
    EXPECT_FALSE(st().exported_names.contains("x"));

    std::vector<Assignment> pwd{{"PWD", "/tmp"}};
    restore_variables(st(), apply_prefix_assignments(m, pwd));
    EXPECT_EQ(st().cwd, "/tmp");
}

TEST_F(AssignTest, PrefixAssignmentFailuresRestoreAtOnce) {
    run("r=0");
    st().readonly_names.insert("r");
    std::vector<Assignment> prefix{{"x", "1"}, {"r", "2"}, {"w", "3"}};
    EXPECT_TRUE(apply_prefix_assignments(m, prefix).empty());
    EXPECT_EQ(pending(), "tarnwick: r: readonly variable\n");
    EXPECT_FALSE(lookup_parameter(st(), "x"));
    EXPECT_FALSE(lookup_parameter(st(), "w"));

    st().pending_error.reset();
    std::vector<Assignment> failing{{"x", "1"}, {"y", "${u:?no}"}};
    EXPECT_TRUE(apply_prefix_assignments(m, failing).empty());
    EXPECT_EQ(pending(), "tarnwick: no\n");
    EXPECT_FALSE(lookup_parameter(st(), "x"));
}

}  // namespace
}  // namespace tw
