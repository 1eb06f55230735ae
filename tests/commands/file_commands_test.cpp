// The file commands: listings, creation and removal, copies and moves, modes, descriptions,
// sizes, trees, path names, install and truncate, with their messages, statuses and budgets.
#include <string>

#include <fmt/format.h>

#include "commands/files/file_commands.h"
#include "case_fixture.h"

namespace tw::command_test {
namespace {

TEST(Ls, ListingsAndLongLayout) {
    expect_cases({
        {"mkdir -p d/e && touch d/e/f && cp -r d x && ls -R x", "x:\ne\n\nx/e:\nf\n"},
        {"mkdir e; cd e; ls -la",
         "total 8\n"
         "drwxr-xr-x 1 root root   4096 Jan  1 00:00 .\n"
         "drwxr-xr-x 1 root root   4096 Jan  1 00:00 ..\n"},
        {"printf x > a; head -c 4097 /dev/zero > b; ln -s a l; ls -l",
         "total 12\n"
         "-rw-r--r-- 1 root root      1 Jan  1 00:00 a\n"
         "-rw-r--r-- 1 root root   4097 Jan  1 00:00 b\n"
         "lrwxrwxrwx 1 root root      1 Jan  1 00:00 l -> a\n"},
        {"head -c 1234567 /dev/zero > big; ls -l big", "-rw-r--r-- 1 root root 1234567 Jan  1 00:00 big\n"},
        {"mkdir d; touch d/f; ln -s d l; ls l; ls -ld l", "f\nlrwxrwxrwx 1 root root      1 Jan  1 00:00 l -> d\n"},
        {"mkdir -p a/b; cd a; ls -R", "/tmp/a:\nb\n\n/tmp/a/b:\n"},
        {"mkdir a b; touch a/1 b/2; ls a b", "a:\n1\nb:\n2\n"},
        {"touch f; ls -R f", "f\n"},
        {"mkdir -p t/.h/i; ls -R t; ls -RA t", "t:\nt:\n.h\n\nt/.h:\ni\n\nt/.h/i:\n"},
        {"touch f; ls missing f; echo $?", "f\n2\n", 0, "ls: cannot access 'missing': No such file or directory\n"},
        {"ls -x", "", 2, "ls: unimplemented option '-x'\n"},
        {"ls --color", "", 2, "ls: unimplemented option '--color'\n"},
    });
}

TEST(CreateRemove, MessagesAndStatuses) {
    expect_cases({
        {"mkdir", "", 1, "mkdir: missing operand\n"},
        {"mkdir d; mkdir d", "", 1, "mkdir: cannot create directory 'd': File exists: d\n"},
        {"mkdir -p d d/e; mkdir -p d; echo $?", "0\n"},
        {"mkdir --parents d", "", 2, "mkdir: unimplemented option '--parents'\n"},
        {"mkdir --mode=700 d", "", 2, "mkdir: unimplemented option '--mode'\n"},
        {"mkdir -p d/e; rmdir d", "", 1, "rmdir: failed to remove 'd': Directory not empty: d\n"},
        {"rmdir", "", 1, "rmdir: missing operand\n"},
        {"mkdir d; rm d; echo $?; ls", "1\nd\n", 0, "rm: cannot remove 'd': Is a directory: d\n"},
        {"rm", "", 1, "rm: missing operand\n"},
        {"rm -f; rm -rf nothing; rm -f nothing", ""},
        {"touch f; rm -x f; echo $?; ls", "2\nf\n", 0, "rm: unimplemented option '-x'\n"},
        {"touch f; rm -r -x f", "", 2, "rm: unimplemented option '-x'\n"},
        {"touch ./-f ./-5; rm -- -f; rm -5; ls", ""},
        {"rm -r /; rm -rf ..; cd /; rm -r ..", "", 1,
         "rm: refusing to remove virtual root '/'\nrm: refusing to remove virtual root '/'\n"
         "rm: refusing to remove virtual root '/'\n"},
        {"mkdir -p r/s; touch r/s/f; ln -s r l; rm -r l; ls r", "s\n"},
        {"mkdir -p d/e; touch d/e/f d/g; rm -r d; ls", ""},
        {"touch -c f", "", 2, "touch: unimplemented option\n"},
        {"touch", "", 1, "touch: missing file operand\n"},
        {"touch no/f", "", 1, "touch: No such file or directory: /tmp/no\n"},
        {"touch a b; stat -c '%a %s' a b", "644 0\n644 0\n"},
    });
}

TEST(CopyMoveLink, DestinationRule) {
    expect_cases({
        {"echo a > a; mkdir d; cp a d; cp a c; cat d/a c", "a\na\n"},
        {"cp a", "", 1, "cp: missing destination operand\n"},
        {"touch a b c; cp a b c", "", 1, "cp: target 'c' is not a directory\n"},
        {"mkdir d e; cp d e; echo $?", "1\n", 0, "cp: cannot copy 'd': Is a directory: d\n"},
        {"mkdir d e; ln -s d l; cp -r l missing e; echo $?", "1\n", 0,
         "cp: unimplemented recursive copy of symbolic links\n"
         "cp: cannot copy 'missing': No such file or directory: missing\n"},
        {"mkdir d e; ln -s d l; cp -r missing l e; echo $?", "2\n", 0,
         "cp: cannot copy 'missing': No such file or directory: missing\n"
         "cp: unimplemented recursive copy of symbolic links\n"},
        {"mkdir -p s/t; echo 1 > s/t/f; cp -r s d; cp -r s d; ls -R d", "d:\ns\nt\n\nd/s:\nt\n\nd/s/t:\nf\n\nd/t:\nf\n"},
        {"echo x > f; chmod 600 f; cp -a f g; cp f h; stat -c '%a' g h", "600\n600\n"},
        {"echo a > a; touch b c; mv a b c", "", 1, "mv: target 'c' is not a directory\n"},
        {"echo a > a; mv a c; cat c; mkdir d; mv c d; cat d/c", "a\na\n"},
        {"mv a", "", 1, "mv: missing destination operand\n"},
        {"mv missing x", "", 1, "mv: cannot move 'missing': No such file or directory: missing\n"},
        {"ln -s nowhere l extra; readlink l; ls", "nowhere\nl\n"},
        {"ln -s a l; ln -sf b l", "", 1, "ln: File exists: l\n"},
        {"touch a; ln a b", "", 2, "ln: unimplemented hard links\n"},
        {"ln -s a", "", 1, "ln: missing operand\n"},
    });
}

TEST(Modes, ApplyMode) {
    const struct {
        const char* text;
        std::uint32_t current;
        std::uint32_t result;
    } cases[] = {
        {"755", 0, 0755},       {"4755", 0, 04755},        {"77777", 0644, 07777},   {"u+x", 0644, 0744},
        {"go-r", 0644, 0600},   {"a=r", 0755, 0444},       {"=r", 0755, 0444},       {"u=rwx,go=", 0644, 0700},
        {"+x", 0600, 0711},     {"u+s", 0644, 0644},       {"", 0644, 0644},         {"abc", 0644, 0644},
        {"u-x,g+w", 0755, 0675}, {"+7", 0644, 0644},       {"777777777777", 0644, 0644},
    };
    for (const auto& c : cases) EXPECT_EQ(apply_mode(c.text, c.current), c.result) << c.text;
}

TEST(Modes, ChmodChownChgrp) {
    expect_cases({
        {"touch f; chmod 755 f; chmod u-x,g+w f; stat -c '%a %s %n' f", "675 0 f\n"},
        {"chmod 644; echo $?", "0\n"},
        {"touch f; chmod f", "", 1, "chmod: missing operand\n"},
        {"mkdir -p d/e; touch d/e/f; chmod -R 700 d; stat -c '%a' d d/e d/e/f", "700\n700\n700\n"},
        {"chmod 600 missing", "", 1, "chmod: No such file or directory: /tmp/missing\n"},
        {"touch f; chown alice:staff f; stat -c '%U:%u %g' f", "root:1000 1000\n"},
        {"touch f; chown alice:staff f; chown root:root f; stat -c '%u %g' f", "0 0\n"},
        {"touch f; chown :5 f; stat -c '%u %g' f; chown alice: f; stat -c '%u %g' f", "0 5\n1000 5\n"},
        {"touch f; chgrp wheel f; stat -c '%u %g' f", "0 1000\n"},
        {"chgrp wheel:x f", "", 1, "chgrp: invalid group 'wheel:x'\n"},
        {"chgrp -h x f", "", 2, "chgrp: unimplemented option '-h'\n"},
        {"chown", "", 1, "chown: missing operand\n"},
        {"chgrp x missing", "", 1, "chgrp: No such file or directory: /tmp/missing\n"},
    });
}

TEST(Describe, StatAndFile) {
    expect_cases({
        {"printf hello > f; stat f", "  File: f\n  Size: 5\n"},
        {"printf hello > f; mkdir d; ln -s d l; stat -c '%s %b %B %o' f d l", "5 8 512 4096\n4096 8 512 4096\n1 0 512 4096\n"},
        {"touch f; mkdir d; ln -s d l; stat -c %F f d l; stat -L -c %F l; stat -c %F /usr/bin/ls",
         "regular file\ndirectory\nsymbolic link\ndirectory\nnative executable\n"},
        {"touch f; stat -c '100%%' f; stat -c 'a%' f", "100%\na%\n"},
        {"touch f; stat -c %y f", "", 2, "stat: unimplemented format directive '%y'\n"},
        {"stat -Lc %s f", "", 2, "stat: unimplemented option '-Lc'\n"},
        {"stat", "", 1, "stat: missing operand\n"},
        {"touch b; stat missing b", "", 1, "stat: No such file or directory: missing\n"},
        {"touch '%s'; stat -c %n '%s'", "%s\n"},
        {": > e; printf 'caf\\303\\251' > t; printf '\\377\\376' > b; mkdir d; file e t b d",
         "e: empty\nt: ASCII text\nb: data\nd: directory\n"},
        {"mkdir d; ln -s d l; file l", "l: cannot open (Is a directory: l)\n", 1},
        {"file -b x", "", 2, "file: unimplemented option '-b'\n"},
        {"file", "", 1, "file: missing operand\n"},
    });
}

TEST(Du, SizesAndOrder) {
    EXPECT_EQ(format_du_size(0, DuUnit::Kib), "0");
    EXPECT_EQ(format_du_size(1, DuUnit::Kib), "1");
    EXPECT_EQ(format_du_size(1024, DuUnit::Kib), "1");
    EXPECT_EQ(format_du_size(1025, DuUnit::Kib), "2");
    const std::pair<std::uint64_t, const char*> human[] = {
        {1023, "1023"}, {1024, "1.0K"}, {1536, "1.5K"}, {10240, "10K"}, {1048575, "1.0M"}, {1048576, "1.0M"},
        {UINT64_MAX, "16E"},
    };
    for (const auto& [bytes, text] : human) EXPECT_EQ(format_du_size(bytes, DuUnit::Human), text) << bytes;

    expect_cases({
        {"mkdir d; printf hello > d/f; du d; du -a d; du -b d; du -h d; du -sh d",
         "8\td\n4\td/f\n8\td\n4101\td\n8.0K\td\n8.0K\td\n"},
        {"mkdir -p d/b; touch d/a d/b/c; du -a d", "0\td/a\n0\td/b/c\n4\td/b\n8\td\n"},
        {"mkdir -p d/b/c; du --max-depth=0 d; du -d 1 d", "12\td\n8\td/b\n12\td\n"},
        {"touch a b; du -s a; du -c a b", "0\ta\n0\ta\n0\tb\n0\ttotal\n"},
        {"mkdir d; ln -s d l; du l; du -b l", "0\tl\n1\tl\n"},
        {"du -sa", "", 1, "du: cannot both summarize and show all entries\n"},
        {"du -x", "", 1, "du: invalid option -- 'x'\n"},
        {"du --max-depth", "", 1, "du: unrecognized option '--max-depth'\n"},
        {"du -d", "", 1, "du: option requires an argument -- 'd'\n"},
        {"du -d x", "", 1, "du: invalid maximum depth 'x'\n"},
        {"du missing", "", 1, "du: cannot access 'missing': No such file or directory\n"},
    });
}

TEST(Tree, ConnectorsAndSummary) {
    expect_cases({
        {"mkdir e; tree e", "e\n\n0 directories, 0 files\n"},
        {"mkdir -p d/b; touch d/a d/b/c; tree d",
         "d\n\u251c\u2500\u2500 a\n\u2514\u2500\u2500 b\n    \u2514\u2500\u2500 c\n\n1 directory, 2 files\n"},
        {"mkdir -p t/x t/y; touch t/x/in; tree t",
         "t\n\u251c\u2500\u2500 x\n\u2502   \u2514\u2500\u2500 in\n\u2514\u2500\u2500 y\n\n2 directories, 1 file\n"},
        {"mkdir -p d/b; touch d/b/c; tree -L 1 d", "d\n\u2514\u2500\u2500 b\n\n1 directory, 0 files\n"},
        {"mkdir -p d/.h; touch d/.f; ln -s .f d/l; tree d; tree -a d",
         "d\n\u2514\u2500\u2500 l -> .f\n\n0 directories, 1 file\n"
         "d\n\u251c\u2500\u2500 .f\n\u251c\u2500\u2500 .h\n\u2514\u2500\u2500 l -> .f\n\n1 directory, 2 files\n"},
        {"touch f; tree f", "f\n\n0 directories, 1 file\n"},
        {"tree -L", "", 2, "tree: option requires an argument -- 'L'\n"},
        {"tree -L 0", "", 2, "tree: invalid level, must be greater than 0\n"},
        {"tree -aL 1", "", 2, "tree: unimplemented option '-aL'\n"},
        {"tree a b", "", 2, "tree: too many operands\n"},
        {"tree missing", "", 1, "tree: missing: No such file or directory: missing\n"},
    });
}

TEST(PathNames, Commands) {
    expect_cases({
        {"basename /a/b.txt .txt; basename /a/b/; basename /; basename ''; basename a.txt .txt; basename .txt .txt",
         "b\nb\n/\n\na\n.txt\n"},
        {"dirname a/b; dirname /a/b; dirname a; dirname /a; dirname ''; dirname a/b/; dirname a//b",
         "a\n/a\n.\n/\n/\na\na/\n"},
        {"basename; echo $?; dirname; echo $?", "1\n1\n"},
        {"realpath -m a/../b; realpath .; mkdir r; ln -s ../tmp/r l; readlink l; readlink -f l; realpath l",
         "/tmp/b\n/tmp\n../tmp/r\n/tmp/r\n/tmp/r\n"},
        {"realpath missing x", "", 1, "realpath: No such file or directory: /tmp/missing\n"},
        {"touch f; readlink f g", "", 1, "readlink: f: Invalid argument\n"},
        {"readlink -f missing", "", 1},
        {"realpath", "", 1, "realpath: missing operand\n"},
        {"realpath -e x", "", 2, "realpath: unimplemented option '-e'\n"},
        {"mktemp; mktemp -d; stat -c '%a %F' /tmp/tmp.000000 /tmp/tmp.000001",
         "/tmp/tmp.000000\n/tmp/tmp.000001\n600 regular file\n755 directory\n"},
        {"mktemp /work/x.XXXXXX.log; mktemp plain; mktemp plain", "/work/x.000000.log\n/tmp/plain\n", 1,
         "mktemp: File exists: /tmp/plain\n"},
    });
}

TEST(InstallTruncate, ModesAndSizes) {
    expect_cases({
        {"printf data > s; install -D -m 644 s dst/deep/file; stat -c '%a %s' dst/deep/file", "644 4\n"},
        {"touch a; mkdir bin; install -m 644 a bin/; install a b; stat -c '%a' bin/a b", "644\n755\n"},
        {"touch a; install -Dm600 a t; install -m u+x a u; stat -c '%a' t u", "600\n755\n"},
        {"install -d one two; stat -c '%a %F' one two", "755 directory\n755 directory\n"},
        {"install -m u+s a b", "", 1, "install: invalid mode 'u+s'\n"},
        {"install -m u= a b", "", 1, "install: invalid mode 'u='\n"},
        {"install -m x+r a b", "", 1, "install: invalid mode 'x+r'\n"},
        {"install -m '' a b", "", 1, "install: invalid mode ''\n"},
        {"install -m", "", 2, "install: option requires an argument -- 'm'\n"},
        {"install -Dd a", "", 2, "install: unimplemented option '-Dd'\n"},
        {"install -D -d a", "", 2, "install: options '-D' and '-d' cannot be combined\n"},
        {"install a", "", 1, "install: missing destination file operand\n"},
        {"install -d", "", 1, "install: missing operand\n"},
        {"touch a b c; install a b c", "", 1, "install: target 'c' is not a directory\n"},
        {"install missing t", "", 1, "install: cannot stat 'missing': No such file or directory: missing\n"},
        {"touch a; mkdir -p t/a; install -D a t", "", 1, "install: cannot create regular file 't/a': is a directory\n"},

        {"truncate -s 10 new; stat -c '%s %a' new; cat new", std::string("10 666\n\0\0\0\0\0\0\0\0\0\0", 17)},
        {"truncate -c -s 10 new; ls", ""},
        {"head -c 24 /dev/zero > f; truncate -s +1K f; stat -c %s f; truncate -s -100K f; stat -c %s f", "1048\n0\n"},
        {"truncate -s 2KB f; stat -c %s f; truncate -s 1MiB g; stat -c %s g", "2000\n1048576\n"},
        {"truncate -s 1k f", "", 1, "truncate: invalid number: '1k'\n"},
        {"truncate -s + f", "", 1, "truncate: invalid number: '+'\n"},
        {"truncate -s 99999999999999999999 f", "", 1, "truncate: invalid number: '99999999999999999999'\n"},
        {"truncate -s 5 .", "", 1, "truncate: cannot open '.': Not a file\n"},
        {"truncate f", "", 1, "truncate: missing operand\n"},
        {"truncate -s 1", "", 1, "truncate: missing file operand\n"},
        {"truncate -s", "", 2, "truncate: option requires an argument -- 's'\n"},
        {"truncate -cs5 f", "", 2, "truncate: unimplemented option '-cs5'\n"},
        {"printf abcdef > f; chmod 600 f; truncate -s 3 f; cat f; stat -c ' %a' f", "abc 600\n"},
    });
}

}  // namespace
}  // namespace tw::command_test

namespace tw::command_test {
namespace {

// Changes in one virtual instant still order: find -newer, test -nt and cp -p see it.
TEST(FileTimes, ChangesInOneInstantOrder) {
    Machine m = fresh_machine();
    EXPECT_EQ(run_in(m, "echo x > a").status, 0);
    EXPECT_EQ(run_in(m, "echo y > b").out, "");
    EXPECT_EQ(run_in(m, "find . -newer a").out, "./b\n");
    EXPECT_EQ(run_in(m, "[ b -nt a ] && [ a -ot b ] && echo ordered").out, "ordered\n");
    EXPECT_EQ(run_in(m, "touch c; mkdir d; find . -newer b | sort").out, "./c\n./d\n");
    EXPECT_EQ(run_in(m, "cp -p a a2; cp -a b b2; [ a -nt a2 ] || [ a2 -nt a ] || [ b -nt b2 ] || echo kept").out,
              "kept\n");
    EXPECT_EQ(run_in(m, "cp a a3; find . -newer d").out, "./a3\n");
}

// A tree copy that does not fit the disk fails whole: nothing of it is left behind.
TEST(FileBudgets, TreeCopyBeyondDiskLeavesNothing) {
    MachineLimits limits = kRoomyLimits;
    limits.disk = 64 * 1024;
    Machine m = fresh_machine(limits);
    Ran made = run_in(m, "mkdir -p d/e; head -c 12000 /dev/zero > d/a; head -c 12000 /dev/zero > d/e/b");
    ASSERT_EQ(made.status, 0) << made.err;
    const std::uint64_t used = m.vfs.used();
    Ran r = run_in(m, "cp -r d x; echo $?; cp -r d y; echo $?; ls");
    EXPECT_EQ(r.out, "0\n1\nd\nx\n");
    EXPECT_EQ(r.err, "cp: cannot copy 'd': No space left on device\n");
    EXPECT_GT(m.vfs.used(), used);
    EXPECT_LE(m.vfs.used(), limits.disk);
    EXPECT_EQ(m.vfs.used(), m.vfs.compute_used());
    // install and truncate are refused the same way and leave the file as it was.
    Ran t = run_in(m, "printf abc > f; truncate -s 60K f; echo $?; cat f");
    EXPECT_EQ(t.out, "1\nabc");
    EXPECT_EQ(t.err, "truncate: cannot open 'f': No space left on device\n");
}

// Work charges refused mid-command end it with 137; what was done stays done, nothing is torn.
TEST(FileBudgets, RefusedChargesEndWith137) {
    const MachineLimits tight{.cpu = 5000, .memory = 1ULL << 30, .disk = 1ULL << 30, .output = 1ULL << 28};
    for (const char* source : {"rm -r d", "du d", "tree d", "ls -R d", "cp -r d x", "chmod -R 700 d", "chown -R 1 d"}) {
        SCOPED_TRACE(source);
        Machine m = fresh_machine(tight);
        for (int i = 0; i < 10000; ++i) put_file(m, fmt::format("/tmp/d/{}", i), "");
        Ran r = run_in(m, source);
        EXPECT_EQ(r.status, 137);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(m.vfs.node("/tmp/x"), nullptr);
    }
    Machine m = fresh_machine(tight);
    put_file(m, "/tmp/f", "abc");
    EXPECT_EQ(run_in(m, "truncate -s +1M f").status, 137);
    EXPECT_EQ(file_contents(m, "/tmp/f"), "abc");
}

// The recursive commands walk with stacks of their own: a tree as deep as paths allow is fine.
TEST(FileTrees, DeepestTreeIsHandled) {
    Machine m = fresh_machine();
    std::string path = "/tmp/deep";
    while (path.size() + 2 < 4000) path += "/a";
    ASSERT_TRUE(m.vfs.create_dir_all("/", path).has_value());
    const std::size_t levels = (path.size() - 9) / 2;
    Ran r = run_in(m, "tree deep | tail -1; du -s deep | cut -f1; ls -R deep | grep -c :; chmod -R 700 deep; "
                      "mv deep d2; rm -r d2; ls");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, fmt::format("{} directories, 0 files\n{}\n{}\n", levels, 4 * (levels + 1), levels + 1));
}

}  // namespace
}  // namespace tw::command_test
