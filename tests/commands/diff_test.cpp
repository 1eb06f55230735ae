// diff: statuses, the two output forms, white-space modes, line ends, and tree comparison.
#include <string>

#include "commands/diff/diff_commands.h"
#include "commands/diff/line_diff.h"
#include "case_fixture.h"

namespace tw::command_test {
namespace {

Ran diff_of(const std::string& left, const std::string& right, const std::string& options = "") {
    Machine m = fresh_machine();
    put_file(m, "/tmp/l", left);
    put_file(m, "/tmp/r", right);
    return run_in(m, "diff " + options + " l r");
}

TEST(Diff, NormalAndUnifiedForms) {
    Ran normal = diff_of("a\nb\nc\n", "a\nx\nc\n");
    EXPECT_EQ(normal.status, 1);
    EXPECT_EQ(normal.out, "< b\n> x\n");
    Ran unified = diff_of("a\nb\nc\n", "a\nx\nc\n", "-u");
    EXPECT_EQ(unified.status, 1);
    EXPECT_EQ(unified.out, "--- l\n+++ r\n@@ -1,3 +1,3 @@\n a\n-b\n+x\n c\n");
    EXPECT_EQ(diff_of("", "x\n", "-u").out, "--- l\n+++ r\n@@ -0,0 +1,1 @@\n+x\n");
    Ran same = diff_of("a\n", "a\n");
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out, "");
}

TEST(Diff, LineEndsAndMissingFinalNewlineAreDifferences) {
    Ran nonl = diff_of("a\n", "a", "-u");
    EXPECT_EQ(nonl.status, 1);
    EXPECT_EQ(nonl.out, "--- l\n+++ r\n@@ -1,1 +1,1 @@\n-a\n+a\n\\ No newline at end of file\n");
    EXPECT_EQ(diff_of("a\nb", "a\nc").out, "< b\n\\ No newline at end of file\n> c\n\\ No newline at end of file\n");
    Ran crlf = diff_of("a\r\nb\r\n", "a\nb\n", "-u");
    EXPECT_EQ(crlf.status, 1);
    EXPECT_EQ(crlf.out, "--- l\n+++ r\n@@ -1,2 +1,2 @@\n-a\r\n-b\r\n+a\n+b\n");
    // Unchanged last lines without a newline are context with the marker.
    EXPECT_EQ(diff_of("x\nz", "y\nz", "-u").out,
              "--- l\n+++ r\n@@ -1,2 +1,2 @@\n-x\n+y\n z\n\\ No newline at end of file\n");
    // Under the white-space modes the CR and the final newline are not differences.
    EXPECT_EQ(diff_of("a\r\nb\r\n", "a\nb", "-b").status, 0);
    EXPECT_EQ(diff_of("a\r\n", "a\n", "-w").status, 0);
}

TEST(Diff, WhiteSpaceModes) {
    EXPECT_EQ(diff_of("a  b\n", " a b \n", "-b").status, 0);
    EXPECT_EQ(diff_of("ab\n", "a b\n", "-b").status, 1);
    Ran w = diff_of("ab\nq\n", "a b\nr\n", "-uw");
    EXPECT_EQ(w.status, 1);
    EXPECT_EQ(w.out, "--- l\n+++ r\n@@ -1,2 +1,2 @@\n ab\n-q\n+r\n");
    EXPECT_EQ(diff_normalize_line("\t a \u00a0 b  ", WhitespaceMode::Change), "a b");
    EXPECT_EQ(diff_normalize_line("\t a \u00a0 b  ", WhitespaceMode::All), "ab");
}

TEST(Diff, OptionsAndOperands) {
    struct Case {
        std::string args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {"-U3 l r", 2, "diff: unsupported option '-U3'\n"},
        {"--unified=3 l r", 2, "diff: unsupported option '--unified=3'\n"},
        {"- r", 2, "diff: unsupported option '-'\n"},
        {"l", 2, "diff: missing operand\n"},
        {"-- -q l r", 1, ""},
        {"-Nrq l r", 1, ""},
        {"l missing", 2, "diff: missing: No such file or directory: missing\n"},
        {". r", 2, "diff: directory comparison requires -r\n"},
    };
    for (const Case& c : cases) {
        Machine m = fresh_machine();
        put_file(m, "/tmp/l", "a\n");
        put_file(m, "/tmp/r", "b\n");
        Ran r = run_in(m, "diff " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
    Machine m = fresh_machine();
    put_file(m, "/tmp/r", "x\n");
    Ran n = run_in(m, "diff -N missing r");
    EXPECT_EQ(n.status, 1);
    EXPECT_EQ(n.out, "> x\n");
    EXPECT_EQ(run_in(m, "diff -q missing2 r").status, 2);
}

TEST(Diff, TableLimit) {
    std::string a, b;
    for (int i = 0; i < 999; ++i) {
        a += std::to_string(i) + "\n";
        b += std::to_string(i + 1) + "\n";
    }
    EXPECT_EQ(diff_of(a, b).status, 1);
    Ran big = diff_of(a + "x\n", b + "y\n");
    EXPECT_EQ(big.status, 2);
    EXPECT_EQ(big.err, "diff: inputs are too large for line comparison\n");
    // A large equal prefix still costs its whole table.
    EXPECT_EQ(diff_of(a + "x\n", a + "y\n").status, 2);
}

TEST(Diff, Trees) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/l/x", "a\n");
    put_file(m, "/tmp/r/x", "b\n");
    put_file(m, "/tmp/l/sub/s", "s\n");
    put_file(m, "/tmp/r/sub/s", "s\n");
    put_file(m, "/tmp/r/sub/t", "t\n");
    put_file(m, "/tmp/r/new/n", "n\n");
    put_file(m, "/tmp/r/new-file", "n\n");
    put_file(m, "/tmp/r/k", "k\n");
    ASSERT_TRUE(m.vfs.create_dir_all("/", "/tmp/l/k").has_value());
    Ran r = run_in(m, "diff -r l/ r");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "File l/k is a directory while file r/k is a regular file\n"
              "Only in r: new\n"
              "Only in r: new-file\n"
              "Only in r/sub: t\n"
              "< a\n> b\n");
    Ran q = run_in(m, "diff -rq l r");
    EXPECT_EQ(q.out.substr(q.out.rfind("Files")), "Files l/x and r/x differ\n");
    Ran n = run_in(m, "diff -rN l r");
    EXPECT_NE(n.out.find("> t\n"), std::string::npos);
    EXPECT_NE(n.out.find("Only in r: new\n"), std::string::npos);
    EXPECT_EQ(run_in(m, "diff -r l nowhere").status, 2);
}

TEST(LineDiff, ScriptCoversBothSidesAndRemovesBeforeAdding) {
    const std::vector<std::string> a{"a", "b", "c"};
    const std::vector<std::string> b{"a", "x", "c", "d"};
    const std::vector<DiffEdit> script = line_diff(a, b);
    const std::vector<DiffEdit> expected{{DiffOpKind::Equal, 0, 0}, {DiffOpKind::Delete, 1, 1},
                                         {DiffOpKind::Insert, 2, 1}, {DiffOpKind::Equal, 2, 2},
                                         {DiffOpKind::Insert, 3, 3}};
    EXPECT_EQ(script, expected);
    EXPECT_EQ(line_diff_cells(1000, 1000), 1'002'001u);
}

}  // namespace
}  // namespace tw::command_test
