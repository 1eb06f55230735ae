#include <gtest/gtest.h>

#include "kernel/machine.h"
#include "shell/pathname.h"
#include "shell/pattern.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 1'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};

using Texts = std::vector<std::string>;

class PathnameTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);

    void SetUp() override {
        for (const char* f : {"/g/b.txt", "/g/a.txt", "/g/.h.txt", "/g/*.txt", "/g/!x.c", "/g/a.c", "/g/b.c",
                              "/g/c.c", "/g/d1/x.txt", "/g/d2/x.txt", "/g/d2/y.log"}) {
            std::string path(f);
            ASSERT_TRUE(m.vfs.create_dir_all("/", path.substr(0, path.rfind('/'))).has_value());
            ASSERT_TRUE(m.vfs.write_file(path, "x", 0644).has_value()) << f;
        }
        ASSERT_TRUE(m.vfs.symlink("/", "/nowhere", "/g/dang").has_value());
        ASSERT_TRUE(m.vfs.symlink("/", "/g/d1", "/g/dlink").has_value());
        m.states.active_mut().cwd = "/g";
    }

    // A field whose whole text was written unquoted in the word.
    Texts glob(std::string_view text) { return expand_pathnames(m, {std::string(text), std::string(text), true}); }
};

TEST_F(PathnameTest, MatchesComponentByComponent) {
    struct Case {
        const char* pattern;
        Texts result;
    };
    const Case cases[] = {
        {"*.txt", {"*.txt", "a.txt", "b.txt"}},
        {".*.txt", {".h.txt"}},
        {"[!a]*.c", {"!x.c", "b.c", "c.c"}},
        {"[^a]*.c", {"!x.c", "b.c", "c.c"}},
        {"[ab]*.c", {"a.c", "b.c"}},
        {"*/x.txt", {"d1/x.txt", "d2/x.txt", "dlink/x.txt"}},
        {"d?/x*", {"d1/x.txt", "d2/x.txt"}},
        {"da*", {"dang"}},
        {"../g/a.*", {"../g/a.c", "../g/a.txt"}},
        {"./b*", {"./b.c", "./b.txt"}},
        {"/g/d2/*.log", {"/g/d2/y.log"}},
        {"/g/d*/x.txt", {"/g/d1/x.txt", "/g/d2/x.txt", "/g/dlink/x.txt"}},
        {"d*/", {"d1/", "d2/", "dlink/"}},
        {".*", {".h.txt"}},
        {"*.none", {"*.none"}},
        {"[a", {"[a"}},
        {"nosuch/*", {"nosuch/*"}},
        {"a.c/*", {"a.c/*"}},
    };
    for (const auto& c : cases) EXPECT_EQ(glob(c.pattern), c.result) << c.pattern;
}

TEST_F(PathnameTest, QuotedPartsAndMarksDecide) {
    // No glob mark: the text stays, whatever it holds.
    EXPECT_EQ(expand_pathnames(m, {"*.txt", "*.txt", false}), Texts{"*.txt"});
    // "*".txt: the star is quoted, so only the file named *.txt matches.
    EXPECT_EQ(expand_pathnames(m, {"*.t*", shell_pattern_escape("*") + ".t*", true}), Texts{"*.txt"});
    // A quoted star and a literal mark elsewhere: a* with the a quoted still globs.
    EXPECT_EQ(expand_pathnames(m, {"a*", "a*", true}), (Texts{"a.c", "a.txt"}));
}

TEST_F(PathnameTest, NullglobDotglobAndNocaseglob) {
    auto& shopt = m.states.active_mut().shopt_enabled;
    shopt.insert("nullglob");
    EXPECT_EQ(glob("*.none"), Texts{});
    EXPECT_EQ(glob("[a"), Texts{"[a"});
    shopt.insert("dotglob");
    EXPECT_EQ(glob("*.txt"), (Texts{"*.txt", ".h.txt", "a.txt", "b.txt"}));
    shopt.insert("nocaseglob");
    EXPECT_EQ(glob("A.C"), Texts{"A.C"});  // no wildcard: never matched
    EXPECT_EQ(glob("A.[C]"), Texts{"a.c"});
}

TEST_F(PathnameTest, DanglingLinksExistAndRootWorks) {
    EXPECT_TRUE(pathname_entry_exists(m, "/g/dang"));
    EXPECT_FALSE(pathname_entry_exists(m, "/g/nothing"));
    EXPECT_EQ(glob("dan[g]"), Texts{"dang"});
    m.states.active_mut().cwd = "/";
    EXPECT_EQ(glob("g/d[12]"), (Texts{"g/d1", "g/d2"}));
}

TEST_F(PathnameTest, PseudoFilesystemsTakePart) {
    EXPECT_EQ(glob("/dev/nul?"), Texts{"/dev/null"});
    EXPECT_TRUE(pathname_entry_exists(m, "/dev/null"));
    auto status = glob("/proc/[0-9]*/status");
    EXPECT_FALSE(status.empty());
    EXPECT_NE(status, Texts{"/proc/[0-9]*/status"});
}

TEST_F(PathnameTest, ListingsAreChargedAndARefusalMeansNoMatch) {
    std::uint64_t before = m.meter.cpu_used();
    glob("*.c");
    // The listing: 12 names in /g plus the 3 bytes of the component; matching each name: its
    // bytes (47 in all) and 8 units for the attempt.
    EXPECT_EQ(m.meter.cpu_used() - before, 15u + 47 + 12 * 8);

    Machine tight = Machine::build({.cpu = 5, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20});
    ASSERT_TRUE(tight.vfs.write_file("/tmp/a.c", "x", 0644).has_value());
    tight.states.active_mut().cwd = "/tmp";
    tight.meter.charge_cpu(5);
    EXPECT_EQ(expand_pathnames(tight, {"*.c", "*.c", true}), Texts{"*.c"});
    EXPECT_TRUE(tight.meter.stop_reason().has_value());
}

}  // namespace
}  // namespace tw
