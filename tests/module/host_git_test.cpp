// The host git runner and object reader, the parent mapping of the history import, and the
// package destination check.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fmt/format.h>

#include "kernel/machine.h"
#include "module/host_git.h"
#include "module/host_history.h"
#include "module/host_import.h"

namespace tw {
namespace {

TEST(HostGit, Sha1Texts) {
    const std::string lower(40, 'a');
    const std::string mixed = "0123456789abcdefABCDEF0123456789abcdefAB";
    EXPECT_EQ(parse_sha1_hex(lower, "x").value(), lower);
    EXPECT_EQ(parse_sha1_hex(mixed, "x").value(), mixed);  // no case folding
    EXPECT_EQ(parse_sha1_hex(lower.substr(1), "HEAD").error(), fmt::format("invalid SHA-1 for HEAD: \"{}\"", lower.substr(1)));
    EXPECT_EQ(parse_sha1_hex(std::string(39, 'a') + "\n", "revision walk").error(),
              fmt::format("invalid SHA-1 for revision walk: \"{}\\n\"", std::string(39, 'a')));
    EXPECT_EQ(parse_sha1_hex(std::string(39, 'a') + "g", "x").error(),
              fmt::format("invalid SHA-1 for x: \"{}g\"", std::string(39, 'a')));
}

TEST(HostGit, FailureTextsAndOutputChecks) {
    const HostGitArgs args = {"rev-parse", "HEAD"};
    auto capture = [](int status, std::string err) { return HostGitCapture{status, {}, std::move(err)}; };
    EXPECT_EQ(git_host_failure_text(args, capture(1 << 8, "  fatal: bad\n\n")), "host git rev-parse HEAD failed: fatal: bad");
    EXPECT_EQ(git_host_failure_text(args, capture(3 << 8, " \n")), "host git rev-parse HEAD exited with status exit status: 3");
    EXPECT_EQ(git_host_failure_text(args, capture(SIGKILL, "")),
              "host git rev-parse HEAD exited with status signal: 9 (SIGKILL)");
    EXPECT_EQ(git_host_failure_text(args, capture(SIGSEGV | 0x80, "")),
              "host git rev-parse HEAD exited with status signal: 11 (SIGSEGV) (core dumped)");
    // Only the first 8192 bytes of standard error are quoted.
    EXPECT_EQ(git_host_failure_text(args, capture(1 << 8, std::string(9000, 'e'))).size(),
              std::string("host git rev-parse HEAD failed: ").size() + 8192);

    EXPECT_EQ(git_host_checked_output(args, "main \r\n\r\n").value(), "main ");
    EXPECT_EQ(git_host_checked_output(args, "\xff").error(), "git rev-parse HEAD returned non-UTF-8 output");
    EXPECT_EQ(git_host_checked_output(args, std::string(kHostGitOutputLimit + 1, 'x')).error(),
              "git rev-parse HEAD output exceeds the 8388608-byte spike limit");
}

class HostRepository : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no host git";
        char pattern[] = "/tmp/tw-host-git-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        const std::string script = fmt::format(
            "cd {} && git init -q -b main && printf 'hello\\n' > f && git add f && "
            "git -c user.name=A -c user.email=a@b commit -qm one",
            root_);
        ASSERT_EQ(std::system(script.c_str()), 0);
    }
    void TearDown() override {
        if (!root_.empty()) std::filesystem::remove_all(root_);
    }
    std::string root_;
};

TEST_F(HostRepository, CommandsAndTheirFailures) {
    EXPECT_EQ(git_host_output(root_, {"rev-parse", "--is-bare-repository"}).value(), "false");
    auto failed = git_host_output(root_, {"rev-parse", "--verify", "nosuchref"});
    EXPECT_TRUE(failed.error().starts_with("host git rev-parse --verify nosuchref failed: fatal: ")) << failed.error();
    const std::string missing = root_ + "/missing";
    EXPECT_EQ(git_host_run(missing, {"status"}).error(),
              "cannot run host git status: No such file or directory (os error 2)");
}

TEST_F(HostRepository, ObjectReader) {
    const std::string blob = "ce013625030ba8dba906f756967f9e9ca394464a";  // "hello\n"
    std::string upper = blob;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string absent(40, '1');
    auto reader = GitObjectReader::start(root_);
    ASSERT_TRUE(reader) << reader.error();
    EXPECT_EQ(reader->read_object(blob, "blob").value(), "hello\n");
    EXPECT_EQ(reader->read_object("HEAD", "commit").error(), "invalid SHA-1 for object request: \"HEAD\"");
    EXPECT_EQ(reader->read_object(blob, "blob").value(), "hello\n");  // nothing was sent for "HEAD"

    // Each answer that fails leaves the reader closed.
    const struct {
        std::string id, type, error;
    } failures[] = {
        {blob, "tree", fmt::format("Git object {0} resolved as {0} blob, expected tree", blob)},
        {upper, "blob", fmt::format("Git object {} resolved as {} blob, expected blob", upper, blob)},
        {absent, "blob", fmt::format("Git object {} is missing", absent)},
    };
    for (const auto& f : failures) {
        auto r = GitObjectReader::start(root_);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->read_object(f.id, f.type).error(), f.error);
        EXPECT_EQ(r->read_object(blob, "blob").error(), "host Git object reader is closed");
    }
}

// A stand-in for git found first on the search path: it records its environment, arguments,
// directory and input, and sleeps when asked to (or when run as the object reader).
class FakeGit : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tw-fake-git-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ + "/git") << "#!/bin/sh\n"
                                        "tr '\\000' '\\n' < /proc/$$/environ | sort > \"$0.env\"\n"
                                        "printf '%s\\n' \"$@\" > \"$0.args\"\n"
                                        "pwd > \"$0.pwd\"\n"
                                        "case \"$*\" in *sleep*|*cat-file*) exec sleep 30;; esac\n"
                                        "cat > \"$0.stdin\"\n"
                                        "echo out; echo err >&2; exit 3\n";
        std::filesystem::permissions(dir_ + "/git", std::filesystem::perms::owner_all);
        old_path_ = ::getenv("PATH");
        ::setenv("PATH", (dir_ + ":" + old_path_).c_str(), 1);
        ::setenv("GIT_DIR", "/elsewhere", 1);
    }
    void TearDown() override {
        ::setenv("PATH", old_path_.c_str(), 1);
        ::unsetenv("GIT_DIR");
        set_host_git_time_limit_ms(kHostGitTimeLimitMs);
        std::filesystem::remove_all(dir_);
    }
    std::string recorded(const std::string& what) {
        std::ostringstream text;
        text << std::ifstream(dir_ + "/git." + what).rdbuf();
        return text.str();
    }
    std::string dir_;
    std::string old_path_;
};

TEST_F(FakeGit, FixedEnvironmentArgumentsDirectoryAndNoInput) {
    const HostGitArgs args = {"rev-parse", "HEAD"};
    auto r = git_host_run(dir_, args);
    ASSERT_TRUE(r) << r.error();
    EXPECT_FALSE(r->success());
    EXPECT_EQ(r->out, "out\n");
    EXPECT_EQ(git_host_failure_text(args, *r), "host git rev-parse HEAD failed: err");
    EXPECT_EQ(recorded("env"),
              "GIT_ATTR_NOSYSTEM=1\nGIT_CONFIG_GLOBAL=/dev/null\nGIT_CONFIG_NOSYSTEM=1\nGIT_NO_LAZY_FETCH=1\n"
              "GIT_OPTIONAL_LOCKS=0\nGIT_PAGER=cat\nGIT_TERMINAL_PROMPT=0\nLC_ALL=C\nPAGER=cat\n"
              "PATH=/usr/local/bin:/usr/bin:/bin\n");
    EXPECT_EQ(recorded("args"),
              "--no-replace-objects\n-c\ncore.hooksPath=/dev/null\n-c\ncore.fsmonitor=false\nrev-parse\nHEAD\n");
    EXPECT_EQ(recorded("pwd"), dir_ + "\n");
    EXPECT_EQ(recorded("stdin"), "");
}

TEST_F(FakeGit, TimeLimitKillsTheCommandAndTheReader) {
    set_host_git_time_limit_ms(300);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(git_host_run(dir_, {"sleep"}).error(), "host git sleep exceeded the 300-millisecond time limit");
    auto reader = GitObjectReader::start(dir_);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->read_object(std::string(40, 'a'), "blob").error(),
              "host Git object reader exceeded the 300-millisecond time limit");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST(HistoryImport, ParentsMapToImportedCommits) {
    const std::string a(40, 'a'), b(40, 'b'), c(40, 'c'), outside(40, 'e');
    const std::vector<std::string> sorted = {a, b, c};
    const std::map<std::string, std::string> imported = {{a, "A"}, {b, "B"}};
    EXPECT_EQ(git_import::check_parent_order({b, outside, a}, sorted, imported, c).value(),
              (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(git_import::check_parent_order({c}, sorted, imported, b).error(),
              fmt::format("selected parent {} was not imported before {}", c, b));
    EXPECT_EQ(git_import::revision_walk(a + "\n" + b).value(), (std::vector<std::string>{a, b}));
    EXPECT_TRUE(git_import::revision_walk("").value().empty());
    EXPECT_EQ(git_import::revision_walk(a + "\nzz").error(), "invalid SHA-1 for revision walk: \"zz\"");
}

TEST(PackageDestination, BuiltinStubsAreReplacedOnlyWhenNamedAndUntouched) {
    Machine m = Machine::build({.cpu = 1'000'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20});
    ASSERT_FALSE(m.vfs.base_natives().empty());
    const std::string stub = m.vfs.base_natives().begin()->first;
    const Bytes content = "#!/bin/sh\n";
    EXPECT_FALSE(check_package_destination(m.vfs, stub, &content, 0755, true).value());
    EXPECT_EQ(check_package_destination(m.vfs, stub, &content, 0755, false).error(),
              VfsError::invalid("package import would overwrite an incompatible VFS node: " + stub));
    EXPECT_FALSE(check_package_destination(m.vfs, stub, nullptr, 0755, true));  // a directory on a stub
    // A stub that now names another program is no longer the base image's.
    m.vfs.store_node(stub, VfsNode::native(NativeProgram::named("other"), 0755, 99, 0));
    EXPECT_FALSE(check_package_destination(m.vfs, stub, &content, 0755, true));
    // A file below a stub: the stub is a non-directory ancestor.
    EXPECT_EQ(check_package_destination(m.vfs, stub + "/x", &content, 0644, false).error(),
              VfsError::invalid(fmt::format("package destination has a non-directory ancestor: {}/x", stub)));
}

}  // namespace
}  // namespace tw
