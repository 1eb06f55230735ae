// The sed command as a script sees it: options, script pieces, inputs, in-place editing, messages.
#include <algorithm>
#include <string>

#include "kernel/syscalls.h"
#include "run_fixture.h"

namespace tw::command_test {
namespace {

void put(Machine& m, std::string_view path, std::string_view content, std::uint32_t mode = 0644) {
    SyscallContext sys(m);
    ASSERT_TRUE(sys.write_file_mode("/tmp", path, Bytes(content), mode).has_value()) << path;
}

std::string content(Machine& m, std::string_view path) {
    SyscallContext sys(m);
    auto bytes = sys.read_file("/tmp", path, 1 << 20);
    return bytes ? *bytes : std::string("<unreadable>");
}

TEST(SedCommand, Basics) {
    struct Case {
        std::string source;
        std::string out;
    };
    const Case cases[] = {
        {"printf '1\\n2\\n3\\n' | sed -n 2p", "2\n"},
        {"echo ab | sed 's/a\\(b\\)/\\1x/g'", "bx\n"},
        {"echo aa | sed -E 's/(a)/<\\1>/2'", "a<a>\n"},
        {"echo aa | sed -r 's/a+/X/'", "X\n"},
        {"echo a | sed -e s/a/b/ -e s/b/c/", "c\n"},
        {"echo a | sed --expression=s/a/b/ --quiet --expression=p", "b\n"},
        {"echo a | sed --silent p", "a\n"},
        // An a text ends with its own piece.
        {"echo x | sed -e 'a one' -e 'a two'", "x\none\ntwo\n"},
        {"echo '$' | sed 's/\\$/[&]/'", "[$]\n"},
        {"printf 'a\\nb\\n' | sed -n '$='", "2\n"},
        {"printf 'a\\0b\\0' | sed -z 's/^/>/'", std::string(">a\0>b\0", 6)},
    };
    for (const Case& c : cases) {
        Ran r = run(c.source);
        EXPECT_EQ(r.status, 0) << c.source << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.source;
        EXPECT_EQ(r.err, "") << c.source;
    }
}

TEST(SedCommand, Refusals) {
    struct Case {
        std::string source;
        std::int32_t status;
        std::string err;
    };
    const Case cases[] = {
        {"sed", 1, "sed: missing command\n"},
        {"sed -n", 1, "sed: missing command\n"},
        {"sed -i p", 2, "sed: -i requires at least one file operand\n"},
        {"sed -in p f", 2, "sed: unsupported in-place backup suffix\n"},
        {"sed --in-place=.bak p f", 2, "sed: unsupported in-place backup suffix\n"},
        {"sed -x p", 2, "sed: unsupported option '-x'\n"},
        {"sed --posix p", 2, "sed: unsupported option '--posix'\n"},
        {"sed -n -e", 2, "sed: option '-e' requires an argument\n"},
        {"sed --quiet=1 p", 2, "sed: option '--quiet' does not take an argument\n"},
        {"sed -f nofile", 2, "sed: nofile: No such file or directory: nofile\n"},
        {"sed ';;'", 2, "sed: empty command\n"},
        {"sed 's/a/b/x'", 2, "sed: invalid substitution: unsupported substitution flag 'x'\n"},
        {"sed 'p # c'", 2, "sed: unexpected text after 'p' command\n"},
        {"sed -e p -e N", 2, "sed: unimplemented command 'N'\n"},
        {"sed p nofile", 1, "sed: nofile: No such file or directory: nofile\n"},
        {"echo aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa! | sed -E 's/(a|a)*[0-9]/x/'", 2,
         "sed: regex match failed: match limit exceeded\n"},
    };
    for (const Case& c : cases) {
        Ran r = run(c.source);
        EXPECT_EQ(r.status, c.status) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
        EXPECT_EQ(r.out, "") << c.source;
    }
    Ran help = run("sed --help -x");
    EXPECT_EQ(help.status, 2) << "an unknown option is refused before help is looked at";
    help = run("sed p --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, "usage: sed [OPTIONS] SCRIPT [FILE...]\nsupported: -n -E -r -e SCRIPT -f FILE -i -s -z\n");
}

TEST(SedCommand, ScriptErrorsAreRecordedAsUnsupported) {
    Machine m = fresh_machine();
    Ran r = run_in(m, "echo a | sed 'h'");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "sed: unimplemented command 'h'\n");
    const auto& labels = m.unsupported_labels.labels();
    EXPECT_NE(std::find(labels.begin(), labels.end(), "sed:unimplemented command 'h'"), labels.end());
}

TEST(SedCommand, FilesAndStandardInput) {
    Machine m = fresh_machine();
    put(m, "x", "a");  // no final newline
    put(m, "y", "3\n4\n");
    put(m, "script.sed", "# a script file\ns/3/three/\n$s/$/ end/\n");
    EXPECT_EQ(run_in(m, "sed -n 2p y").out, "4\n");
    // One stream: "$" is the last line of the last file, and a file's unended last line stays a
    // line of its own.
    EXPECT_EQ(run_in(m, "sed -f script.sed x y").out, "a\nthree\n4 end\n");
    EXPECT_EQ(run_in(m, "sed -n '$=' x y").out, "3\n");
    // Separate files: line numbers and "$" start over.
    EXPECT_EQ(run_in(m, "sed -s -n '1p;$=' x y").out, "a\n1\n3\n2\n");
    EXPECT_EQ(run_in(m, "echo in | sed p y - x").out, "3\n3\n4\n4\nin\nin\na\na");
    // A missing file among readable ones: one message, no output.
    put(m, "bin", "a\xff\n");
    Ran r = run_in(m, "sed p x bin");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sed: input is not valid UTF-8\n");
    r = run_in(m, "sed p x nofile y");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sed: nofile: No such file or directory: nofile\n");
}

TEST(SedCommand, LongStandardInputArrivesInChunks) {
    std::string input;
    for (int i = 1; i <= 3000; ++i) input += std::to_string(i) + "\n";
    Machine m = fresh_machine();
    Ran r = run_in(m, "sed -n '$p;1p;/^2999$/='", input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1\n2999\n3000\n");
}

TEST(SedCommand, InPlaceEditing) {
    Machine m = fresh_machine();
    put(m, "a", "x1\nx2\n", 0640);
    put(m, "b", "x3", 0600);
    put(m, "c", "x4\n");
    Ran r = run_in(m, "sed -i '1d;s/x/y/' a b");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // Every file is its own stream: line 1 of each is deleted.
    EXPECT_EQ(content(m, "a"), "y2\n");
    EXPECT_EQ(content(m, "b"), "");
    SyscallContext sys(m);
    EXPECT_EQ(sys.stat("/tmp", "a", true)->mode & 07777, 0640U);
    EXPECT_EQ(sys.stat("/tmp", "b", true)->mode & 07777, 0600U);

    // A missing file stops the command: files before it stay rewritten, files after it untouched.
    put(m, "a", "x1\n");
    r = run_in(m, "sed -i s/x/z/ a missing c");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "sed: can't read missing: No such file or directory: missing\n");
    EXPECT_EQ(content(m, "a"), "z1\n");
    EXPECT_EQ(content(m, "c"), "x4\n");

    // -ni is quiet in-place editing; --in-place= with an empty suffix is accepted.
    put(m, "a", "1\n2\n3\n");
    EXPECT_EQ(run_in(m, "sed -ni 2p a").status, 0);
    EXPECT_EQ(content(m, "a"), "2\n");
    EXPECT_EQ(run_in(m, "sed --in-place= 's/2/two/' a").status, 0);
    EXPECT_EQ(content(m, "a"), "two\n");

    // A file that is not UTF-8 is refused and left alone.
    put(m, "bin", "a\xff\n");
    r = run_in(m, "sed -i p bin");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "sed: bin: input is not valid UTF-8\n");
    EXPECT_EQ(content(m, "bin"), "a\xff\n");
}

TEST(SedCommand, OutputBudget) {
    MachineLimits limits = kRoomyLimits;
    limits.output = 64;
    Machine m = fresh_machine(limits);
    std::string input(200, 'x');
    input += '\n';
    Ran r = run_in(m, "sed p", input);
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace tw::command_test
