// The patch engine (parsers and hunk application) and the patch and apply_patch commands.
#include <string>

#include "commands/diff/patch_command.h"
#include "commands/diff/patch_model.h"
#include "kernel/syscalls.h"
#include "case_fixture.h"

namespace tw::command_test {
namespace {

std::string parse_error(std::string_view text, std::uint64_t strip = 0) {
    auto r = text.starts_with("*** Begin Patch") ? patch_parse_envelope(text) : patch_parse_unified(text, strip);
    return r ? std::string("<parsed>") : r.error();
}

TEST(PatchParse, FileHeaders) {
    auto tabbed = patch_parse_file_header("--- a/x.txt\t2024-01-01 10:00:00", "--- ", 0);
    ASSERT_TRUE(tabbed.has_value());
    EXPECT_EQ(*tabbed, "a/x.txt");
    // A name runs to a tab or the end of the line, spaces included.
    EXPECT_EQ(*patch_parse_file_header("--- a/my file.txt", "--- ", 1), "my file.txt");
    EXPECT_EQ(*patch_parse_file_header("+++ b/my file.txt\t2024", "+++ ", 0), "b/my file.txt");
    EXPECT_EQ(*patch_parse_file_header("--- /etc/passwd", "--- ", 0), "etc/passwd");
    EXPECT_EQ(*patch_parse_file_header("--- ./x/./y", "--- ", 0), "x/./y");
    EXPECT_FALSE(patch_parse_file_header("--- /dev/null", "--- ", 3)->has_value());
    EXPECT_EQ(patch_parse_file_header("--- a/x", "--- ", 2).error(), "cannot strip 2 components from 'a/x'");
    EXPECT_EQ(patch_parse_file_header("--- a/../etc/passwd", "--- ", 1).error(), "unsafe patch path: '../etc/passwd'");
    EXPECT_EQ(patch_parse_file_header("+++ x", "--- ", 0).error(), "expected --- file header");
}

TEST(PatchParse, UnifiedStructureAndErrors) {
    auto parsed = patch_parse_unified(
        "commit text\ndiff --git a/f b/f\nindex 1..2\n--- a/f\n+++ b/f\n@@ -1 +1 @@ ctx\n-a\n+b\n@@ -5,2 +5,1 @@\n x\n-y\n"
        "--- /dev/null\n+++ b/g\n@@ -0,0 +1 @@\n+new\n\\ No newline at end of file\n",
        1);
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    ASSERT_EQ(parsed->size(), 2u);
    EXPECT_EQ((*parsed)[0].old_path, "f");
    ASSERT_EQ((*parsed)[0].hunks.size(), 2u);
    EXPECT_EQ((*parsed)[0].hunks[1].old_start, 5u);
    EXPECT_FALSE((*parsed)[1].old_path.has_value());
    EXPECT_EQ((*parsed)[1].hunks[0].lines[0], (HunkLine{HunkLineKind::Add, "new"}));

    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"nothing here\n", "no unified file patches found"},
        {"--- a\n", "missing +++ file header"},
        {"--- a\n+++ a\n", "file patch contains no hunks"},
        {"--- a\n+++ a\n@@ -1,2 +1,2\n", "invalid hunk header: @@ -1,2 +1,2"},
        {"--- a\n+++ a\n@@ -x +1 @@\n", "invalid range in hunk: @@ -x +1 @@"},
        {"--- a\n+++ a\n@@ -1,2 +1,2 @@\n a\n\n b\n", "invalid hunk line prefix: \n"},
        {"--- a\n+++ a\n@@ -1,2 +1,2 @@\n a\n\u00e9\n", "invalid hunk line prefix: \u00e9"},
        {"--- a\n+++ a\n@@ -1,2 +1,2 @@\n a\n", "hunk body does not match its declared line counts"},
        {"--- a\n+++ a\n@@ -1,0 +1,0 @@\n\\ No newline at end of file\n", "orphaned no-newline marker"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_error(c.text), c.error) << c.text;
}

TEST(PatchParse, Envelope) {
    auto parsed = patch_parse_envelope(
        "*** Begin Patch\n*** Add File: dir/new file.txt\n+one\n+two\n*** Delete File: ./old.txt\n\n"
        "*** Update File: u.txt\n@@\n a\n-b\n+c\n@@ second\n+d\n*** End Patch\n");
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    ASSERT_EQ(parsed->size(), 3u);
    EXPECT_EQ((*parsed)[0].new_path, "dir/new file.txt");
    EXPECT_EQ((*parsed)[0].hunks[0].old_start, 0u);
    EXPECT_EQ((*parsed)[1].old_path, "old.txt");
    EXPECT_TRUE((*parsed)[1].hunks.empty());
    EXPECT_EQ((*parsed)[2].hunks.size(), 2u);
    EXPECT_FALSE((*parsed)[2].hunks[0].old_start.has_value());

    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"*** Begin Patch\n*** End Patch\n\n", "missing *** End Patch marker"},
        {"*** Begin Patch\n*** End Patch\n", "patch contains no file operations"},
        {"*** Begin Patch\n*** Add File: a\n+x\n\n*** End Patch\n", "added file 'a' contains a non-addition line"},
        {"*** Begin Patch\n*** Update File: ./u\n x\n*** End Patch\n", "expected @@ hunk header for 'u'"},
        {"*** Begin Patch\n*** Update File: u\n*** End Patch\n", "file patch for 'u' contains no hunks"},
        {"*** Begin Patch\n*** Update File: u\n@@\n a\n\n b\n*** End Patch\n", "invalid hunk line prefix: \n"},
        {"*** Begin Patch\n*** Move to: x\n*** End Patch\n", "unsupported patch directive: *** Move to: x"},
        {"*** Begin Patch\n*** Delete File: ../x\n*** End Patch\n", "unsafe patch path: '../x'"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_error(c.text), c.error) << c.text;
}

TEST(PatchApply, ExactMatching) {
    const auto apply = [](std::string_view content, std::string_view patch_text) -> std::string {
        auto parsed = patch_text.starts_with("***") ? patch_parse_envelope(patch_text) : patch_parse_unified(patch_text, 0);
        if (!parsed) return "parse: " + parsed.error();
        std::string current(content);
        for (const FilePatch& p : *parsed) {
            auto r = patch_apply_file(current, p);
            if (!r) return "error: " + r.error();
            current = *r;
        }
        return current;
    };
    // Offsets of earlier hunks carry over; a hunk without trailing context applies only at the end.
    EXPECT_EQ(apply("1\n2\n3\n4\n5\n", "--- f\n+++ f\n@@ -1,2 +1,3 @@\n-1\n+0\n+1\n 2\n@@ -4,2 +5,1 @@\n 4\n-5\n"),
              "0\n1\n2\n3\n4\n");
    EXPECT_EQ(apply("a\nb\na\nb\nc\n", "--- f\n+++ f\n@@ -1,2 +1,2 @@\n a\n-b\n+x\n"), "error: patch failed at line 1");
    EXPECT_EQ(apply("x\r\ny\r\n", "--- f\n+++ f\n@@ -1,2 +1,2 @@\n x\n-y\n+z\n"), "error: patch failed at line 1");
    // The unterminated last line is matched only through the marker.
    EXPECT_EQ(apply("a\nb", "--- f\n+++ f\n@@ -1,2 +1,2 @@\n a\n-b\n+c\n"), "error: patch failed at line 1");
    EXPECT_EQ(apply("a\nb", "--- f\n+++ f\n@@ -1,2 +1,2 @@\n a\n-b\n\\ No newline at end of file\n+c\n"), "a\nc\n");
    // A CR before the removed newline stays part of the line.
    EXPECT_EQ(apply("a\n", "--- f\n+++ f\n@@ -1,1 +1,1 @@\n-a\n+b\r\n\\ No newline at end of file\n"), "b\r");
    EXPECT_EQ(apply("q\na\nb\nz\na\nb\n", "*** Begin Patch\n*** Update File: f\n@@\n a\n-b\n+c\n*** End Patch\n"),
              "q\na\nc\nz\na\nb\n");
    EXPECT_EQ(apply("q\n", "*** Begin Patch\n*** Update File: f\n@@\n-r\n*** End Patch\n"),
              "error: hunk context was not found exactly");
    EXPECT_EQ(apply("a\n", "*** Begin Patch\n*** Update File: f\n@@\n+top\n*** End Patch\n"), "top\na\n");
    EXPECT_EQ(apply("\xff\n", "--- f\n+++ f\n@@ -1 +1 @@\n-a\n+b\n"), "error: patched files must be UTF-8 text");
}

TEST(PatchApply, HunksWithoutContextGoWhereTheirHeadersSay) {
    const auto apply = [](std::string_view content, std::string_view patch_text) -> std::string {
        auto parsed = patch_parse_unified(patch_text, 0);
        if (!parsed) return "parse: " + parsed.error();
        auto r = patch_apply_file(content, parsed->front());
        return r ? *r : "error: " + r.error();
    };
    const struct {
        const char* content;
        const char* patch;
        const char* result;
    } cases[] = {
        // An empty old side names the line after which the new lines go.
        {"1\n2\n3\n", "--- f\n+++ f\n@@ -1,0 +2 @@\n+x\n", "1\nx\n2\n3\n"},
        {"1\n2\n3\n", "--- f\n+++ f\n@@ -0,0 +1 @@\n+x\n", "x\n1\n2\n3\n"},
        {"1\n2\n3\n", "--- f\n+++ f\n@@ -3,0 +4 @@\n+x\n", "1\n2\n3\nx\n"},
        {"", "--- f\n+++ f\n@@ -0,0 +1 @@\n+x\n", "x\n"},
        {"", "--- f\n+++ f\n@@ -1,0 +1 @@\n+x\n", "x\n"},
        // Later hunks are shifted by what earlier ones added or removed.
        {"1\n2\n3\n4\n", "--- f\n+++ f\n@@ -1,0 +2 @@\n+x\n@@ -3,0 +5 @@\n+y\n@@ -4 +5,0 @@\n-4\n",
         "1\nx\n2\n3\ny\n"},
        // A removal or change without context is not tied to the end of the file.
        {"1\n2\n3\n", "--- f\n+++ f\n@@ -2 +1,0 @@\n-2\n", "1\n3\n"},
        {"1\n2\n3\n", "--- f\n+++ f\n@@ -2 +2 @@\n-2\n+b\n", "1\nb\n3\n"},
        // A positioned insertion past the end is not moved elsewhere.
        {"1\n", "--- f\n+++ f\n@@ -5,0 +6 @@\n+x\n", "error: patch failed at line 5"},
    };
    for (const auto& c : cases) EXPECT_EQ(apply(c.content, c.patch), c.result) << c.patch;
}

TEST(PatchCommand, UnifiedInPlace) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/a/f.txt", "one\ntwo\n", 0600);
    const std::string diff = "--- a/f.txt\n+++ b/f.txt\n@@ -1,2 +1,2 @@\n one\n-two\n+three\n";
    // Without -p the two names are one file changing in place: the existing one is patched.
    Ran r = run_in(m, "patch", diff);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_contents(m, "/tmp/a/f.txt"), "one\nthree\n");
    EXPECT_EQ(file_contents(m, "/tmp/b/f.txt"), "<missing>");
    EXPECT_EQ(m.vfs.node("/tmp/a/f.txt")->mode & 0777, 0600u);
    // With -p1 both names are f.txt.
    put_file(m, "/tmp/f.txt", "one\ntwo\n");
    EXPECT_EQ(run_in(m, "patch -p1", diff).status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/f.txt"), "one\nthree\n");
    // A file named on the command line is the one patched.
    put_file(m, "/tmp/other", "one\ntwo\n");
    put_file(m, "/tmp/p.diff", diff);
    Ran named = run_in(m, "patch other p.diff");
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(file_contents(m, "/tmp/other"), "one\nthree\n");
    Ran spaces = run_in(m, "patch -p1", "--- a/my file.txt\n+++ b/my file.txt\n@@ -0,0 +1 @@\n+hi\n");
    EXPECT_EQ(spaces.status, 0) << spaces.err;
    EXPECT_EQ(file_contents(m, "/tmp/my file.txt"), "hi\n");
}

TEST(PatchCommand, RoundTripsDiffOutput) {
    const std::pair<std::string, std::string> pairs[] = {
        {"a\nb\nc\n", "a\nx\nc\nd"},
        {"a\r\nb\r\n", "a\r\nc\r\nb"},
        {"x", "x\n"},
        {"x\n", "x"},
        {"", "only\r"},
        {"a\nb\r", ""},
    };
    // diff -N writes a missing file as empty; patch creates the named file from that diff.
    {
        Machine m = fresh_machine();
        put_file(m, "/tmp/new", "n\n");
        Ran r = run_in(m, "diff -uN old new > p; patch -p0 old < p");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(file_contents(m, "/tmp/old"), "n\n");
    }
    for (const auto& [old_text, new_text] : pairs) {
        Machine m = fresh_machine();
        put_file(m, "/tmp/old", old_text);
        put_file(m, "/tmp/new", new_text);
        Ran r = run_in(m, "diff -u old new > p; patch -p0 old < p");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(file_contents(m, "/tmp/old"), new_text);
    }
}

TEST(PatchCommand, CreateDeleteAndSequence) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/new.txt", "stale\n", 0755);
    put_file(m, "/tmp/gone.txt", "x\ny\n");
    Ran r = run_in(m, "patch -p1",
                   "--- /dev/null\n+++ b/new.txt\n@@ -0,0 +1 @@\n+fresh\n"
                   "--- a/gone.txt\n+++ /dev/null\n@@ -1,2 +0,0 @@\n-x\n-y\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_contents(m, "/tmp/new.txt"), "fresh\n");
    EXPECT_EQ(m.vfs.node("/tmp/new.txt")->mode & 0777, 0644u);
    EXPECT_EQ(file_contents(m, "/tmp/gone.txt"), "<missing>");

    put_file(m, "/tmp/keep.txt", "x\ny\n");
    Ran partial = run_in(m, "patch -p1", "--- a/keep.txt\n+++ /dev/null\n@@ -1,2 +0,1 @@\n-x\n y\n");
    EXPECT_EQ(partial.status, 1);
    EXPECT_EQ(partial.err, "patch: deletion patch for 'keep.txt' does not remove all content\n");

    put_file(m, "/tmp/s.txt", "1\n");
    Ran twice = run_in(m, "patch", "--- s.txt\n+++ s.txt\n@@ -1 +1 @@\n-1\n+2\n--- s.txt\n+++ s.txt\n@@ -1 +1 @@\n-2\n+3\n");
    EXPECT_EQ(twice.status, 0) << twice.err;
    EXPECT_EQ(file_contents(m, "/tmp/s.txt"), "3\n");
    Ran deleted = run_in(m, "patch", "--- s.txt\n+++ /dev/null\n@@ -1 +0,0 @@\n-3\n--- s.txt\n+++ s.txt\n@@ -1 +1 @@\n-3\n+4\n");
    EXPECT_EQ(deleted.status, 1);
    EXPECT_EQ(deleted.err, "patch: s.txt: no such file\n");
    EXPECT_EQ(file_contents(m, "/tmp/s.txt"), "3\n");
}

TEST(PatchCommand, AllOrNothing) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/one", "a\n");
    put_file(m, "/tmp/two", "b\n");
    Ran r = run_in(m, "patch", "--- one\n+++ one\n@@ -1 +1 @@\n-a\n+A\n--- two\n+++ two\n@@ -1 +1 @@\n-zzz\n+B\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "patch: patch failed at line 1\n");
    EXPECT_EQ(file_contents(m, "/tmp/one"), "a\n");
    Ran missing = run_in(m, "patch", "--- one\n+++ one\n@@ -1 +1 @@\n-a\n+A\n--- three\n+++ three\n@@ -1 +1 @@\n-c\n+C\n");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "patch: three: No such file or directory: three\n");
    EXPECT_EQ(file_contents(m, "/tmp/one"), "a\n");
}

TEST(PatchCommand, SymbolicLinks) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/target", "a\n");
    ASSERT_TRUE(m.vfs.symlink("/tmp", "target", "link").has_value());
    Ran r = run_in(m, "patch", "--- link\n+++ link\n@@ -1 +1 @@\n-a\n+b\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "patch: link: symbolic-link destinations are not supported\n");
    EXPECT_EQ(file_contents(m, "/tmp/target"), "a\n");
    // A source that is a link is read through it.
    EXPECT_EQ(run_in(m, "patch", "--- link\n+++ copy\n@@ -1 +1 @@\n-a\n+b\n").status, 1);
}

TEST(PatchCommand, OptionsAndInputLimits) {
    struct Case {
        const char* source;
        int status;
        const char* err;
    };
    const Case cases[] = {
        {"patch -x", 2, "patch: unsupported option: -x\n"},
        {"patch -", 2, "patch: unsupported option: -\n"},
        {"patch -i", 2, "patch: -i requires a patch file\n"},
        {"patch -p", 2, "patch: -p requires a non-negative integer\n"},
        {"patch -p-1", 2, "patch: -p requires a non-negative integer\n"},
        {"patch a b c", 2, "patch: only one patch file may be supplied\n"},
        {"patch a b -i c", 2, "patch: cannot read patch: No such file or directory: c\n"},
        {"patch -i nope", 2, "patch: cannot read patch: No such file or directory: nope\n"},
        {"apply_patch a b", 2, "patch: usage: apply_patch [PATCH_FILE]\n"},
        {"apply_patch -", 2, "patch: usage: apply_patch [PATCH_FILE]\n"},
        {"printf 'x' | patch", 2, "patch: no unified file patches found\n"},
    };
    for (const Case& c : cases) {
        Ran r = run(c.source);
        EXPECT_EQ(r.status, c.status) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
    }
    Machine m = fresh_machine();
    put_file(m, "/tmp/latin1", "\xff\n");
    EXPECT_EQ(run_in(m, "patch < latin1").err, "patch: patch input must be UTF-8 text\n");
    put_file(m, "/tmp/limit", std::string(kMaxPatchBytes, 'x'));
    put_file(m, "/tmp/over", std::string(kMaxPatchBytes + 1, 'x'));
    EXPECT_EQ(run_in(m, "patch < limit").err, "patch: no unified file patches found\n");
    EXPECT_EQ(run_in(m, "patch -i limit").err, "patch: no unified file patches found\n");
    Ran over = run_in(m, "patch < over");
    EXPECT_EQ(over.status, 2);
    EXPECT_EQ(over.err, "patch: patch input exceeds the 8 MiB limit\n");
    EXPECT_TRUE(run_in(m, "patch -i over").err.starts_with("patch: cannot read patch: file too large: "));
}

TEST(PatchCommand, ApplyPatchEnvelope) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/upd.txt", "a\nb\n", 0600);
    put_file(m, "/tmp/del.txt", "whatever\n");
    put_file(m, "/tmp/exists.txt", "old\n", 0755);
    const std::string envelope =
        "*** Begin Patch\n*** Add File: sub/new.txt\n+hello\n*** Add File: exists.txt\n+replaced\n"
        "*** Delete File: del.txt\n*** Update File: upd.txt\n@@\n a\n-b\n+c\n*** End Patch\n";
    Ran r = run_in(m, "apply_patch", envelope);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_contents(m, "/tmp/sub/new.txt"), "hello\n");
    EXPECT_EQ(file_contents(m, "/tmp/exists.txt"), "replaced\n");
    EXPECT_EQ(m.vfs.node("/tmp/exists.txt")->mode & 0777, 0644u);
    EXPECT_EQ(file_contents(m, "/tmp/del.txt"), "<missing>");
    EXPECT_EQ(file_contents(m, "/tmp/upd.txt"), "a\nc\n");
    EXPECT_EQ(m.vfs.node("/tmp/upd.txt")->mode & 0777, 0600u);

    // apply_patch strips one component of unified names.
    put_file(m, "/tmp/u.txt", "1\n");
    put_file(m, "/tmp/u.diff", "--- a/u.txt\n+++ b/u.txt\n@@ -1 +1 @@\n-1\n+2\n");
    EXPECT_EQ(run_in(m, "apply_patch u.diff").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/u.txt"), "2\n");
}

TEST(PatchCommand, CheckOnlyInstallsNothing) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/f", "a\n");
    Bytes in = "--- f\n+++ f\n@@ -1 +1 @@\n-a\n+b\n";
    Bytes out, err;
    CommandIo io{in, out, err};
    SyscallContext sys(m);
    const std::vector<std::string> args{"-p0"};
    EXPECT_EQ(patch_command_run(sys, args, io, false, "/tmp", true), 0u);
    EXPECT_EQ(file_contents(m, "/tmp/f"), "a\n");
}

}  // namespace
}  // namespace tw::command_test
