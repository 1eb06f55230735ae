// curl: requests to the broker's routes, output forms, options and failures, and a tool call
// that blocks until the host answers it.
#include <string>
#include <vector>

#include "commands/net/http_client.h"
#include "kernel/tool_endpoint.h"
#include "run_fixture.h"
#include "shell/launch.h"

namespace tw::command_test {
namespace {

std::string contents(Machine& m, const std::string& path) {
    auto bytes = m.vfs.read_file("/", path, 1 << 20);
    return bytes ? *bytes : std::string("<missing>");
}

void add_route(Machine& m, HttpRoute route) { ASSERT_TRUE(m.broker.add_route(std::move(route)).has_value()); }

// A machine with a few routes: /a answers "body", /missing answers 404, /teapot 418 with a
// header, /post only answers POST, /file names its download, /dir/ is a directory URL.
Machine routed_machine() {
    Machine m = fresh_machine();
    add_route(m, {.pattern = "http://h/a", .status = 200, .body = "body"});
    add_route(m, {.pattern = "http://h/missing", .status = 404, .body = "gone"});
    add_route(m, {.pattern = "http://h/teapot", .status = 418, .headers = {{"X-Pot", "tea"}}, .body = "short"});
    add_route(m, {.pattern = "http://h/post", .method = "post", .status = 201, .body = "made"});
    add_route(m, {.pattern = "http://h/file",
                  .status = 200,
                  .headers = {{"content-DISPOSITION", "attachment; filename=\"r.csv\""}},
                  .body = "1,2"});
    add_route(m, {.pattern = "http://h/*", .status = 200, .body = "any"});
    return m;
}

TEST(Curl, ResponsesAndStatuses) {
    struct Case {
        const char* source;
        std::int32_t status;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"curl -s http://h/a", 0, "body", ""},
        {"curl --url http://h/a http://h/other", 0, "body", ""},
        {"curl http://h/missing", 0, "gone", ""},
        {"curl -f http://h/missing", 22, "", "curl: (22) HTTP response status 404\n"},
        {"curl -sf http://h/missing", 22, "", ""},
        {"curl -I http://h/a", 0, "HTTP/1.1 200 OK\r\n\r\n", ""},
        {"curl -i http://h/teapot", 0, "HTTP/1.1 418 \r\nX-Pot: tea\r\n\r\nshort", ""},
        {"curl -d x http://h/post", 0, "made", ""},
        {"curl http://other/", 7, "", "curl: (7) Failed to connect: no matching virtual HTTP route\n"},
        {"curl -s http://other/", 7, "", ""},
        {"curl -sS http://other/", 7, "", "curl: (7) Failed to connect: no matching virtual HTTP route\n"},
        {"curl -s http://tools.tarnwick/tools", 23, "", ""},
        {"curl -X POST http://tools.tarnwick/tools", 23, "", "curl: (23) host tools endpoint is not enabled\n"},
    };
    for (const Case& c : cases) {
        Machine m = routed_machine();
        Ran r = run_in(m, c.source);
        EXPECT_EQ(r.status, c.status) << c.source;
        EXPECT_EQ(r.out, c.out) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
    }
}

TEST(Curl, RefusalsComeBeforeAnyRequest) {
    struct Case {
        const char* source;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"curl -L http://h/a", "", "curl: unsupported option '-L'\n"},
        {"curl -sL http://h/a", "", "curl: unsupported option '-L'\n"},
        {"curl --verbose http://h/a", "", "curl: unsupported option '--verbose'\n"},
        {"curl http://h/a -o", "", "curl: option '-o' requires an argument\n"},
        {"curl --silent=1 http://h/a", "", "curl: option '--silent' does not take an argument\n"},
        {"curl http://h/a http://h/b", "", "curl: multiple URLs are not supported\n"},
        {"curl -s -H nocolon http://h/a", "", "curl: malformed header; expected 'Name: value'\n"},
        {"curl -s", "", "curl: no URL specified\n"},
        {"curl --help -L", "", "curl: unsupported option '-L'\n"},
        {"curl x y --help", "usage: curl [OPTIONS] URL\nsupported: -X --url -o -O -sSifI -d -H -A -e -b -u\n", ""},
    };
    for (const Case& c : cases) {
        Machine m = routed_machine();
        Ran r = run_in(m, c.source);
        EXPECT_EQ(r.status, *c.out ? 0 : 2) << c.source;
        EXPECT_EQ(r.out, c.out) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
        EXPECT_TRUE(m.broker.network_log().empty()) << c.source;
    }
}

TEST(Curl, RequestsAsLogged) {
    Machine m = routed_machine();
    ASSERT_EQ(run_in(m, "curl -s -d a -d b http://h/post").out, "made");
    ASSERT_EQ(run_in(m, "curl -s -X DELETE -d a http://h/x").out, "any");
    ASSERT_EQ(run_in(m, "curl -s -d a -X PUT http://h/x").out, "any");
    ASSERT_EQ(run_in(m, "curl -s -X GET -d a http://h/x").out, "any");
    ASSERT_EQ(run_in(m, "curl -s -I http://h/x").status, 0);
    ASSERT_EQ(run_in(m, "curl -s -u user:pw -A ua -e ref -b c=1 -H ' X-A :  v ' http://h/x").out, "any");
    const auto& log = m.broker.network_log();
    ASSERT_EQ(log.size(), 6u);
    const std::vector<std::pair<std::string, std::uint64_t>> methods = {
        {"POST", 3}, {"DELETE", 1}, {"PUT", 1}, {"POST", 1}, {"HEAD", 0}, {"GET", 0}};
    for (std::size_t i = 0; i < methods.size(); ++i) {
        EXPECT_EQ(log[i].method, methods[i].first) << i;
        EXPECT_EQ(log[i].body_bytes, methods[i].second) << i;
        EXPECT_TRUE(log[i].matched);
    }
    EXPECT_EQ(log[5].headers, (HttpHeaders{{"Authorization", "Basic dXNlcjpwdw=="},
                                           {"User-Agent", "ua"},
                                           {"Referer", "ref"},
                                           {"Cookie", "c=1"},
                                           {"X-A", "v"}}));
    // `net log` lists what was sent.
    EXPECT_EQ(run_in(m, "net log | head -n 2").out, "POST http://h/post\nDELETE http://h/x\n");
}

TEST(Curl, WritesFiles) {
    Machine m = routed_machine();
    struct Case {
        const char* source;
        const char* file;
        const char* content;
    };
    const Case cases[] = {
        {"curl -O http://h/dir/", "/tmp/index.html", "any"},
        {"curl -O 'http://h/a/b.txt?x=1'", "/tmp/b.txt", "any"},
        {"curl -O http://h/file", "/tmp/r.csv", "1,2"},
        {"curl -o out.txt -O http://h/a", "/tmp/out.txt", "body"},
        {"curl -i -o /tmp/head.txt http://h/a", "/tmp/head.txt", "HTTP/1.1 200 OK\r\n\r\nbody"},
    };
    for (const Case& c : cases) {
        Ran r = run_in(m, c.source);
        EXPECT_EQ(r.status, 0) << c.source;
        EXPECT_EQ(r.out, "") << c.source;
        EXPECT_EQ(contents(m, c.file), c.content) << c.source;
        EXPECT_EQ(m.vfs.lookup("/", c.file, true).value()->mode & 0777, 0644u) << c.source;
    }
    // A file that cannot be written is reported even under -s.
    Ran r = run_in(m, "curl -s -o /tmp/out.txt/x http://h/a");
    EXPECT_EQ(r.status, 23);
    EXPECT_TRUE(r.err.starts_with("curl: (23) ")) << r.err;
}

TEST(HttpClient, HeadersAndFileNames) {
    using Header = std::optional<std::pair<std::string, std::string>>;
    EXPECT_EQ(netcmd_parse_header("  Name :  a: b  "), (Header{{"Name", "a: b"}}));
    EXPECT_EQ(netcmd_parse_header("X:"), (Header{{"X", ""}}));
    for (const char* bad : {"nocolon", " : v", "A: b\nc", "A\rB: c"}) EXPECT_EQ(netcmd_parse_header(bad), std::nullopt) << bad;

    const std::pair<HttpHeaders, const char*> names[] = {
        {{{"Content-Disposition", "attachment; filename=\"a.txt\"; size=3"}}, "a.txt\"; size=3"},
        {{{"content-disposition", "filename= x filename=y"}}, "x"},
        {{{"Content-Disposition", "inline; filename=\"\""}}, "c.bin"},
        {{{"Content-Disposition", "inline"}, {"Content-Disposition", "filename=late"}}, "c.bin"},
    };
    for (const auto& [headers, name] : names) EXPECT_EQ(netcmd_output_file_name(headers, "http://h/b/c.bin?q=/z"), name);
    EXPECT_EQ(netcmd_output_file_name({}, "http://h/"), "index.html");
    EXPECT_EQ(netcmd_output_file_name({}, "noslash"), "noslash");
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("a"), "YQ==");
    EXPECT_EQ(base64_encode("ab"), "YWI=");
    EXPECT_EQ(base64_encode("abc\xff"), "YWJj/w==");
}

// Drives one action step by step, as a container host does.
class ToolCallAction {
public:
    ToolCallAction(Machine& m, std::string_view source) : m_(m) {
        auto parsed = parse_action(m_, source);
        EXPECT_TRUE(parsed.has_value());
        auto started = m_.start_action(shell_program_continuation(std::move(*parsed), false), "", true);
        EXPECT_TRUE(started.has_value());
        started_ = std::move(*started);
    }

    // Steps until the machine is idle or the action is done.
    StepReport step_until_stopped() {
        while (true) {
            auto report = m_.scheduler_step(started_.root, true);
            EXPECT_TRUE(report.has_value());
            if (!report || report->kind != StepReport::Kind::Progress) return report.value_or(StepReport::idle());
        }
    }

    Ran finish(std::int32_t status) {
        Ran ran{status, {}, {}};
        collect_action_output(m_, started_.out_capture, started_.err_capture, ran.out, ran.err);
        restore_action_descriptors(m_, std::move(started_.saved));
        return ran;
    }

    Pid root() const { return started_.root; }

private:
    Machine& m_;
    StartedAction started_;
};

TEST(CurlToolCall, BlocksUntilTheHostAnswers) {
    Machine m = fresh_machine();
    m.broker.set_host_tools_enabled(true);
    ToolCallAction action(m, R"(curl -s -X POST -d '{"tool":"t","arguments":{"a":1}}' http://tools.tarnwick/tools; echo " $?")");

    ASSERT_EQ(action.step_until_stopped().kind, StepReport::Kind::Idle);
    // The shell waits for curl, which waits for the host.
    const TaskState* shell = m.scheduler.find_task(action.root());
    ASSERT_NE(shell->waiting_reason(), nullptr);
    ASSERT_EQ(shell->waiting_reason()->kind(), WaitKind::Child);
    const TaskState* curl = m.scheduler.find_task(shell->waiting_reason()->pid());
    ASSERT_NE(curl, nullptr);
    EXPECT_EQ(*curl->waiting_reason(), WaitReason::host_http(0));

    const auto calls = m.broker.report_tool_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (ToolCallView{0, "t", R"({"a":1})"}));
    EXPECT_TRUE(m.broker.report_tool_calls().empty());
    EXPECT_EQ(purge_tool_requests(m, action.root(), action.root() + 1), 0u);

    ASSERT_TRUE(respond_tool_call(m, 0, R"({"answer":42,"list":[1.50]})", std::nullopt).has_value());
    const StepReport end = action.step_until_stopped();
    ASSERT_EQ(end.kind, StepReport::Kind::RootFinished);
    Ran r = action.finish(end.status);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"result\":{\"answer\":42,\"list\":[1.50]}} 0\n");
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(m.broker.network_log().size(), 1u);
    EXPECT_EQ(m.broker.network_log()[0].response_status, 200);
    EXPECT_TRUE(m.broker.pending_host_requests().empty());
}

TEST(CurlToolCall, TwoProgramsWaitTogether) {
    Machine m = fresh_machine();
    m.broker.set_host_tools_enabled(true);
    // Both stages of the pipeline post before either is answered.
    ToolCallAction action(m, R"(curl -s -d '["a",{"n":1}]' http://tools.tarnwick/tools | )"
                             R"({ curl -s -d '["b",{"n":2}]' http://tools.tarnwick/tools; echo; cat; })");
    ASSERT_EQ(action.step_until_stopped().kind, StepReport::Kind::Idle);
    const auto calls = m.broker.report_tool_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (ToolCallView{0, "a", R"({"n":1})"}));
    EXPECT_EQ(calls[1], (ToolCallView{1, "b", R"({"n":2})"}));
    // Answered in the other order; each program gets its own answer.
    ASSERT_TRUE(respond_tool_call(m, 1, R"({"for":"b"})", std::nullopt).has_value());
    ASSERT_EQ(action.step_until_stopped().kind, StepReport::Kind::Idle);
    ASSERT_TRUE(respond_tool_call(m, 0, R"({"for":"a"})", std::nullopt).has_value());
    const StepReport end = action.step_until_stopped();
    ASSERT_EQ(end.kind, StepReport::Kind::RootFinished);
    EXPECT_EQ(action.finish(end.status).out, "{\"result\":{\"for\":\"b\"}}\n{\"result\":{\"for\":\"a\"}}");
}

TEST(CurlToolCall, ErrorAnswerAndTheRunLoopWithoutAHost) {
    Machine m = fresh_machine();
    m.broker.set_host_tools_enabled(true);
    ToolCallAction action(m, R"(curl -si -d '["t",{}]' http://tools.tarnwick/tools)");
    ASSERT_EQ(action.step_until_stopped().kind, StepReport::Kind::Idle);
    ASSERT_EQ(m.broker.report_tool_calls().size(), 1u);
    ASSERT_TRUE(respond_tool_call(m, 0, std::nullopt, "no such tool").has_value());
    const StepReport end = action.step_until_stopped();
    ASSERT_EQ(end.kind, StepReport::Kind::RootFinished);
    EXPECT_EQ(action.finish(end.status).out,
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"error\":\"no such tool\"}");

    // A plain run has no host to answer: the action ends as blocked without an event.
    m.broker.discard_host_requests();
    Ran r = run_in(m, R"(wget -qO- --post-data '["t",{}]' http://tools.tarnwick/tools)");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tarnwick: all processes are blocked without an event\n");
}

}  // namespace
}  // namespace tw::command_test
