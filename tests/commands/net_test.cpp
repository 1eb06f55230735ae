// net: registering routes and file routes, listeners, the network log, and the refusals.
#include <string>

#include "run_fixture.h"

namespace tw::command_test {
namespace {

TEST(Net, RoutesAndRefusals) {
    struct Case {
        const char* source;
        std::int32_t status;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"net", 2, "", "net: usage: net route|route-file|listen|log \u2026\n"},
        {"net frob x", 2, "", "net: usage: net route|route-file|listen|log \u2026\n"},
        {"net route", 2, "", "net route: missing url pattern\n"},
        {"net route ''", 2, "", "net route: URL pattern cannot be empty\n"},
        {"net route http://h/ 99", 2, "", "net route: invalid HTTP status 99\n"},
        {"net route http://h/ 600 x", 2, "", "net route: invalid HTTP status 600\n"},
        {"net route-file", 2, "", "net route-file: usage: net route-file <pattern> <vfs-path>\n"},
        {"net route-file http://h/", 2, "", "net route-file: usage: net route-file <pattern> <vfs-path>\n"},
        {"net route-file '' /x", 2, "", "net route-file: URL pattern cannot be empty\n"},
        {"net route http://h/ 200 hello world; curl -s http://h/", 0, "hello world", ""},
        {"net route http://h/; curl -si http://h/", 0, "HTTP/1.1 200 OK\r\n\r\n", ""},
        {"net route http://h/ abc; curl -si http://h/", 0, "HTTP/1.1 200 OK\r\n\r\n", ""},
        {"net route http://h/ 70000; curl -si http://h/", 0, "HTTP/1.1 200 OK\r\n\r\n", ""},
        {"net route http://h/ +404 no; curl -s http://h/", 0, "no", ""},
        {"net route http://h/ 0404 no; curl -si http://h/", 0, "HTTP/1.1 404 Not Found\r\n\r\nno", ""},
        {"net listen; net listen a b; net log", 0, "", ""},
    };
    for (const Case& c : cases) {
        Ran r = run(c.source);
        EXPECT_EQ(r.status, c.status) << c.source;
        EXPECT_EQ(r.out, c.out) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
    }
}

TEST(Net, PatternLimitAndRouteLimit) {
    Machine m = fresh_machine();
    const std::string long_pattern(8192, 'p');
    EXPECT_EQ(run_in(m, "net route " + long_pattern).status, 0);
    Ran refused = run_in(m, "net route " + long_pattern + "p");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "net route: URL pattern exceeds 8192 bytes\n");
    for (int i = 1; i < 1024; ++i) ASSERT_TRUE(m.broker.add_static_route("u", 200, "").has_value());
    Ran full = run_in(m, "net route x");
    EXPECT_EQ(full.status, 2);
    EXPECT_EQ(full.err, "net route: virtual HTTP route limit of 1024 reached\n");
    EXPECT_EQ(m.broker.routes().size(), 1024u);
}

TEST(Net, FileRoutesListenersAndLog) {
    Machine m = fresh_machine();
    // The path is resolved against the working directory now, the file read at request time.
    ASSERT_EQ(run_in(m, "net route-file 'http://h/d*' data.json ignored").status, 0);
    EXPECT_EQ(m.broker.routes().back().body_path, "/tmp/data.json");
    Ran early = run_in(m, "curl http://h/data");
    EXPECT_EQ(early.status, 23);
    EXPECT_EQ(early.err,
              "curl: (23) cannot read virtual HTTP body /tmp/data.json: No such file or directory: /tmp/data.json\n");
    Ran late = run_in(m, "echo '{}' > /tmp/data.json; curl -s http://h/data; net listen svc; net listen svc; net log");
    EXPECT_EQ(late.out, "{}\nGET http://h/data\nGET http://h/data\n");
    EXPECT_EQ(m.broker.listener_names(), (std::vector<std::string>{"svc"}));
    ASSERT_EQ(m.broker.network_log().size(), 2u);
    EXPECT_TRUE(m.broker.network_log()[0].matched);
    EXPECT_EQ(m.broker.network_log()[0].response_status, 200);
}

}  // namespace
}  // namespace tw::command_test
