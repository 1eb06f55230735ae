// The container's requests as a careless or hostile host sends them: links that loop or lead out
// of /work in every position, removing /work itself, restoring after links and removals, names
// that are not UTF-8, and requests against actions in every stage of their life.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "harness/container.h"
#include "kernel/machine.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 26};
const std::string kConfined = "error: harness file operations are confined to /work";

struct RobustContainer : ::testing::Test {
    HarnessContainer c = HarnessContainer::create(kRoomy, false);

    std::string send(HarnessRequest request) {
        auto result = harness_dispatch(c, std::move(request));
        if (!result) return "error: " + result.error();
        return harness_result_json(*result);
    }
    std::string start(std::string_view source, std::string_view input = "", bool close = true) {
        return send(request::StartAction{std::string(source), base64_encode(input), close});
    }
    std::string finish(std::uint64_t id) {
        std::string view;
        for (int i = 0; i < 50; ++i) {
            view = send(request::PollAction{id, kMaxWorkQuanta, true});
            if (view.find("\"state\":{\"state\":\"complete\"") != std::string::npos) break;
        }
        return view;
    }
    std::string write(std::string path, std::string_view data) {
        return send(request::WriteFile{std::move(path), base64_encode(data), 0644});
    }
    void link(std::string_view target, std::string_view path) {
        ASSERT_TRUE(c.machine.vfs.symlink("/", target, path).has_value()) << path;
    }
};

TEST_F(RobustContainer, LinksLeadingOutInAnyPositionAreRefused) {
    ASSERT_TRUE(c.machine.vfs.write_file("/etc/secret", "s", 0600).has_value());
    link("/etc/secret", "/work/last");       // the last component leads out
    link("/etc", "/work/dir");                // a directory outside
    link("dir", "/work/chain");               // a chain of links inside, then out
    link("../etc", "/work/relative");         // a relative target climbing out
    for (const char* path : {"last", "dir/secret", "chain/secret", "relative/secret", "/work/./chain/../chain/secret"})
        EXPECT_EQ(send(request::ReadFile{path}), kConfined) << path;
    EXPECT_EQ(send(request::ReadPathMetadata{"last", true}), kConfined);
    EXPECT_EQ(send(request::ListPaths{"chain"}), kConfined);
    EXPECT_EQ(send(request::MakeDirectory{"dir", 0755, false}), kConfined);
    EXPECT_EQ(send(request::MakeDirectory{"chain/x/y", 0755, true}), kConfined);
    EXPECT_EQ(send(request::MakeSymlink{"relative/l", "x"}), kConfined);
    EXPECT_EQ(write("relative/evil", "x"), kConfined);
    EXPECT_EQ(send(request::RemovePath{"chain/secret"}), kConfined);
    EXPECT_EQ(send(request::ApplyPatch{"--- a/last\n+++ b/last\n@@ -1 +1 @@\n-s\n+t\n", 1}), kConfined);
    // Writing over the link itself replaces the link; the target outside stays as it was.
    EXPECT_EQ(write("last", "mine"), R"({"kind":"acknowledged"})");
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/etc/secret").value(), "s");
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/last").value(), "mine");
    // Removing a link to a directory outside removes the link only.
    EXPECT_EQ(send(request::RemovePath{"dir"}), R"({"kind":"acknowledged"})");
    EXPECT_TRUE(c.machine.vfs.node("/etc/secret"));
}

TEST_F(RobustContainer, LinkLoopsAreErrorsNotHangs) {
    link("/work/b", "/work/a");
    link("/work/a", "/work/b");
    link("self", "/work/self");
    for (const char* path : {"a", "b/x", "self", "self/x"}) {
        for (const std::string& reply :
             {send(request::ReadFile{path}), send(request::ListPaths{path}),
              send(request::MakeDirectory{std::string(path) + "/d", 0755, true}),
              send(request::ReadPathMetadata{path, true}), write(std::string(path) + "/f", "x")})
            EXPECT_TRUE(reply.starts_with("error: Too many levels of symbolic links")) << path << " " << reply;
    }
    // A link in the last component is not followed by a write: the loop is replaced by a file.
    EXPECT_EQ(write("a", "x"), R"({"kind":"acknowledged"})");
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/b").value(), "x");
    EXPECT_EQ(send(request::RemovePath{"self"}), R"({"kind":"acknowledged"})");
    const std::string done = finish(nlohmann::json::parse(start("cat a; echo $?"))["action_id"]);
    EXPECT_NE(done.find("\"status\":0"), std::string::npos) << done;
}

TEST_F(RobustContainer, RemovingWorkItselfAndRestoring) {
    write("keep/file", "k");
    link("keep/file", "/work/ln");
    EXPECT_EQ(send(request::CheckpointWorkspace{}), R"({"kind":"acknowledged"})");
    const Vfs::Tree tree = c.machine.vfs.tree();
    const std::uint64_t used = c.machine.vfs.used();
    EXPECT_EQ(send(request::RemovePath{"/work"}), R"({"kind":"acknowledged"})");
    EXPECT_FALSE(c.machine.vfs.node("/work"));
    // The shell lives on in a directory that is gone.
    const std::string view = finish(nlohmann::json::parse(start("echo still here"))["action_id"]);
    EXPECT_NE(view.find("\"status\":0"), std::string::npos) << view;
    EXPECT_TRUE(send(request::ListPaths{"."}).starts_with("error: "));
    const auto diff = nlohmann::json::parse(send(request::WorkspaceDiff{}));
    ASSERT_EQ(diff["changes"].size(), 4u) << diff.dump();
    for (const auto& change : diff["changes"]) EXPECT_EQ(change["change"], "deleted") << change.dump();
    EXPECT_EQ(send(request::RestoreWorkspace{}), R"({"kind":"acknowledged"})");
    EXPECT_TRUE(c.machine.vfs.tree() == tree);
    EXPECT_EQ(c.machine.vfs.used(), used);
    EXPECT_EQ(c.machine.vfs.used(), c.machine.vfs.compute_used());
    EXPECT_EQ(c.machine.vfs.read_bytes("/", "/work/ln").value(), "k");
}

TEST_F(RobustContainer, RestoreUndoesLinksRenamesAndReplacements) {
    write("a", "a");
    ASSERT_TRUE(c.machine.vfs.mkdir("/", "/work/d").has_value());
    send(request::CheckpointWorkspace{});
    const Vfs::Tree tree = c.machine.vfs.tree();
    send(request::MakeSymlink{"l", "a"});
    send(request::RemovePath{"a"});
    send(request::MakeSymlink{"a", "d"});  // a name comes back as another kind of node
    send(request::RemovePath{"d"});
    write("d", "now a file");
    ASSERT_TRUE(c.machine.rename_path("/", "/work/l", "/work/renamed").has_value());
    const auto diff = nlohmann::json::parse(send(request::WorkspaceDiff{}));
    EXPECT_EQ(diff["changes"].size(), 3u) << diff.dump();
    send(request::RestoreWorkspace{});
    EXPECT_TRUE(c.machine.vfs.tree() == tree);
    EXPECT_EQ(c.machine.vfs.used(), c.machine.vfs.compute_used());
    EXPECT_EQ(send(request::WorkspaceDiff{}), R"({"kind":"workspace_diff","changes":[]})");
}

TEST_F(RobustContainer, RepliesAreValidJsonForNamesThatAreNotUtf8) {
    const std::string odd = std::string("/work/\xff\xfe\x01\"\\\n") + "\xed\xa0\x80";
    ASSERT_TRUE(c.machine.vfs.write_file(odd, std::string("\xff\x00", 2), 0644).has_value());
    send(request::CheckpointWorkspace{});
    ASSERT_TRUE(c.machine.vfs.write_file(odd + "2", "x", 0644).has_value());
    link(std::string("\xc3\x28"), "/work/badlink");
    for (const std::string& reply :
         {send(request::ListPaths{"."}), send(request::WorkspaceDiff{}), send(request::ReadPathMetadata{"badlink", false}),
          send(request::Inspect{})}) {
        EXPECT_NO_THROW((void)nlohmann::json::parse(reply)) << reply;
    }
    auto snapshot = snapshot_workspace(c);
    EXPECT_FALSE(snapshot.has_value());  // links have no place in a snapshot
    send(request::RemovePath{"badlink"});
    snapshot = snapshot_workspace(c);
    ASSERT_TRUE(snapshot.has_value()) << snapshot.error();
    EXPECT_NO_THROW((void)nlohmann::json::parse(*snapshot)) << *snapshot;
}

TEST_F(RobustContainer, RequestsAgainstActionsInEveryStage) {
    // Running with appendable input: cancelled, then every input request is refused.
    start("cat", "", false);
    EXPECT_NE(send(request::CancelAction{0}).find("\"state\":{\"state\":\"complete\""), std::string::npos);
    EXPECT_EQ(send(request::AppendStdin{base64_encode("x"), 0}), "error: action 0 is complete");
    EXPECT_EQ(send(request::CloseStdin{0}), "error: action 0 is complete");
    EXPECT_EQ(send(request::CancelAction{0}), "error: action 0 is complete");
    EXPECT_NE(send(request::PollAction{0, 1, true}).find("\"state\":{\"state\":\"complete\""), std::string::npos);
    EXPECT_EQ(send(request::DropAction{0}), R"({"kind":"acknowledged"})");
    for (HarnessRequest request :
         {HarnessRequest{request::PollAction{0, 1, true}}, HarnessRequest{request::ReadActionOutput{0}},
          HarnessRequest{request::CancelAction{0}}, HarnessRequest{request::DropAction{0}},
          HarnessRequest{request::AppendStdin{"", 0}}, HarnessRequest{request::CloseStdin{0}}})
        EXPECT_EQ(send(std::move(request)), "error: action 0 does not exist");

    // A tool call answered after its action was cancelled, and one whose answer comes twice.
    start(R"(curl -s -X POST -d '{"tool":"t","arguments":{}}' http://tools.tarnwick/tools)");
    const std::string blocked = send(request::PollAction{1, kMaxWorkQuanta, true});
    ASSERT_NE(blocked.find("\"tool_calls\":[{\"request_id\":0"), std::string::npos) << blocked;
    send(request::CancelAction{1});
    EXPECT_EQ(send(request::RespondToolCall{std::nullopt, "{}", 0}), "error: host request 0 does not exist");
    EXPECT_TRUE(c.machine.broker.pending_host_requests().empty());

    // Polling without waiting never moves the clock: a sleeping action stays running.
    start("sleep 5; echo woke");
    for (int i = 0; i < 3; ++i) {
        const std::string view = send(request::PollAction{2, kMaxWorkQuanta, false});
        EXPECT_EQ(view.find("\"state\":{\"state\":\"complete\""), std::string::npos) << view;
    }
    EXPECT_NE(finish(2).find("\"status\":0"), std::string::npos);
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// The workspace put back while a program still holds files open in it: the program goes on
// writing to what it opened, the filesystem's accounting stays exact, and nothing faults.
TEST_F(RobustContainer, RestoreUnderARunningProgramWithOpenFiles) {
    write("kept", "k");
    send(request::CheckpointWorkspace{});
    start("exec 3>/work/new; echo one >&3; exec 4</work/kept; sleep 5; echo two >&3; cat <&4; cat /work/new; "
          "echo done");
    for (int i = 0; i < 3; ++i) send(request::PollAction{0, kMaxWorkQuanta, false});
    ASSERT_TRUE(c.machine.vfs.node("/work/new"));
    write("kept", "changed");
    EXPECT_EQ(send(request::RestoreWorkspace{}), R"({"kind":"acknowledged"})");
    EXPECT_FALSE(c.machine.vfs.node("/work/new"));
    const std::string done = finish(0);
    EXPECT_NE(done.find("\"state\":{\"state\":\"complete\""), std::string::npos) << done;
    const auto output = nlohmann::json::parse(send(request::ReadActionOutput{0}));
    const std::string out = base64_decode(output["stdout_base64"].get<std::string>()).value();
    EXPECT_TRUE(out.ends_with("done\n")) << out;
    EXPECT_EQ(c.machine.vfs.used(), c.machine.vfs.compute_used());
    // The next action and another restore still work.
    EXPECT_NE(finish(nlohmann::json::parse(start("echo again > x; cat x"))["action_id"]).find("\"status\":0"),
              std::string::npos);
    EXPECT_EQ(send(request::RestoreWorkspace{}), R"({"kind":"acknowledged"})");
    EXPECT_EQ(send(request::WorkspaceDiff{}), R"({"kind":"workspace_diff","changes":[]})");
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// Signals sent by the host to the session's own shell, with and without an action running.
TEST_F(RobustContainer, HostSignalsToTheSessionShell) {
    const Pid shell = c.machine.states.active_pid();
    EXPECT_EQ(send(request::SignalProcess{"STOP", shell, false}), R"({"kind":"acknowledged"})");
    start("echo stopped-shell");
    std::string view = send(request::PollAction{0, kMaxWorkQuanta, true});
    EXPECT_EQ(send(request::SignalProcess{"CONT", shell, false}), R"({"kind":"acknowledged"})");
    view = finish(0);
    EXPECT_NE(view.find("\"state\":{\"state\":\"complete\""), std::string::npos) << view;
    EXPECT_EQ(send(request::SignalProcess{"STOP", 999999, false}).rfind("error: ", 0), 0u);
    EXPECT_EQ(send(request::SignalProcess{"", shell, false}).rfind("error: ", 0), 0u);
    EXPECT_EQ(send(request::SetForegroundGroup{999999}).rfind("error: ", 0), 0u);

    // The shell killed under a running action: the action completes and every later one
    // completes at once; the container keeps answering.
    start("sleep 100; echo never");
    send(request::PollAction{1, kMaxWorkQuanta, false});
    EXPECT_EQ(send(request::SignalProcess{"KILL", shell, false}), R"({"kind":"acknowledged"})");
    view = finish(1);
    EXPECT_NE(view.find("\"state\":{\"state\":\"complete\""), std::string::npos) << view;
    const std::string later = start("echo after");
    EXPECT_NE(later.find("\"state\":{\"state\":\"complete\""), std::string::npos) << later;
    EXPECT_NO_THROW((void)nlohmann::json::parse(send(request::Inspect{})));
    EXPECT_EQ(send(request::CheckpointWorkspace{}), R"({"kind":"acknowledged"})");
}

}  // namespace
}  // namespace tw
