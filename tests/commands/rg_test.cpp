#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/search/rg_select.h"
#include "kernel/syscalls.h"
#include "run_fixture.h"

namespace tw {
namespace {

using command_test::fresh_machine;
using command_test::run;
using command_test::run_in;

TEST(RgValues, CountsAndContextCounts) {
    EXPECT_EQ(rg_parse_context_count("-C", "0"), 0u);
    EXPECT_EQ(rg_parse_context_count("-C", "1000"), 1000u);
    EXPECT_EQ(rg_parse_context_count("-C", "+5"), 5u);
    EXPECT_EQ(rg_parse_context_count("-C", "1001").error(), "option -C exceeds the context limit");
    EXPECT_EQ(rg_parse_context_count("-A", "-1").error(), "option -A requires a non-negative integer");
    EXPECT_EQ(rg_parse_count("-m", "1.5").error(), "option -m requires a non-negative integer");
    EXPECT_EQ(rg_parse_count("-m", "99999999999999999999").error(), "option -m requires a non-negative integer");

    const std::vector<std::string> args{"-e", "x", "-C"};
    std::size_t i = 0;
    EXPECT_EQ(rg_take_option_value(args, i, "-e"), "x");
    EXPECT_EQ(i, 1u);
    i = 2;
    EXPECT_EQ(rg_take_context_option(args, i, "-C").error(), "option -C requires a value");
    EXPECT_EQ(i, 3u);  // moved even when nothing was left
}

TEST(RgValues, SelectionByHiddenGlobAndType) {
    struct Case {
        std::vector<std::string> globs, types;
        bool hidden;
        std::string path;
        bool selected;
    };
    const Case cases[] = {
        {{"*.rs", "!main.rs"}, {}, false, "src/lib.rs", true},
        {{"*.rs", "!main.rs"}, {}, false, "src/main.rs", false},
        {{"*.rs"}, {}, false, "README.md", false},
        {{"!*.md"}, {}, false, "README.md", false},
        {{"!*.md"}, {}, false, "src/a.rs", true},
        {{"!main.rs", "main.rs"}, {}, false, "main.rs", true},  // the last matching glob decides
        {{}, {"py"}, false, "a/b.pyi", true},
        {{}, {"py"}, false, "a/b.pyc", false},
        {{}, {"python", "rust"}, false, "x.rs", true},
        {{}, {"nosuchtype"}, false, "a.py", false},
        {{}, {"c"}, false, "Makefile", false},
        {{}, {}, false, ".git/config", false},
        {{}, {}, false, "src/.env", false},
        {{}, {}, false, "../notes.txt", false},
        {{}, {}, false, "./src/a.rs", true},
        {{}, {}, true, "src/.env", true},
    };
    for (const Case& c : cases) {
        RgSelection s{c.hidden, c.globs, c.types};
        EXPECT_EQ(rg_selects(s, c.path), c.selected) << c.path;
    }
    for (const auto& [type, ext] : std::vector<std::pair<std::string, std::string>>{
             {"js", "cjs"}, {"ts", "tsx"}, {"yaml", "yml"}, {"markdown", "md"}, {"shell", "zsh"}, {"cpp", "hpp"},
             {"ruby", "rb"}, {"html", "htm"}, {"css", "less"}, {"go", "go"}, {"java", "java"}, {"json", "json"},
             {"toml", "toml"}})
        EXPECT_TRUE(rg_type_accepts(type, ext)) << type;
}

TEST(RgValues, CollectReadsChargesAndRefusesLargeFiles) {
    Machine m = fresh_machine();
    ASSERT_TRUE(m.vfs.write_file("/tmp/small.txt", "abc\n", 0644).has_value());
    ASSERT_TRUE(m.vfs.write_file("/tmp/big.txt", std::string(kRgFileLimit + 1, 'x'), 0644).has_value());
    SyscallContext sys(m);
    std::vector<RgFile> files;
    std::uint64_t charged = 0;
    const std::uint64_t before = sys.memory_used();
    ASSERT_TRUE(rg_collect_file(sys, {}, "small.txt", true, files, charged).has_value());
    ASSERT_TRUE(rg_collect_file(sys, {}, ".hidden", false, files, charged).has_value());  // skipped
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].path, "small.txt");
    EXPECT_EQ(files[0].contents.view(), "abc\n");
    EXPECT_TRUE(files[0].walked);
    EXPECT_EQ(charged, 4u);
    EXPECT_EQ(sys.memory_used(), before + 4);
    sys.release_memory(charged);

    auto big = rg_collect_file(sys, {}, "big.txt", false, files, charged);
    ASSERT_FALSE(big.has_value());
    EXPECT_NE(big.error().find("4194304"), std::string::npos) << big.error();
    EXPECT_EQ(files.size(), 1u);
}

class RgTree : public ::testing::Test {
protected:
    void SetUp() override {
        m_ = std::make_unique<Machine>(fresh_machine());
        write("/tmp/p/a.py", "import os\nx = 1\n");
        write("/tmp/p/setup.py", "import setuptools\n");
        write("/tmp/p/README.md", "# import guide\n");
        write("/tmp/p/src/lib.rs", "fn main() {}\nuse std::io;\n");
        write("/tmp/p/.env", "SECRET=import\n");
        write("/tmp/p/bin.dat", std::string("import\0x\n", 9));
        write("/tmp/notes.txt", "import notes\n");
        write("/tmp/ctx.txt", "l1\nhit\nl3\nl4\nl5\nl6\nhit\nl8\n");
        ProcessState& shell = *m_->states.find_mut(kFirstShellPid);
        shell.cwd = "/tmp/p";
        set_variable(shell, "PWD", "/tmp/p");
    }
    void write(const std::string& path, const std::string& bytes) {
        ASSERT_TRUE(m_->vfs.write_file(path, bytes, 0644).has_value()) << path;
    }
    command_test::Ran sh(std::string_view script, std::string_view input = {}) { return run_in(*m_, script, input); }

    std::unique_ptr<Machine> m_;
};

TEST_F(RgTree, SearchesTheWorkingDirectoryWithNames) {
    auto r = sh("rg -n import");
    EXPECT_EQ(r.out, "README.md:1:# import guide\na.py:1:import os\nsetup.py:1:import setuptools\n");
    EXPECT_EQ(r.status, 0);
    r = sh("rg import . --hidden -a -c");
    // Walked names are relative to the working directory, whatever the path given.
    EXPECT_EQ(r.out, ".env:1\nREADME.md:1\na.py:1\nbin.dat:1\nsetup.py:1\nsrc/lib.rs:0\n");
    r = sh("rg zzz");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
}

TEST_F(RgTree, PipedInputWithoutPathIsSearched) {
    auto r = sh("printf 'a\\nb\\n' | rg b");
    EXPECT_EQ(r.out, "b\n");
    EXPECT_EQ(r.status, 0);
    r = sh("rg -n b -", "a\nb\n");
    EXPECT_EQ(r.out, "2:b\n");
    r = sh("rg b -- - a.py", "b\n");  // after "--" a dash names the standard input
    EXPECT_EQ(r.out, "-:b\n");
}

TEST_F(RgTree, ExplicitFilesAndHiddenPaths) {
    auto r = sh("rg import a.py");
    EXPECT_EQ(r.out, "import os\n");
    r = sh("rg import a.py setup.py");
    EXPECT_EQ(r.out, "a.py:import os\nsetup.py:import setuptools\n");
    r = sh("rg import .env ../notes.txt");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    r = sh("rg import ./a.py /tmp/notes.txt");
    EXPECT_EQ(r.out, "./a.py:import os\n/tmp/notes.txt:import notes\n");
    r = sh("rg import nope a.py");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "rg: nope: No such file or directory\n");
    EXPECT_EQ(r.status, 2);
}

TEST_F(RgTree, GlobsAndTypes) {
    auto r = sh("rg -l import --glob '!*.md'");
    EXPECT_EQ(r.out, "a.py\nsetup.py\n");
    r = sh("rg -l import --glob '*.py' --glob '!setup.py'");
    EXPECT_EQ(r.out, "a.py\n");
    r = sh("rg -l import -tmd");
    EXPECT_EQ(r.out, "README.md\n");
    r = sh("rg -l . -t rust");
    EXPECT_EQ(r.out, "src/lib.rs\n");
    r = sh("rg --files -g '*.py'");
    EXPECT_EQ(r.out, "a.py\nsetup.py\n");
}

TEST_F(RgTree, SummaryModes) {
    auto r = sh("rg -c import a.py src/lib.rs");
    EXPECT_EQ(r.out, "a.py:1\nsrc/lib.rs:0\n");
    EXPECT_EQ(r.status, 0);
    r = sh("rg --files-without-match import a.py src/lib.rs");
    EXPECT_EQ(r.out, "src/lib.rs\n");
    EXPECT_EQ(r.status, 0);
    r = sh("rg -l -c import a.py src/lib.rs");
    EXPECT_EQ(r.out, "a.py\nsrc/lib.rs:0\n");
    r = sh("rg -q import a.py src/lib.rs");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    r = sh("rg --files");
    EXPECT_EQ(r.out, "README.md\na.py\nbin.dat\nsetup.py\nsrc/lib.rs\n");  // a zero byte does not hide it here
    r = sh("rg -c import bin.dat; echo $?");
    EXPECT_EQ(r.out, "1\n");  // skipped: no count line
}

TEST_F(RgTree, MaxCountOnlyMatchingAndContext) {
    auto r = sh("rg -m 1 . a.py");
    EXPECT_EQ(r.out, "import os\n");
    r = sh("rg -m 0 . a.py");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    r = sh("rg -o '[a-z]+' -n src/lib.rs");
    EXPECT_EQ(r.out, "1:fn\n1:main\n2:use\n2:std\n2:io\n");
    r = sh("rg -C1 hit /tmp/ctx.txt");
    EXPECT_EQ(r.out, "1-l1\n2:hit\n3-l3\n--\n6-l6\n7:hit\n8-l8\n");
    r = sh("rg -A1 -m1 hit /tmp/ctx.txt");
    EXPECT_EQ(r.out, "2:hit\n3-l3\n");
    r = sh("rg -B 2 hit /tmp/ctx.txt -H");
    EXPECT_EQ(r.out, "/tmp/ctx.txt-1-l1\n/tmp/ctx.txt:2:hit\n--\n/tmp/ctx.txt-5-l5\n/tmp/ctx.txt-6-l6\n/tmp/ctx.txt:7:hit\n");
}

TEST_F(RgTree, UnicodeCaseAndWords) {
    write("/tmp/p/u.txt", "Straße\nÉCOLE\nécoles\n");
    auto r = sh("rg -i école u.txt");
    EXPECT_EQ(r.out, "ÉCOLE\nécoles\n");
    r = sh("rg -iw école u.txt");
    EXPECT_EQ(r.out, "ÉCOLE\n");
    r = sh("rg -F -c 'a.b' u.txt");
    EXPECT_EQ(r.out, "0\n");
    write("/tmp/p/bad.txt", "caf\xe9 x\n");
    r = sh("rg -c 'caf\xEF\xBF\xBD' bad.txt");  // invalid bytes read as U+FFFD
    EXPECT_EQ(r.out, "1\n");
}

TEST(Rg, OptionErrors) {
    struct Err {
        std::string script;
        std::string err;
    };
    const Err cases[] = {
        {"rg", "rg: a pattern is required\n"},
        {"rg -o -v x", "rg: --only-matching cannot be combined with inverse, context, or file-list modes\n"},
        {"rg -o -C1 x", "rg: --only-matching cannot be combined with inverse, context, or file-list modes\n"},
        {"rg --color=always x", "rg: unsupported option --color=always\n"},
        {"rg --colour=never x", "rg: unsupported option --colour=never\n"},
        {"rg -inx x", "rg: unsupported option -inx\n"},
        {"rg -e", "rg: option -e requires a value\n"},
        {"rg -C 1001 x", "rg: option -C exceeds the context limit\n"},
        {"rg --context=1001 x", "rg: option --context exceeds the context limit\n"},
        {"rg -A1001 x", "rg: option -A exceeds the context limit\n"},
        {"rg -m -1 x", "rg: option -m requires a non-negative integer\n"},
        {"rg '(' x", "rg: invalid regular expression: missing closing parenthesis at offset 5\n"},
    };
    for (const Err& c : cases) {
        const auto r = run(c.script, "x\n");
        EXPECT_EQ(r.err, c.err) << c.script;
        EXPECT_EQ(r.status, 2) << c.script;
        EXPECT_EQ(r.out, "") << c.script;
    }
    const auto limit = run("rg '(a+)+$'", std::string(40, 'a') + "!\n");
    EXPECT_EQ(limit.err, "rg: -: match limit exceeded\n");
    EXPECT_EQ(limit.status, 2);

    // Accepted and ignored.
    const auto ok = run("rg --color=never --no-heading --no-ignore - x", "x\n");
    EXPECT_EQ(ok.out, "x\n");
    EXPECT_EQ(ok.status, 0);
}

}  // namespace
}  // namespace tw
