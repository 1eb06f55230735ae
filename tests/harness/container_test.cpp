// The container harness driven through its dispatcher as a host would: actions started, polled,
// fed, read, cancelled and dropped; tool calls answered; file requests confined to /work (links
// included); the workspace checkpoint, diff and restore; the exact reply texts.
#include <gtest/gtest.h>

#include <string>

#include "harness/container.h"
#include "kernel/machine.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 26};

constexpr std::string_view kToolPost =
    R"(curl -s -X POST -d '{"tool":"t","arguments":{"b":2,"a":1}}' http://tools.tarnwick/tools)";

struct ContainerTest : ::testing::Test {
    HarnessContainer c = HarnessContainer::create(kRoomy, false);

    // The reply's JSON text, or "error: " and the failure text.
    std::string send(HarnessRequest request) {
        auto result = harness_dispatch(c, std::move(request));
        if (!result) return "error: " + result.error();
        return harness_result_json(*result);
    }
    std::string start(std::string_view source, std::string_view input = "", bool close = true) {
        return send(request::StartAction{std::string(source), base64_encode(input), close});
    }
    std::string poll(std::uint64_t id, std::uint64_t quanta = kMaxWorkQuanta) {
        return send(request::PollAction{id, quanta, true});
    }
    // Polls until the action is complete (at most 50 polls).
    std::string finish(std::uint64_t id) {
        std::string view;
        for (int i = 0; i < 50; ++i) {
            view = poll(id);
            if (view.find("\"state\":{\"state\":\"complete\"") != std::string::npos) break;
        }
        return view;
    }
    std::string output(std::uint64_t id) { return send(request::ReadActionOutput{id}); }
    ActionView view(std::uint64_t id) { return harness_action_view(c.actions.at(id), c.machine); }
    std::string write(std::string path, std::string_view data, std::uint32_t mode = 0644) {
        return send(request::WriteFile{std::move(path), base64_encode(data), mode});
    }
};

std::string output_json(std::uint64_t id, std::string_view out, std::string_view err, bool closed) {
    const char* flag = closed ? "true" : "false";
    return "{\"kind\":\"action_output\",\"action_id\":" + std::to_string(id) + ",\"stdout_base64\":\"" +
           base64_encode(out) + "\",\"stderr_base64\":\"" + base64_encode(err) + "\",\"stdout_closed\":" + flag +
           ",\"stderr_closed\":" + flag + "}";
}

TEST_F(ContainerTest, NewContainerWorksInWork) {
    const VfsNode* work = c.machine.vfs.node("/work");
    ASSERT_NE(work, nullptr);
    EXPECT_TRUE(work->is_dir());
    EXPECT_EQ(work->mode, 0755u);
    EXPECT_EQ(c.machine.states.active().cwd, "/work");
    EXPECT_TRUE(c.machine.broker.host_tools_enabled());
    EXPECT_EQ(send(request::WorkspaceDiff{}), R"({"kind":"workspace_diff","changes":[]})");
    start("pwd; echo $PWD");
    finish(0);
    EXPECT_EQ(output(0), output_json(0, "/work\n/work\n", "", true));
}

TEST_F(ContainerTest, ActionRunsOnlyWhenPolledAndOutputIsReadOnce) {
    const std::string started = start("echo out; echo err >&2; cat", "in\n");
    EXPECT_EQ(started,
              "{\"kind\":\"action\",\"action_id\":0,\"root_pid\":1234,\"display_generation\":0,"
              "\"state\":{\"state\":\"running\"},\"invocations\":[],\"dropped_invocations\":0,\"commands\":[],"
              "\"dropped_commands\":0,\"unsupported\":[],\"dropped_unsupported\":0,\"network_requests\":[],"
              "\"dropped_network_requests\":0,\"tool_calls\":[]}");
    EXPECT_EQ(output(0), output_json(0, "", "", false));
    const std::string done = finish(0);
    EXPECT_NE(done.find("\"state\":{\"state\":\"complete\",\"status\":0},\"outcome\":{\"exit_status\":0"),
              std::string::npos)
        << done;
    EXPECT_NE(done.find("\"commands\":[\"echo\",\"echo\",\"cat\"]"), std::string::npos) << done;
    EXPECT_EQ(output(0), output_json(0, "out\nin\n", "err\n", true));
    EXPECT_EQ(output(0), output_json(0, "", "", true));
    EXPECT_FALSE(c.foreground_action);
    // The next action gets the next identity; the shell keeps $? and its directory.
    start("false");
    finish(1);
    start("echo $?");
    finish(2);
    EXPECT_EQ(output(2), output_json(2, "1\n", "", true));
}

TEST_F(ContainerTest, StartRefusals) {
    start("cat", "", false);
    EXPECT_EQ(start("true"), "error: session already has an active foreground action");
    EXPECT_EQ(send(request::DropAction{0}), "error: action 0 is still active");
    EXPECT_EQ(poll(0, 0), "error: work_quanta must be between 1 and 100000");
    EXPECT_EQ(poll(0, 100001), "error: work_quanta must be between 1 and 100000");
    EXPECT_EQ(poll(7), "error: action 7 does not exist");
    EXPECT_EQ(send(request::CloseStdin{0}), R"({"kind":"acknowledged"})");
    finish(0);
    // A syntax error completes the action at once, without making it the foreground action.
    const std::string bad = start("echo (");
    EXPECT_NE(bad.find("\"state\":{\"state\":\"complete\",\"status\":2}"), std::string::npos) << bad;
    EXPECT_FALSE(c.foreground_action);
    EXPECT_NE(output(1).find(base64_encode("tarnwick: syntax error: ").substr(0, 20)), std::string::npos);
    // 64 retained actions, complete or not, fill the session until one is dropped.
    for (int i = 2; i < 64; ++i) start("echo (");
    EXPECT_EQ(start("true"), "error: session retained-action limit exceeded (64)");
    EXPECT_EQ(send(request::DropAction{5}), R"({"kind":"acknowledged"})");
    EXPECT_EQ(send(request::DropAction{5}), "error: action 5 does not exist");
    EXPECT_NE(start("true").find("\"action_id\":64"), std::string::npos);
}

TEST_F(ContainerTest, AppendableInputIsFedAndClosed) {
    start("cat; echo end", "a", false);
    const std::string blocked = poll(0);
    EXPECT_NE(blocked.find("\"state\":{\"state\":\"blocked\",\"reason\":{\"kind\":\"input_readable\""),
              std::string::npos)
        << blocked;
    EXPECT_EQ(send(request::AppendStdin{base64_encode("bc"), 0}), R"({"kind":"acknowledged"})");
    poll(0);
    EXPECT_EQ(output(0), output_json(0, "abc", "", false));
    EXPECT_EQ(send(request::AppendStdin{"abc", 0}), "error: invalid base64 data: Invalid input length: 3");
    EXPECT_EQ(send(request::CloseStdin{0}), R"({"kind":"acknowledged"})");
    EXPECT_EQ(send(request::AppendStdin{base64_encode("x"), 0}), "error: action stdin is closed");
    finish(0);
    EXPECT_EQ(output(0), output_json(0, "end\n", "", true));
    EXPECT_EQ(send(request::AppendStdin{base64_encode("x"), 0}), "error: action 0 is complete");
    EXPECT_EQ(send(request::CloseStdin{0}), "error: action 0 is complete");
}

TEST_F(ContainerTest, Base64PayloadsAreCanonicalAndTheirChargeIsGivenBack) {
    const std::uint64_t memory = c.machine.meter.memory_current();
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "Invalid input length: 3"},
        {"ab=c", "Invalid symbol 61, offset 2."},
        {"a*cd", "Invalid symbol 42, offset 1."},
        {"aGl=", "Invalid last symbol 108, offset 2."},
        {"aG==aGk=", "Invalid symbol 61, offset 2."},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(send(request::WriteFile{"f", text, 0644}), "error: invalid base64 data: " + message) << text;
        EXPECT_EQ(c.machine.meter.memory_current(), memory);
    }
    EXPECT_EQ(base64_decode("aGk=").value(), "hi");
    EXPECT_EQ(base64_decode("").value(), "");
    EXPECT_EQ(send(request::WriteFile{"f", std::string(kMaxPayloadChars + 1, 'A'), 0644}),
              "error: payload exceeds the 67108864-byte transfer limit");
}

TEST_F(ContainerTest, ToolCallIsReportedOnceAnsweredAndDelivered) {
    start(std::string(kToolPost) + "; echo; echo status=$?");
    const std::string first = poll(0);
    EXPECT_NE(first.find("\"state\":{\"state\":\"blocked\",\"reason\":{\"kind\":\"host_http\",\"request_id\":0}}"),
              std::string::npos)
        << first;
    EXPECT_NE(first.find(R"("tool_calls":[{"request_id":0,"tool":"t","arguments":{"b":2,"a":1}}])"), std::string::npos)
        << first;
    EXPECT_NE(poll(0).find("\"tool_calls\":[]"), std::string::npos);
    EXPECT_EQ(send(request::RespondToolCall{"e", R"({"x":1})", 0}), "error: supply one object result or one error");
    EXPECT_EQ(send(request::RespondToolCall{std::nullopt, std::nullopt, 0}),
              "error: supply one object result or one error");
    EXPECT_EQ(send(request::RespondToolCall{std::nullopt, "[1]", 0}), "error: supply one object result or one error");
    EXPECT_EQ(send(request::RespondToolCall{std::nullopt, R"({"ok":true})", 9}), "error: host request 9 does not exist");
    EXPECT_EQ(send(request::RespondToolCall{std::nullopt, R"({"ok":true})", 0}), R"({"kind":"acknowledged"})");
    EXPECT_EQ(send(request::RespondToolCall{std::nullopt, R"({"ok":true})", 0}),
              "error: host request 0 cannot be completed");
    const std::string done = finish(0);
    EXPECT_NE(done.find("\"response_status\":200"), std::string::npos) << done;
    EXPECT_EQ(output(0), output_json(0, "{\"result\":{\"ok\":true}}\nstatus=0\n", "", true));
    EXPECT_TRUE(c.machine.broker.pending_host_requests().empty());
}

TEST_F(ContainerTest, CancelInterruptsABlockedProgramAndTheShellGoesOn) {
    start(std::string(kToolPost) + "; echo after");
    poll(0);
    const std::string cancelled = send(request::CancelAction{0});
    EXPECT_NE(cancelled.find("\"state\":{\"state\":\"complete\""), std::string::npos) << cancelled;
    EXPECT_FALSE(c.foreground_action);
    EXPECT_TRUE(c.machine.broker.pending_host_requests().empty());
    EXPECT_EQ(send(request::CancelAction{0}), "error: action 0 is complete");
    EXPECT_EQ(send(request::DropAction{0}), R"({"kind":"acknowledged"})");
    start("echo again");
    finish(1);
    EXPECT_EQ(output(1), output_json(1, "again\n", "", true));
}

TEST_F(ContainerTest, FileRequestsStayInsideWork) {
    ASSERT_TRUE(c.machine.vfs.symlink("/", "/etc", "/work/l").has_value());
    ASSERT_TRUE(c.machine.vfs.symlink("/", "/work/sub", "/work/in").has_value());
    const std::string confined = "error: harness file operations are confined to /work";
    EXPECT_EQ(send(request::ReadFile{"/etc/hostname"}), confined);
    EXPECT_EQ(send(request::ReadFile{"/work/../etc/hostname"}), confined);
    EXPECT_EQ(send(request::ReadFile{"/workshop"}), confined);
    EXPECT_EQ(send(request::ReadFile{std::string("a\0b", 3)}), "error: workspace path contains NUL");
    // A link on the way out of /work is followed before the check.
    EXPECT_EQ(send(request::ReadFile{"l/hostname"}), confined);
    EXPECT_EQ(write("l/evil", "x"), confined);
    EXPECT_EQ(send(request::MakeDirectory{"l/d", 0755, true}), confined);
    EXPECT_EQ(send(request::RemovePath{"l/hostname"}), confined);
    EXPECT_EQ(send(request::ListPaths{"l"}), confined);
    EXPECT_EQ(send(request::ApplyPatch{"--- /dev/null\n+++ l/evil\n@@ -0,0 +1 @@\n+x\n", 0}), confined);
    EXPECT_EQ(send(request::ApplyPatch{"*** Begin Patch\n*** Add File: l/evil\n+x\n*** End Patch\n", 0}), confined);
    EXPECT_TRUE(send(request::ApplyPatch{"--- /dev/null\n+++ a/../../etc/evil\n@@ -0,0 +1 @@\n+x\n", 1})
                    .starts_with("error: "));
    EXPECT_FALSE(c.machine.vfs.node("/etc/evil"));
    // The link itself is a node of /work: it can be described and removed; a link that stays
    // inside /work is followed.
    EXPECT_NE(send(request::ReadPathMetadata{"l", false}).find(R"("node_type":"symlink")"), std::string::npos);
    EXPECT_EQ(write("in/x", "y"), R"({"kind":"acknowledged"})");
    EXPECT_EQ(send(request::ReadFile{"sub/x"}), R"({"kind":"file","path":"/work/sub/x","data_base64":"eQ==","mode":420})");
    ASSERT_TRUE(c.machine.vfs.write_file("/etc/keep", "k", 0644).has_value());
    EXPECT_EQ(send(request::RemovePath{"l"}), R"({"kind":"acknowledged"})");
    EXPECT_FALSE(c.machine.vfs.node("/work/l"));
    EXPECT_TRUE(c.machine.vfs.node("/etc/keep"));
}

TEST_F(ContainerTest, FileRequestReplies) {
    EXPECT_EQ(write("notes.txt", "hi", 07777), R"({"kind":"acknowledged"})");
    EXPECT_EQ(write("n2", "hi", 010000), "error: invalid file mode 0o10000");
    EXPECT_EQ(send(request::MakeDirectory{"d", 010000, false}), "error: invalid file mode 0o10000");
    EXPECT_EQ(send(request::ReadFile{"notes.txt"}),
              R"({"kind":"file","path":"/work/notes.txt","data_base64":"aGk=","mode":4095})");
    EXPECT_EQ(send(request::ReadFile{"/work"}), "error: Is a directory: /work");
    EXPECT_EQ(send(request::MakeDirectory{"d/e", 0700, true}), R"({"kind":"acknowledged"})");
    EXPECT_EQ(write("d/e/f", ""), R"({"kind":"acknowledged"})");
    EXPECT_EQ(send(request::ListPaths{"d"}), R"({"kind":"paths","paths":["/work/d/e","/work/d/e/f"]})");
    EXPECT_EQ(send(request::ListPaths{"notes.txt"}), "error: not a directory: /work/notes.txt");
    EXPECT_EQ(send(request::MakeSymlink{"ln", "notes.txt"}), R"({"kind":"acknowledged"})");
    const std::string link = send(request::ReadPathMetadata{"ln", false});
    EXPECT_TRUE(link.starts_with(R"({"kind":"path_metadata","path":"/work/ln","node_type":"symlink","mode":511,)")) << link;
    EXPECT_TRUE(link.ends_with(R"("size":9,"symlink_target":"notes.txt"})")) << link;
    const std::string file = send(request::ReadPathMetadata{"ln", true});
    EXPECT_NE(file.find(R"("node_type":"file","mode":4095)"), std::string::npos) << file;
    EXPECT_EQ(file.find("symlink_target"), std::string::npos);
    EXPECT_EQ(send(request::RemovePath{"d"}), R"({"kind":"acknowledged"})");
    EXPECT_FALSE(c.machine.vfs.node("/work/d/e/f"));
    EXPECT_EQ(send(request::RemovePath{"d"}), "error: No such file or directory: /work/d");
}

TEST_F(ContainerTest, ApplyPatchChangesWorkOrReportsTheEnginesMessage) {
    write("f.txt", "one\ntwo\n");
    EXPECT_EQ(send(request::ApplyPatch{"--- a/f.txt\n+++ b/f.txt\n@@ -1,2 +1,2 @@\n one\n-two\n+2\n", 1}),
              R"({"kind":"acknowledged"})");
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/f.txt").value(), "one\n2\n");
    // New files, in unified form and in the envelope form.
    EXPECT_EQ(send(request::ApplyPatch{"--- /dev/null\n+++ b/sub/new.txt\n@@ -0,0 +1 @@\n+n\n", 1}),
              R"({"kind":"acknowledged"})");
    EXPECT_EQ(send(request::ApplyPatch{"*** Begin Patch\n*** Add File: env.txt\n+e\n*** End Patch\n", 0}),
              R"({"kind":"acknowledged"})");
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/sub/new.txt").value(), "n\n");
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/env.txt").value(), "e\n");
    const std::string failed = send(request::ApplyPatch{"--- a/f.txt\n+++ b/f.txt\n@@ -1,2 +1,2 @@\n one\n-zzz\n+2\n", 1});
    EXPECT_TRUE(failed.starts_with("error: patch: ")) << failed;
    EXPECT_FALSE(failed.ends_with("\n"));
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/f.txt").value(), "one\n2\n");
}

TEST_F(ContainerTest, WorkspaceDiffAndRestoreFollowTheCheckpoint) {
    write("keep", "k");
    write("gone", "g");
    write("edit", "old");
    EXPECT_EQ(send(request::CheckpointWorkspace{}), R"({"kind":"acknowledged"})");
    EXPECT_EQ(send(request::WorkspaceDiff{}), R"({"kind":"workspace_diff","changes":[]})");
    const std::uint64_t used = c.machine.vfs.used();
    send(request::RemovePath{"gone"});
    send(request::MakeDirectory{"dir", 0755, false});
    ASSERT_TRUE(c.machine.vfs.set_times("/", "/work/keep", 5).has_value());  // times are not compared
    start("echo new > edit; echo t > /tmp/outside; cd dir");
    finish(0);
    write("made", "m");
    write("tmp", "t");
    send(request::RemovePath{"tmp"});  // added and removed again: no change
    EXPECT_EQ(send(request::WorkspaceDiff{}),
              "{\"kind\":\"workspace_diff\",\"changes\":["
              "{\"path\":\"/work/dir\",\"change\":\"added\",\"after\":{\"type\":\"directory\",\"mode\":493}},"
              "{\"path\":\"/work/edit\",\"change\":\"modified\",\"before\":{\"type\":\"file\",\"mode\":420,"
              "\"data_base64\":\"b2xk\"},\"after\":{\"type\":\"file\",\"mode\":420,\"data_base64\":\"bmV3Cg==\"}},"
              "{\"path\":\"/work/gone\",\"change\":\"deleted\",\"before\":{\"type\":\"file\",\"mode\":420,"
              "\"data_base64\":\"Zw==\"}},"
              "{\"path\":\"/work/made\",\"change\":\"added\",\"after\":{\"type\":\"file\",\"mode\":420,"
              "\"data_base64\":\"bQ==\"}}]}");
    EXPECT_EQ(c.machine.states.active().cwd, "/work/dir");
    EXPECT_EQ(send(request::RestoreWorkspace{}), R"({"kind":"acknowledged"})");
    EXPECT_EQ(send(request::WorkspaceDiff{}), R"({"kind":"workspace_diff","changes":[]})");
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/edit").value(), "old");
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/gone").value(), "g");
    EXPECT_FALSE(c.machine.vfs.node("/tmp/outside"));  // the whole filesystem goes back
    EXPECT_EQ(c.machine.vfs.used(), used);
    EXPECT_EQ(c.machine.vfs.used(), c.machine.vfs.compute_used());
    // The shell's directory went away with the restore: it is back in /work.
    EXPECT_EQ(c.machine.states.active().cwd, "/work");
    // The baseline stays: the workspace can be restored again.
    write("edit", "again");
    send(request::RestoreWorkspace{});
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/edit").value(), "old");
}

// The restore puts back exactly the filesystem of the checkpoint, whatever changed it: moves,
// copies, batch installs, resizes, attribute changes, removals inside and outside /work.
TEST_F(ContainerTest, RestoreReturnsTheWholeFilesystemOfTheCheckpoint) {
    write("d/a", "aaaa");
    write("d/b", "bb");
    ASSERT_TRUE(c.machine.vfs.write_file("/tmp/t", "tt", 0644).has_value());
    send(request::CheckpointWorkspace{});
    const Vfs::Tree tree = c.machine.vfs.tree();
    const std::uint64_t used = c.machine.vfs.used();
    const std::uint64_t next_node = c.machine.vfs.next_node_id();

    Machine& m = c.machine;
    ASSERT_TRUE(m.rename_path("/", "/work/d", "/work/moved").has_value());
    ASSERT_TRUE(m.copy_tree("/", "/work/moved", "/tmp/copy", true).has_value());
    std::vector<InstallOp> ops;
    ops.push_back(InstallOp::create_dir_all("/work/new"));
    ops.push_back(InstallOp::write_file("/work/new/x", "x", 0600));
    ops.push_back(InstallOp::remove_file("/tmp/t"));
    auto installed = m.install_files("/", std::move(ops));
    ASSERT_TRUE(installed.has_value()) << error_text(installed.error());
    ASSERT_TRUE(m.vfs.resize_file("/work/moved/a", 1).has_value());
    ASSERT_TRUE(m.vfs.chmod("/", "/work/moved/b", 0600).has_value());
    ASSERT_TRUE(m.vfs.set_owner("/", "/work", 5, 6).has_value());
    ASSERT_TRUE(m.vfs.write_file_range("/work/moved/b", 10, "z").has_value());

    send(request::RestoreWorkspace{});
    EXPECT_TRUE(c.machine.vfs.tree() == tree);
    EXPECT_EQ(c.machine.vfs.used(), used);
    EXPECT_EQ(c.machine.vfs.used(), c.machine.vfs.compute_used());
    EXPECT_EQ(c.machine.vfs.next_node_id(), next_node);
    EXPECT_EQ(c.machine.vfs.list_child_names("/", "/work").value(), (std::vector<std::string>{"d"}));
    EXPECT_TRUE(c.machine.vfs.journal()->prior.empty());
}

TEST_F(ContainerTest, CheckpointLimit) {
    const std::uint64_t room = kMaxCheckpointDiskBytes - c.machine.vfs.used() - Vfs::kNodeCost;
    write("big", std::string(room, 'x'));
    EXPECT_EQ(c.machine.vfs.used(), kMaxCheckpointDiskBytes);
    EXPECT_EQ(send(request::CheckpointWorkspace{}), R"({"kind":"acknowledged"})");
    write("big", std::string(room + 1, 'x'));
    EXPECT_EQ(send(request::CheckpointWorkspace{}), "error: workspace exceeds the 6291456-byte checkpoint limit");
}

TEST_F(ContainerTest, WorkspaceSnapshot) {
    EXPECT_EQ(snapshot_workspace(c).value(), "[]");
    write("a-b", "hi", 0755);
    write("a/x", "");
    c.machine.vfs.chmod("/", "/work/a", 0700);
    ASSERT_TRUE(c.machine.vfs.write_file("/workspace/f", "no", 0644).has_value());
    EXPECT_EQ(snapshot_workspace(c).value(),
              R"([{"type":"directory","path":"a","mode":448},{"type":"file","path":"a-b","mode":493,"data_base64":"aGk="},)"
              R"({"type":"file","path":"a/x","mode":420,"data_base64":""}])");
    start("cat", "", false);
    EXPECT_EQ(snapshot_workspace(c).error(), "workspace snapshot requires a quiescent container");
    send(request::CloseStdin{0});
    finish(0);
    send(request::MakeSymlink{"z", "a"});
    EXPECT_EQ(snapshot_workspace(c).error(), "unsupported workspace package entry: /work/z");
}

TEST(ContainerJson, RepliesAreWrittenExactly) {
    ActionView view;
    view.action_id = 18446744073709551615ULL;
    view.root_pid = 2;
    view.state.kind = ActionState::Kind::Blocked;
    const std::string running_tail =
        ",\"invocations\":[],\"dropped_invocations\":0,\"commands\":[],\"dropped_commands\":0,\"unsupported\":[],"
        "\"dropped_unsupported\":0,\"network_requests\":[],\"dropped_network_requests\":0,\"tool_calls\":[]}";
    EXPECT_EQ(harness_result_json(view), "{\"kind\":\"action\",\"action_id\":18446744073709551615,\"root_pid\":2,"
                                         "\"display_generation\":0,\"state\":{\"state\":\"blocked\",\"reason\":null}" +
                                             running_tail);
    view.action_id = 1;
    view.state.reason = WaitReason::any(
        {WaitReason::timer(5), WaitReason::any({WaitReason::pipe_readable(3), WaitReason::child_deadline(7, 9)})});
    EXPECT_EQ(harness_result_json(view),
              "{\"kind\":\"action\",\"action_id\":1,\"root_pid\":2,\"display_generation\":0,\"state\":{\"state\":"
              "\"blocked\",\"reason\":{\"kind\":\"any\",\"reasons\":[{\"kind\":\"timer\",\"deadline_ns\":5},"
              "{\"kind\":\"any\",\"reasons\":[{\"kind\":\"pipe_readable\",\"pipe\":3},{\"kind\":\"child_deadline\","
              "\"pid\":7,\"deadline_ns\":9}]}]}}" +
                  running_tail);
    view.state = ActionState{ActionState::Kind::Stopped, std::nullopt, "TSTP\u00e9", 0};
    EXPECT_NE(harness_result_json(view).find("{\"state\":\"stopped\",\"signal\":\"TSTP\u00e9\"}"), std::string::npos);

    const PathMetadata file{.path = "/work/\u00e9\n", .kind = VfsNodeKind::File, .mode = 0644, .uid = 1, .gid = 2,
                            .mtime_ms = 3, .size = 4, .symlink_target = std::nullopt};
    EXPECT_EQ(harness_result_json(file), "{\"kind\":\"path_metadata\",\"path\":\"/work/\u00e9\\n\",\"node_type\":\"file\","
                                         "\"mode\":420,\"uid\":1,\"gid\":2,\"mtime_ms\":3,\"size\":4}");
    InspectResult inspect;
    inspect.wall_time_ns = static_cast<__int128>(static_cast<unsigned __int128>(1) << 127);  // the least value
    const std::string inspected = harness_result_json(inspect);
    EXPECT_NE(inspected.find("\"current_pid\":null,"), std::string::npos) << inspected;
    EXPECT_NE(inspected.find("\"wall_time_ns\":-170141183460469231731687303715884105728,"), std::string::npos)
        << inspected;
}

TEST_F(ContainerTest, OtherKinds) {
    EXPECT_EQ(send(request::SessionLifecycleA{}), "error: session lifecycle operations require a HarnessManager");
    EXPECT_EQ(send(request::SessionLifecycleB{}), "error: session lifecycle operations require a HarnessManager");
    EXPECT_EQ(send(request::SignalProcess{"SIGWINCH", 1234, false}), "error: unsupported signal 'SIGWINCH'");
    EXPECT_EQ(send(request::SignalForeground{"bogus"}), "error: unsupported signal 'bogus'");
    EXPECT_EQ(send(request::Execute{"echo hi", ""}), "error: use start_execute and poll_action with host tools");
    const std::string inspected = send(request::Inspect{});
    EXPECT_TRUE(inspected.starts_with(R"({"kind":"inspect","cwd":"/work","outcome":{"exit_status":0,)")) << inspected;
    EXPECT_NE(inspected.find(R"("actions":[],"processes":[{"pid":1234,"ppid":)"), std::string::npos) << inspected;
    EXPECT_NE(inspected.find(R"("current_pid":1234,"terminal":{"session_id":)"), std::string::npos) << inspected;
    EXPECT_NE(inspected.find(R"("wall_time_ns":1735689600000000000,)"), std::string::npos) << inspected;
}

TEST_F(ContainerTest, DisplayAndKeys) {
    EXPECT_EQ(harness_display_frame(c, 0).error(), "action 0 does not exist");
    start("cat", "", false);
    EXPECT_FALSE(harness_display_frame(c, 0).value().has_value());
    EXPECT_EQ(harness_inject_key(c, 0, 0, true).error(), "InvalidArgument");
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(harness_inject_key(c, 0, 65, true).has_value());
    EXPECT_EQ(harness_inject_key(c, 0, 65, true).error(), "QueueFull");
    send(request::CloseStdin{0});
    finish(0);
    EXPECT_EQ(harness_inject_key(c, 0, 65, true).error(), "action 0 is not active");
}

}  // namespace
}  // namespace tw
