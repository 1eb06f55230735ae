#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "kernel/machine.h"
#include "kernel/net.h"
#include "kernel/syscalls.h"
#include "kernel/tool_endpoint.h"
#include "kernel/vfs.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 1'000'000, .memory = 1 << 26, .disk = 1 << 26, .output = 1 << 20};

HttpRequest post(std::string body) {
    return HttpRequest{.method = "POST", .url = std::string(kToolEndpointUrl), .headers = {}, .body = std::move(body)};
}

const std::string kCall = R"({"tool":"t","arguments":{"a":1}})";

// The fetch error text, or "" when the answer is not an error.
std::string failure(const Result<HttpReply, HttpFetchError>& reply) {
    return reply ? std::string() : error_text(reply.error());
}

std::optional<std::uint64_t> pending_id(const Result<HttpReply, HttpFetchError>& reply) {
    if (!reply) return std::nullopt;
    if (const auto* p = std::get_if<HttpPending>(&*reply)) return p->request_id;
    return std::nullopt;
}

class ToolEndpointTest : public ::testing::Test {
protected:
    ToolEndpointTest() { broker.set_host_tools_enabled(true); }
    Result<HttpReply, HttpFetchError> send(const HttpRequest& request, Pid pid = 2000) {
        return broker.answer(request, pid, vfs);
    }
    HttpBroker broker;
    Vfs vfs;
};

TEST(ToolCallParseTest, AcceptedAndRefusedForms) {
    struct Case {
        std::string body;
        bool ok;
        std::string tool = {};
        std::string arguments = {};
    };
    const Case cases[] = {
        {R"({"tool":"t","arguments":{"a":1}})", true, "t", R"({"a":1})"},
        {R"( {"arguments" : {"x":[1, 2.50e+3, "s"]}, "tool":"t"} )", true, "t", R"({"x":[1,2.50e+3,"s"]})"},
        {R"(["search",{"q":"\u00e9\n"}])", true, "search", "{\"q\":\"\xc3\xa9\\n\"}"},
        // A repeated key keeps its first position and its last value, at every depth.
        {R"({"tool":"t","arguments":{"a":1,"b":{"k":1,"k":2},"a":3}})", true, "t", R"({"a":3,"b":{"k":2}})"},
        {R"({"tool":"t","arguments":{"big":123456789012345678901234567890,"neg":-0.0}})", true, "t",
         R"({"big":123456789012345678901234567890,"neg":-0.0})"},
        {R"({"tool":"t","arguments":[1]})", false},
        {R"({"tool":"t"})", false},
        {R"({"tool":"t","arguments":{},"x":1})", false},
        {R"({"tool":"t","tool":"u","arguments":{}})", false},
        {R"(["t",{},3])", false},
        {R"({"tool":"t","arguments":{}} {})", false},
        {R"({"tool":1,"arguments":{}})", false},
        {R"({"tool":"t","arguments":{"a":01}})", false},
        {R"({"tool":"t","arguments":{"a":"\ud800"}})", false},
        {"{\"tool\":\"t\",\"arguments\":{\"a\":\"\x01\"}}", false},
        {"", false},
    };
    for (const Case& c : cases) {
        auto call = parse_tool_call(c.body);
        ASSERT_EQ(call.has_value(), c.ok) << c.body;
        if (!c.ok) {
            EXPECT_EQ(call.error(), kToolCallFormMessage);
            continue;
        }
        EXPECT_EQ(call->tool, c.tool) << c.body;
        EXPECT_EQ(call->arguments_json, c.arguments) << c.body;
    }
}

TEST(ToolCallParseTest, NestingLimitCountsTheOuterValue) {
    // The outer object is level 1 and the arguments object level 2.
    auto nested = [](int levels) {
        return R"({"tool":"t","arguments":{"a":)" + std::string(levels, '[') + std::string(levels, ']') + "}}";
    };
    EXPECT_TRUE(parse_tool_call(nested(126)).has_value());
    EXPECT_FALSE(parse_tool_call(nested(127)).has_value());
}

TEST_F(ToolEndpointTest, PendingUntilAnsweredThenCollectedOnce) {
    auto first = send(post(kCall));
    ASSERT_EQ(pending_id(first), 0u);
    // The repeat before an answer: the same identity, no second log entry.
    EXPECT_EQ(pending_id(send(post(kCall))), 0u);
    ASSERT_EQ(broker.network_log().size(), 1u);
    EXPECT_TRUE(broker.network_log()[0].matched);
    EXPECT_FALSE(broker.network_log()[0].response_status.has_value());
    EXPECT_TRUE(broker.has_waiting_host_request());

    // Answering needs the request to have been listed first.
    auto response = tool_response(R"({"ok":true})", std::nullopt);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(broker.complete_host_request(0, *response).error(), "host request 0 cannot be completed");
    const auto listed = broker.report_tool_calls();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0], (ToolCallView{0, "t", R"({"a":1})"}));
    EXPECT_TRUE(broker.report_tool_calls().empty());
    ASSERT_TRUE(broker.complete_host_request(0, *response).has_value());
    EXPECT_EQ(broker.complete_host_request(0, *response).error(), "host request 0 cannot be completed");
    EXPECT_EQ(broker.complete_host_request(7, *response).error(), "host request 7 does not exist");
    EXPECT_EQ(broker.network_log()[0].response_status, 200);
    EXPECT_FALSE(broker.has_waiting_host_request());
    EXPECT_TRUE(broker.has_answered_host_request());

    auto collected = send(post(kCall));
    ASSERT_TRUE(collected.has_value());
    const auto& answer = std::get<HttpResponse>(*collected);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers, (HttpHeaders{{"Content-Type", "application/json"}}));
    EXPECT_EQ(answer.body, R"({"result":{"ok":true}})");
    EXPECT_TRUE(broker.pending_host_requests().empty());
    EXPECT_FALSE(broker.has_answered_host_request());
    // A further identical post is a new request.
    EXPECT_EQ(pending_id(send(post(kCall))), 1u);
    EXPECT_EQ(broker.network_log().size(), 2u);
}

TEST_F(ToolEndpointTest, OtherMethodsGet405) {
    for (const char* method : {"GET", "post"}) {
        HttpRequest request = post(kCall);
        request.method = method;
        auto reply = send(request);
        ASSERT_TRUE(reply.has_value());
        const auto& response = std::get<HttpResponse>(*reply);
        EXPECT_EQ(response.status, 405);
        EXPECT_EQ(response.headers, (HttpHeaders{{"Allow", "POST"}}));
        EXPECT_TRUE(response.body.empty());
        EXPECT_TRUE(broker.network_log().back().matched);
        EXPECT_EQ(broker.network_log().back().response_status, 405);
    }
    EXPECT_TRUE(broker.pending_host_requests().empty());
}

TEST_F(ToolEndpointTest, RefusalsLeaveTableAndLogUnchanged) {
    const std::string name8192(8192, 'n');
    const std::string padded = R"({"tool":"t","arguments":{"p":")";
    std::string exact = padded + std::string(kMaxHostRequestBodyBytes - padded.size() - 3, 'x') + "\"}}";
    ASSERT_EQ(exact.size(), kMaxHostRequestBodyBytes);
    EXPECT_EQ(pending_id(send(post(exact), 1)), 0u);
    EXPECT_EQ(pending_id(send(post(R"({"tool":")" + name8192 + R"(","arguments":{}})"), 2)), 1u);
    const std::size_t logged = broker.network_log().size();

    HttpRequest many_headers = post(kCall);
    many_headers.headers.assign(129, {"A", "b"});
    HttpRequest big_headers = post(kCall);
    big_headers.headers = {{"A", std::string(65536, 'v')}};
    const std::pair<HttpRequest, const char*> refused[] = {
        {post(exact + " "), "host request body exceeds 1 MiB"},
        {post("[1,{}]"), "host tool request must contain a tool and object arguments"},
        {post(R"({"tool":"","arguments":{}})"), "host tool name is empty or too long"},
        {post(R"({"tool":")" + name8192 + R"(n","arguments":{}})"), "host tool name is empty or too long"},
        {many_headers, "host request headers exceed their limit"},
        {big_headers, "host request headers exceed their limit"},
    };
    for (const auto& [request, text] : refused) EXPECT_EQ(failure(send(request, 3)), text);
    EXPECT_EQ(broker.network_log().size(), logged);
    EXPECT_EQ(broker.pending_host_requests().size(), 2u);
    EXPECT_EQ(broker.next_request_id(), 2u);

    // One pending request per process.
    EXPECT_EQ(failure(send(post(kCall), 1)), "a different host request is already pending for this process");
}

TEST_F(ToolEndpointTest, SixteenPendingAndTheIdentitySpace) {
    for (Pid pid = 100; pid < 116; ++pid) ASSERT_TRUE(pending_id(send(post(kCall), pid))) << pid;
    EXPECT_EQ(failure(send(post(kCall), 116)), "host request limit reached");
    EXPECT_EQ(pending_id(send(post(kCall), 105)), 5u);  // a waiting one may still repeat

    HttpBroker fresh;
    fresh.set_host_tools_enabled(true);
    fresh.set_next_request_id(~std::uint64_t{0});
    EXPECT_EQ(failure(fresh.answer(post(kCall), 1, vfs)), "host request identifier space exhausted");
}

TEST_F(ToolEndpointTest, WithoutTheEndpointTheRoutesAnswer) {
    HttpBroker plain;
    EXPECT_EQ(failure(plain.answer(post(kCall), 1, vfs)), "host tools endpoint is not enabled");
    EXPECT_FALSE(plain.network_log().back().matched);
    ASSERT_TRUE(plain.add_static_route(std::string(kToolEndpointUrl), 201, "routed").has_value());
    auto reply = plain.answer(post(kCall), 1, vfs);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(std::get<HttpResponse>(*reply).body, "routed");
    // A URL that differs from the endpoint's is never the endpoint.
    HttpRequest slash = post(kCall);
    slash.url += "/";
    EXPECT_EQ(failure(send(slash)), "no matching virtual HTTP route");
}

TEST(ToolResponseTest, BodiesAndRefusals) {
    EXPECT_EQ(tool_response(std::nullopt, "boom \"x\"")->body, R"({"error":"boom \"x\""})");
    EXPECT_EQ(tool_response(R"( { "n" : 1.0, "s":[ ] } )", std::nullopt)->body, R"({"result":{"n":1.0,"s":[]}})");
    for (auto [result, error] : {std::pair<const char*, const char*>{"{}", "e"}, {nullptr, nullptr}, {"[1]", nullptr}}) {
        auto r = tool_response(result ? std::optional<std::string_view>(result) : std::nullopt,
                               error ? std::optional<std::string_view>(error) : std::nullopt);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), "supply one object result or one error");
    }
    EXPECT_FALSE(tool_response("{", std::nullopt).has_value());
    // {"result":{"k":"..."}} of exactly 1 MiB passes; one byte more is replaced.
    const std::size_t overhead = std::string(R"({"result":{"k":""}})").size();
    const std::string fits = R"({"k":")" + std::string(kMaxHostResponseBodyBytes - overhead, 'x') + "\"}";
    EXPECT_EQ(tool_response(fits, std::nullopt)->body.size(), kMaxHostResponseBodyBytes);
    const std::string over = R"({"k":")" + std::string(kMaxHostResponseBodyBytes - overhead + 1, 'x') + "\"}";
    EXPECT_EQ(tool_response(over, std::nullopt)->body, R"({"error":"tool response too large"})");
}

TEST(RespondToolCallTest, AnswerWakesTheWaitingTask) {
    Machine m = Machine::build(kLimits);
    m.broker.set_host_tools_enabled(true);
    SyscallContext sys(m);
    ASSERT_EQ(pending_id(sys.host_tool_request(post(kCall))), 0u);
    ASSERT_TRUE(m.scheduler.block_running(WaitReason::host_http(0)).has_value());
    EXPECT_TRUE(m.scheduler.run_queue().empty());

    // Refused answers change nothing: not reported yet, or a malformed answer.
    EXPECT_EQ(respond_tool_call(m, 0, "{}", std::nullopt).error(), "host request 0 cannot be completed");
    ASSERT_EQ(m.broker.report_tool_calls().size(), 1u);
    EXPECT_EQ(respond_tool_call(m, 0, "{}", "e").error(), "supply one object result or one error");
    EXPECT_EQ(m.scheduler.task_state(kFirstShellPid)->kind(), TaskKind::Blocked);

    ASSERT_TRUE(respond_tool_call(m, 0, std::nullopt, "no such tool").has_value());
    EXPECT_EQ(m.scheduler.task_state(kFirstShellPid)->kind(), TaskKind::Ready);
    EXPECT_EQ(m.broker.pending_host_requests().at(kFirstShellPid).response->body, R"({"error":"no such tool"})");
}

TEST(RespondToolCallTest, PurgeKeepsTheActionsDescendants) {
    Machine m = Machine::build(kLimits);
    auto add = [&](Pid pid, Pid ppid, ProcessStatus status = ProcessStatus::Running) {
        ProcessRecord r;
        r.pid = pid;
        r.ppid = ppid;
        r.status = status;
        m.processes.insert(r);
    };
    add(1300, kFirstShellPid);  // child of the root
    add(1301, 1300);            // grandchild
    add(1302, 1299);            // parent outside the action
    add(1303, 1300, ProcessStatus::Exited);
    add(1250, kFirstShellPid);  // older than the action
    m.broker.set_host_tools_enabled(true);
    for (Pid pid : {Pid{1300}, Pid{1301}, Pid{1302}, Pid{1303}, Pid{1250}, Pid{1400}, kFirstShellPid})
        ASSERT_TRUE(pending_id(m.broker.answer(post(kCall), pid, m.vfs))) << pid;
    EXPECT_EQ(purge_tool_requests(m, kFirstShellPid, 1300), 4u);
    std::vector<Pid> kept;
    for (const auto& [pid, entry] : m.broker.pending_host_requests()) kept.push_back(pid);
    EXPECT_EQ(kept, (std::vector<Pid>{kFirstShellPid, 1300, 1301}));
}

}  // namespace
}  // namespace tw
