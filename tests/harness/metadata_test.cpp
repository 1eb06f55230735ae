// The run metadata: the exact JSON text, and the run's share of the machine's logs cut out with
// the markers noted at its start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/action.h"
#include "harness/metadata.h"
#include "kernel/machine.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 26};

RunOutcome small_outcome() {
    RunOutcome o;
    o.exit_status = -1;
    o.stop_reason = StopReason::output_limit_exceeded;
    o.limits = {.cpu = 1, .memory = 2, .disk = 3, .output = 18446744073709551615ULL};
    o.usage = {.cpu_used = 4, .memory_current = 5, .memory_peak = 6, .disk_current = 7, .disk_peak = 8,
               .output_bytes = 9};
    o.command_usage = {{"echo", 10, -11}};
    return o;
}

TEST(RunMetadataJson, EveryMemberInOrder) {
    RunMetadata m;
    m.outcome = small_outcome();
    m.unsupported = {"python:f-string"};
    m.dropped_unsupported = 1;
    m.commands = {"echo", "echo"};
    m.dropped_commands = 2;
    m.unsupported_commands = {"A", "a"};
    m.partial_commands = {"p"};
    InvocationEvent done{.sequence = 7, .pid = 1234, .argv = {"echo", "hi"}, .trust = CommandTrust::Real,
                         .status = 0, .cpu = 52, .disk_delta = -3};
    InvocationEvent running{.sequence = 8, .pid = 1235, .argv = {}, .trust = CommandTrust::Unsupported,
                            .unsupported_reason = "why"};
    m.invocations = {done, running};
    m.dropped_invocations = 3;
    NetworkRequest hit{.method = "GET", .url = "http://x/", .headers = {{"A", "b"}, {"C", "d"}},
                       .dropped_headers = 4, .body_bytes = 5, .matched = true, .response_status = 200};
    NetworkRequest miss{.method = "POST", .url = "u", .matched = false};
    m.network_requests = {hit, miss};
    m.dropped_network_requests = 6;

    EXPECT_EQ(m.to_json(),
              "{\"outcome\":{\"exit_status\":-1,\"stop_reason\":\"output_limit_exceeded\","
              "\"limits\":{\"cpu\":1,\"memory\":2,\"disk\":3,\"output\":18446744073709551615},"
              "\"usage\":{\"cpu_used\":4,\"memory_current\":5,\"memory_peak\":6,\"disk_current\":7,"
              "\"disk_peak\":8,\"output_bytes\":9},"
              "\"command_usage\":[{\"command\":\"echo\",\"cpu\":10,\"disk_delta\":-11}],\"cost_model_version\":2},"
              "\"unsupported\":[\"python:f-string\"],\"dropped_unsupported\":1,"
              "\"commands\":[\"echo\",\"echo\"],\"dropped_commands\":2,"
              "\"unsupported_commands\":[\"A\",\"a\"],\"partial_commands\":[\"p\"],"
              "\"invocations\":[{\"sequence\":7,\"pid\":1234,\"argv\":[\"echo\",\"hi\"],\"trust\":\"real\","
              "\"status\":0,\"cpu\":52,\"disk_delta\":-3},"
              "{\"sequence\":8,\"pid\":1235,\"argv\":[],\"trust\":\"unsupported\",\"status\":null,\"cpu\":null,"
              "\"disk_delta\":null,\"unsupported_reason\":\"why\"}],\"dropped_invocations\":3,"
              "\"network_requests\":[{\"method\":\"GET\",\"url\":\"http://x/\",\"headers\":[[\"A\",\"b\"],[\"C\",\"d\"]],"
              "\"dropped_headers\":4,\"body_bytes\":5,\"matched\":true,\"response_status\":200},"
              "{\"method\":\"POST\",\"url\":\"u\",\"headers\":[],\"dropped_headers\":0,\"body_bytes\":0,"
              "\"matched\":false,\"response_status\":null}],\"dropped_network_requests\":6}");
}

TEST(RunMetadataJson, EmptyRunHasNullStopReasonAndEmptyLists) {
    RunMetadata m;
    m.outcome.limits = {.cpu = 1, .memory = 2, .disk = 3, .output = 4};
    EXPECT_EQ(m.to_json(),
              "{\"outcome\":{\"exit_status\":0,\"stop_reason\":null,\"limits\":{\"cpu\":1,\"memory\":2,\"disk\":3,"
              "\"output\":4},\"usage\":{\"cpu_used\":0,\"memory_current\":0,\"memory_peak\":0,\"disk_current\":0,"
              "\"disk_peak\":0,\"output_bytes\":0},\"command_usage\":[],\"cost_model_version\":2},"
              "\"unsupported\":[],\"dropped_unsupported\":0,\"commands\":[],\"dropped_commands\":0,"
              "\"unsupported_commands\":[],\"partial_commands\":[],\"invocations\":[],\"dropped_invocations\":0,"
              "\"network_requests\":[],\"dropped_network_requests\":0}");
}

TEST(RunMetadataJson, StringEscaping) {
    struct Case {
        std::string text;
        std::string json;
    };
    const std::vector<Case> cases = {
        {"a\"b\\c", R"("a\"b\\c")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
        {"\x7f/é€😀", "\"\x7f/é€😀\""},             // DEL, slash and non-ASCII as they are
        {"a\xff" "b", "\"a\xef\xbf\xbd" "b\""},      // invalid UTF-8 becomes U+FFFD
    };
    for (const Case& c : cases) {
        std::string out;
        append_json_string(out, c.text);
        EXPECT_EQ(out, c.json) << c.text;
    }
}

// Runs one source as a host run does: markers, the action, the metadata.
RunMetadata host_run(Machine& m, std::string_view source) {
    const RunMarkers markers = RunMarkers::note(m);
    ActionResult result = m.run_action(source, {});
    return RunMetadata::build(m, std::move(result.outcome), markers);
}

TEST(RunMetadataBuild, CutsTheRunsShareOfTheLogs) {
    Machine m = Machine::build(kRoomy);
    RunMetadata first = host_run(m, "echo one; echo two");
    ASSERT_EQ(first.invocations.size(), 2u);
    EXPECT_EQ(first.invocations[0].argv, (std::vector<std::string>{"echo", "one"}));
    EXPECT_EQ(first.invocations[0].status, 0);
    EXPECT_EQ(first.commands, (std::vector<std::string>{"echo", "echo"}));
    // One usage entry for echo, with both calls' CPU.
    ASSERT_EQ(first.outcome.command_usage.size(), 1u);
    const std::uint64_t echo_cpu = first.outcome.command_usage[0].cpu;
    EXPECT_EQ(echo_cpu, *first.invocations[0].cpu + *first.invocations[1].cpu);

    m.broker.log_request(HttpRequest{.method = "GET", .url = "http://before/"}, false, std::nullopt);
    RunMetadata second = host_run(m, "printf x");
    ASSERT_EQ(second.invocations.size(), 1u);
    EXPECT_EQ(second.invocations[0].argv.front(), "printf");
    EXPECT_EQ(second.commands, std::vector<std::string>{"printf"});
    EXPECT_TRUE(second.network_requests.empty());  // logged before the run began
    // The command usage list is the machine's, whole.
    ASSERT_EQ(second.outcome.command_usage.size(), 2u);
    EXPECT_EQ(second.outcome.command_usage[0].command, "echo");
    EXPECT_EQ(second.outcome.command_usage[0].cpu, echo_cpu);
    EXPECT_EQ(second.dropped_invocations, 0u);
    EXPECT_EQ(second.dropped_commands, 0u);
}

TEST(RunMetadataBuild, NetworkRequestsAndDroppedCountsSinceTheMarkers) {
    Machine m = Machine::build(kRoomy);
    for (std::size_t i = 0; i + 1 < HttpBroker::kMaxLogEntries; ++i)
        m.broker.log_request(HttpRequest{.method = "GET", .url = "old"}, false, std::nullopt);
    (void)m.commands_seen.insert(std::string(BoundedLabelSet::kMaxBytes, 'x'));  // fills the byte bound
    const RunMarkers markers = RunMarkers::note(m);

    m.broker.log_request(HttpRequest{.method = "GET", .url = "new"}, true, 204);
    m.broker.log_request(HttpRequest{.method = "GET", .url = "lost"}, false, std::nullopt);
    m.broker.log_request(HttpRequest{.method = "GET", .url = "lost"}, false, std::nullopt);
    (void)m.commands_seen.insert("echo");
    RunMetadata md = RunMetadata::build(m, m.action_outcome(0), markers);

    ASSERT_EQ(md.network_requests.size(), 1u);
    EXPECT_EQ(md.network_requests[0].url, "new");
    EXPECT_EQ(md.network_requests[0].response_status, 204);
    EXPECT_EQ(md.dropped_network_requests, 2u);
    EXPECT_TRUE(md.commands.empty());
    EXPECT_EQ(md.dropped_commands, 1u);
}

TEST(RunMetadataBuild, CommandNamesByTrustAreSortedAndUnique) {
    Machine m = Machine::build(kRoomy);
    const RunMarkers markers = RunMarkers::note(m);
    auto record = [&](std::vector<std::string> argv, CommandTrust trust) {
        m.invocations.record(kFirstShellPid, argv, trust, std::nullopt, 0, 0);
    };
    record({"zed"}, CommandTrust::Unsupported);
    record({"Zed"}, CommandTrust::Unsupported);
    record({"zed", "again"}, CommandTrust::Unsupported);
    record({"half"}, CommandTrust::Partial);
    record({"echo"}, CommandTrust::Real);
    record({}, CommandTrust::Unsupported);
    RunMetadata md = RunMetadata::build(m, m.action_outcome(0), markers);
    EXPECT_EQ(md.unsupported_commands, (std::vector<std::string>{"Zed", "zed"}));
    EXPECT_EQ(md.partial_commands, std::vector<std::string>{"half"});
    ASSERT_EQ(md.invocations.size(), 6u);
    EXPECT_FALSE(md.invocations[0].status.has_value());  // still open: null in the JSON
    EXPECT_NE(md.to_json().find("\"argv\":[\"zed\"],\"trust\":\"unsupported\",\"status\":null,\"cpu\":null,"
                                "\"disk_delta\":null}"),
              std::string::npos);
}

TEST(RunMetadataBuild, TerminatedMachineReportsTheStopReasonAndNothingElse) {
    Machine m = Machine::build({.cpu = 5, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20});
    RunMetadata first = host_run(m, "echo this source is longer than the budget");
    EXPECT_EQ(first.outcome.exit_status, 137);
    EXPECT_EQ(first.outcome.stop_reason, StopReason::cpu_exhausted);
    RunMetadata again = host_run(m, "echo more");
    EXPECT_EQ(again.outcome.exit_status, 137);
    EXPECT_EQ(again.outcome.usage.cpu_used, 5u);
    EXPECT_TRUE(again.invocations.empty());
    EXPECT_TRUE(again.commands.empty());
    EXPECT_NE(again.to_json().find("\"stop_reason\":\"cpu_exhausted\""), std::string::npos);
}

}  // namespace
}  // namespace tw
