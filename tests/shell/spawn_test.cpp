// Spawn requests through the system-call interface, interpreter-line chains, and the executor's
// start of a script whose interpreter is itself a script.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "exec_fixture.h"
#include "kernel/spawn.h"
#include "kernel/syscalls.h"
#include "shell/launch.h"
#include "shell/spawn.h"

namespace tw {
namespace {

using exec_test::ExecFixture;

class Spawn : public ExecFixture {
protected:
    void file(std::string_view path, Bytes content, std::uint32_t mode = 0755) {
        ASSERT_TRUE(m.vfs.write_file(path, std::move(content), mode).has_value());
    }

    Result<Pid, SyscallError> spawn(const SpawnRequest& request) {
        (void)m.states.select(kFirstShellPid);
        SyscallContext sys(m, command_launcher());
        auto pid = sys.spawn_process(request);
        EXPECT_EQ(m.states.active_pid(), kFirstShellPid);
        return pid;
    }

    // Lets spawned children run: the shell sleeps one virtual second meanwhile.
    exec_test::RunResult settle() { return run("sleep 1"); }

    static SpawnRequest request(std::string program, std::vector<std::string> argv, bool search = true) {
        SpawnRequest r;
        r.program = std::move(program);
        r.argv = std::move(argv);
        r.search = search;
        return r;
    }

    // Everything a failed spawn must leave as it was.
    struct Trace {
        std::size_t records;
        std::size_t tasks;
        std::uint64_t memory;
        friend bool operator==(const Trace&, const Trace&) = default;
    };
    Trace trace() { return {m.processes.records().size(), m.scheduler.tasks().size(), m.meter.memory_current()}; }

    // c1 names /bin/sh; each further c<i> names c<i-1>.
    void chain(int levels) {
        std::string previous = "/bin/sh";
        for (int i = 1; i <= levels; ++i) {
            const std::string path = fmt::format("/tmp/c{}", i);
            file(path, fmt::format("#!{}\necho level{} \"$0\" \"$@\"\n", previous, i));
            previous = path;
        }
    }
};

TEST_F(Spawn, SearchesPathOnlyWhenAsked) {
    auto pid = spawn(request("echo", {"echo", "hi"}));
    ASSERT_TRUE(pid.has_value()) << error_text(pid.error());
    EXPECT_EQ(m.processes.find(*pid)->command, "echo hi");
    auto r = settle();
    EXPECT_EQ(r.out, "hi\n");

    const Trace before = trace();
    auto missing = spawn(request("echo", {"echo", "hi"}, false));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), SyscallError::file(VfsError::not_found("/tmp/echo")));
    EXPECT_EQ(trace(), before);
}

TEST_F(Spawn, EnvironmentIsExactlyTheRequests) {
    SpawnRequest empty = request("env", {"env"});
    auto pid = spawn(empty);
    ASSERT_TRUE(pid.has_value());
    const ProcessState* child = m.states.find(*pid);
    ASSERT_NE(child, nullptr);
    // PWD still holds the directory, but it is not exported.
    EXPECT_EQ(child->variables.at("PWD"), "/tmp");
    EXPECT_FALSE(child->exported_names.contains("PWD"));
    EXPECT_EQ(settle().out, "");

    SpawnRequest with_pwd = request("env", {"env"});
    with_pwd.environment = {{"PWD", "/elsewhere"}, {"A", "1"}};
    ASSERT_TRUE(spawn(with_pwd).has_value());
    EXPECT_EQ(settle().out, "A=1\nPWD=/elsewhere\n");
}

TEST_F(Spawn, DescriptorActionsAndCloseOnExec) {
    shell().umask = 022;
    SpawnRequest r = request("true", {"true"});
    spawn_action::Open created{.path = "new", .fd = 9, .mode = 0666, .flags = OpenFlags::output(), .cloexec = true};
    spawn_action::Open marked = created;
    marked.path = "other";
    marked.fd = 8;
    r.actions = {created, spawn_action::Dup2{1, 9}, marked};
    auto pid = spawn(r);
    ASSERT_TRUE(pid.has_value()) << error_text(pid.error());
    const ProcessState* child = m.states.find(*pid);
    // Dup2 took the mark off 9; 8 kept its mark and went at the launch.
    EXPECT_TRUE(child->descriptors.lookup(9).has_value());
    EXPECT_FALSE(child->descriptors.lookup(8).has_value());
    auto node = m.vfs.lookup("/", "/tmp/new", true);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ((*node)->mode & 0777, 0644u);
}

TEST_F(Spawn, FailureLeavesNoTrace) {
    file("/tmp/exists", "x", 0644);
    file("/tmp/keep", "keep me", 0644);
    const Trace before = trace();
    const std::uint64_t disk_before = m.vfs.used();
    SpawnRequest r = request("true", {"true"});
    r.actions = {
        spawn_action::Open{.path = "made", .fd = 7, .flags = OpenFlags::output()},
        spawn_action::Open{.path = "keep", .fd = 6, .flags = OpenFlags::output()},
        spawn_action::Open{.path = "exists", .fd = 8, .flags = {.write = true, .create = true, .exclusive = true}},
    };
    auto pid = spawn(r);
    ASSERT_FALSE(pid.has_value());
    EXPECT_EQ(pid.error().kind, SyscallError::Kind::File);
    EXPECT_EQ(trace(), before);
    EXPECT_FALSE(m.vfs.lookup("/", "/tmp/made", true).has_value());
    EXPECT_EQ(*m.vfs.read_file("/", "/tmp/keep", 100), "keep me");
    EXPECT_EQ(m.vfs.used(), disk_before);

    // A script without an interpreter line cannot be spawned.
    file("/tmp/plain", "echo plain\n");
    auto plain = spawn(request("/tmp/plain", {"plain"}));
    ASSERT_FALSE(plain.has_value());
    EXPECT_EQ(plain.error(), SyscallError::executable_format());
    EXPECT_EQ(trace(), before);

    EXPECT_EQ(spawn(request("true", {})).error(), SyscallError::invalid_argument());
    EXPECT_EQ(spawn(request(std::string(4097, 'a'), {"a"})).error(), SyscallError::invalid_argument());
}

TEST_F(Spawn, NeedsTheLaunchLayer) {
    SyscallContext bare(m);
    auto pid = bare.spawn_process(request("true", {"true"}));
    ASSERT_FALSE(pid.has_value());
    EXPECT_EQ(error_text(pid.error()), "process spawning is not available");
}

TEST_F(Spawn, InterpreterArgumentStaysOneWord) {
    file("/tmp/s", "#!/bin/sh -e -x\n");
    std::string path = "/tmp/s";
    std::vector<std::string> argv = {"s", "a"};
    ASSERT_TRUE(m.resolve_shebang(path, argv).has_value());
    EXPECT_EQ(path, "/bin/sh");
    EXPECT_EQ(argv, (std::vector<std::string>{"/bin/sh", "-e -x", "/tmp/s", "a"}));

    const std::pair<const char*, SyscallError> refused[] = {
        {"#!sh\n", SyscallError::executable_format()},
        {"no line\n", SyscallError::executable_format()},
        {"#!/no/such\n", SyscallError::file(VfsError::not_found("/no/such"))},
    };
    for (const auto& [content, error] : refused) {
        file("/tmp/s", content);
        path = "/tmp/s";
        EXPECT_EQ(m.resolve_shebang(path, argv).error(), error) << content;
    }
    file("/tmp/long", Bytes(4096, 'x'));
    path = "/tmp/long";
    EXPECT_EQ(m.resolve_shebang(path, argv).error(), SyscallError::executable_format());
}

TEST_F(Spawn, ChainsOfSevenWorkAndEightFail) {
    chain(8);
    std::string path = "/tmp/c7";
    std::vector<std::string> argv = {"c7", "x"};
    ASSERT_TRUE(m.resolve_shebang(path, argv).has_value());
    EXPECT_EQ(argv, (std::vector<std::string>{"/bin/sh", "/tmp/c1", "/tmp/c2", "/tmp/c3", "/tmp/c4", "/tmp/c5",
                                              "/tmp/c6", "/tmp/c7", "x"}));
    path = "/tmp/c8";
    argv = {"c8"};
    EXPECT_EQ(m.resolve_shebang(path, argv).error(), SyscallError::executable_format());

    ASSERT_TRUE(spawn(request("/tmp/c7", {"c7", "x"})).has_value());
    EXPECT_EQ(settle().out, "level1 /tmp/c1 /tmp/c2 /tmp/c3 /tmp/c4 /tmp/c5 /tmp/c6 /tmp/c7 x\n");
    EXPECT_EQ(spawn(request("/tmp/c8", {"c8"})).error(), SyscallError::executable_format());
}

TEST_F(Spawn, ShellRunsScriptChainsUpToTheLimit) {
    chain(8);
    file("/tmp/self", "#!/tmp/self\n");
    struct Case {
        const char* script;
        const char* out;
        const char* err;
        std::int32_t status;
    };
    const Case cases[] = {
        {"/tmp/c2 a", "level1 /tmp/c1 /tmp/c2 a\n", "", 0},
        {"/tmp/c7", "level1 /tmp/c1 /tmp/c2 /tmp/c3 /tmp/c4 /tmp/c5 /tmp/c6 /tmp/c7\n", "", 0},
        {"/tmp/c8", "", "/tmp/c8: unsupported script interpreter\n", 126},
        {"/tmp/self", "", "/tmp/self: unsupported script interpreter\n", 126},
    };
    for (const Case& c : cases) {
        auto r = run(c.script);
        EXPECT_EQ(r.out, c.out) << c.script;
        EXPECT_EQ(r.err, c.err) << c.script;
        EXPECT_EQ(r.status, c.status) << c.script;
    }
}

TEST(ArgvDisplayLine, CutsAtTheLimitWithoutSplittingACharacter) {
    EXPECT_EQ(argv_display_line({std::string(5000, 'a')}), std::string(4096, 'a'));
    const std::string wide = std::string(4095, 'a') + "\xC3\xA9";  // é straddles the limit
    EXPECT_EQ(argv_display_line({wide}), std::string(4095, 'a'));
}

}  // namespace
}  // namespace tw
