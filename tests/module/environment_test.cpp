// The bodies of the host operations without Python: session bookkeeping in the scheduler and the
// container forms of file transfer.
#include <gtest/gtest.h>

#include <string>

#include <fmt/format.h>

#include "kernel/machine.h"
#include "module/environment.h"
#include "module/transfer.h"
#include "shell/exec.h"
#include "shell/parser.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 26};

bool parked(const Machine& m, Pid pid) {
    const TaskState* task = m.scheduler.find_task(pid);
    return task != nullptr && task->kind() == TaskKind::Blocked && *task->reason() == WaitReason::shell_session(pid);
}

void expect_between_calls(const Machine& m) {
    EXPECT_TRUE(default_shell_idle(m));
    EXPECT_EQ(m.scheduler.running(), kFirstShellPid);
}

TEST(ShellSessions, ParkedBetweenCallsAndGoneAfterExit) {
    Machine m = Machine::build(kRoomy);
    auto a = create_shell_session(m);
    auto b = create_shell_session(m);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(parked(m, *a));
    EXPECT_TRUE(parked(m, *b));
    EXPECT_TRUE(m.scheduler.run_queue().empty());
    expect_between_calls(m);

    auto r = run_shell_session(m, *a, "v=1; echo $v", {});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->out, "1\n");
    EXPECT_TRUE(parked(m, *a));
    expect_between_calls(m);

    auto gone = run_shell_session(m, *b, "exit 5", {});
    ASSERT_TRUE(gone);
    EXPECT_NE(gone->metadata.find("\"exit_status\":5"), std::string::npos);
    EXPECT_EQ(m.states.find(*b), nullptr);
    EXPECT_EQ(m.scheduler.find_task(*b), nullptr);
    expect_between_calls(m);
    EXPECT_EQ(run_shell_session(m, *b, "true", {}).error(), fmt::format("shell session {} is not idle", *b));
    EXPECT_FALSE(machine_terminated(m));
}

TEST(ShellSessions, SessionsThatComeAndGoLeaveNothingBehind) {
    Machine m = Machine::build(kRoomy);
    const std::size_t records = m.processes.records().size();
    for (int i = 0; i < 1100; ++i) {  // more than the scheduler's task table holds
        auto session = create_shell_session(m);
        ASSERT_TRUE(session) << i << ": " << session.error();
        ASSERT_TRUE(run_shell_session(m, *session, "exit 1", {}));
    }
    EXPECT_EQ(m.processes.records().size(), records);
    EXPECT_EQ(m.scheduler.tasks().size(), 1u);
    expect_between_calls(m);
}

TEST(ShellSessions, RefusedWhileTheDefaultShellIsBusy) {
    Machine m = Machine::build(kRoomy);
    auto session = create_shell_session(m);
    ASSERT_TRUE(session);
    // A program left installed on the default shell (an action that never finished).
    auto parsed = shell_parse("true");
    ASSERT_TRUE(parsed);
    m.states.active_mut().program = shell_program_continuation(std::move(*parsed), false);
    EXPECT_EQ(create_shell_session(m).error(), "shell sessions can be created only from an idle default shell");
    EXPECT_EQ(run_shell_session(m, *session, "true", {}).error(), "default shell is not idle");
    EXPECT_EQ(run_shell_session(m, kFirstShellPid, "true", {}).error(), "default shell is not idle");
}

TEST(ShellSessions, AnActionThatCannotFinishLeavesTheSessionUsable) {
    Machine m = Machine::build(kRoomy);
    auto session = create_shell_session(m);
    ASSERT_TRUE(session);
    // Reading a pipe nobody writes to, with no event to wait for.
    auto stuck = run_shell_session(m, *session, "cat", {});
    ASSERT_TRUE(stuck);
    auto again = run_shell_session(m, *session, "echo fine", {});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->out, "fine\n");
    expect_between_calls(m);
}

TEST(HostRoutes, RegistrationAndRefusalText) {
    Machine m = Machine::build(kRoomy);
    EXPECT_TRUE(register_http_route(m, HttpRoute{.pattern = "u", .method = "get", .status = 200}));
    EXPECT_EQ(m.broker.routes().back().method, "GET");
    EXPECT_EQ(register_http_route(m, HttpRoute{.pattern = "u", .status = 99}).error(), "invalid HTTP status 99");
}

TEST(ContainerTransfer, PathsModesAndMissingParents) {
    Machine m = Machine::build(kRoomy);
    EXPECT_EQ(resolve_container_path("a/../b.txt"), "/work/b.txt");
    EXPECT_EQ(resolve_container_path("/tmp/x"), "/tmp/x");
    EXPECT_EQ(resolve_container_path(std::string("a\0b", 3)).error(), "container path contains NUL");

    ASSERT_TRUE(container_write_file(m, "/work/a/b.txt", "data", 0600));
    EXPECT_EQ(m.vfs.metadata("/", "/work/a", false)->mode, 0755u);
    EXPECT_EQ(m.vfs.metadata("/", "/work/a/b.txt", false)->mode, 0600u);
    ASSERT_TRUE(container_write_file(m, "/work/a/b.txt", "new", 0640));
    EXPECT_EQ(m.vfs.metadata("/", "/work/a/b.txt", false)->mode, 0640u);  // the container form sets the mode
    EXPECT_EQ(container_read_file(m, "/work/a/b.txt").value(), "new");
    EXPECT_EQ(container_write_file(m, "/work/x", "", 0100644).error(), "invalid file mode");
    EXPECT_EQ(container_write_file(m, "/work/a", "", 0644).error(), "Is a directory: /work/a");

    ASSERT_TRUE(container_mkdir(m, "/work/d/e", 0700));
    EXPECT_EQ(m.vfs.metadata("/", "/work/d", false)->mode, 0755u);
    EXPECT_EQ(m.vfs.metadata("/", "/work/d/e", false)->mode, 0700u);
    ASSERT_TRUE(container_mkdir(m, "/work/d", 0711));  // an existing directory takes the mode
    EXPECT_EQ(m.vfs.metadata("/", "/work/d", false)->mode, 0711u);
    EXPECT_EQ(container_mkdir(m, "/work/f", 010000).error(), "invalid directory mode");
    EXPECT_EQ(container_mkdir(m, "/proc/z", 0755).error(), "Read-only filesystem: /proc/z");
}

TEST(EnvironmentTransfer, ExistingFileKeepsItsModeAndParentsAreNotCreated) {
    Machine m = Machine::build(kRoomy);
    ASSERT_TRUE(environment_write_file(m, "/tmp/f", "one", 0644));
    ASSERT_TRUE(environment_write_file(m, "/tmp/f", "two", 0600));
    EXPECT_EQ(m.vfs.metadata("/", "/tmp/f", false)->mode, 0644u);
    ASSERT_TRUE(environment_write_file(m, "/tmp/g", "", 0100644));
    EXPECT_EQ(m.vfs.metadata("/", "/tmp/g", false)->mode, 0100644u);  // stored unchanged
    EXPECT_EQ(error_text(environment_write_file(m, "a/b.txt", "", 0644).error()), "No such file or directory: /a");
    EXPECT_EQ(environment_read_file(m, "tmp/f").value(), "two");
}

}  // namespace
}  // namespace tw
