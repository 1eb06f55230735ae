// wget: saving bodies, file names and prefixes, statuses and quiet mode, the request it sends.
#include <string>

#include "run_fixture.h"

namespace tw::command_test {
namespace {

std::string contents(Machine& m, const std::string& path) {
    auto bytes = m.vfs.read_file("/", path, 1 << 20);
    return bytes ? *bytes : std::string("<missing>");
}

Machine routed_machine() {
    Machine m = fresh_machine();
    EXPECT_TRUE(m.broker.add_static_route("http://h/a", 200, "body").has_value());
    EXPECT_TRUE(m.broker.add_static_route("http://h/missing", 404, "gone").has_value());
    EXPECT_TRUE(m.broker.add_route({.pattern = "http://h/file",
                                    .status = 200,
                                    .headers = {{"Content-Disposition", "attachment; filename=r.csv"}},
                                    .body = "1,2"})
                    .has_value());
    EXPECT_TRUE(m.broker.add_static_route("http://h/*", 200, "any").has_value());
    return m;
}

TEST(Wget, OutputsAndStatuses) {
    struct Case {
        const char* source;
        std::int32_t status;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"wget -qO- http://h/a", 0, "body", ""},
        {"wget -O - http://h/a", 0, "body", ""},
        {"wget http://h/a", 0, "", ""},
        {"wget http://h/missing", 8, "", "wget: server returned status 404\n"},
        {"wget -q http://h/missing", 8, "", ""},
        {"wget http://other/", 4, "", "wget: unable to resolve request: no matching virtual HTTP route\n"},
        {"wget -q http://other/", 4, "", ""},
        {"wget --post-data x http://tools.tarnwick/tools", 4, "", "wget: host tools endpoint is not enabled\n"},
        {"wget http://h/a http://h/b", 2, "", "wget: exactly one URL is required\n"},
        {"wget", 2, "", "wget: exactly one URL is required\n"},
        {"wget --no-check-certificate http://h/a", 2, "", "wget: unsupported option '--no-check-certificate'\n"},
        {"wget --header nocolon http://h/a", 2, "", "wget: malformed header; expected 'Name: value'\n"},
        {"wget --help x y", 0, "usage: wget [OPTIONS] URL\nsupported: -O -q -P --method --header --body-data --post-data\n",
         ""},
    };
    for (const Case& c : cases) {
        Machine m = routed_machine();
        Ran r = run_in(m, c.source);
        EXPECT_EQ(r.status, c.status) << c.source;
        EXPECT_EQ(r.out, c.out) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
        // Usage errors are found before any request is made.
        if (c.status == 2 || (c.status == 0 && *c.out == 'u')) {
            EXPECT_TRUE(m.broker.network_log().empty()) << c.source;
        }
    }
}

TEST(Wget, SavedFiles) {
    Machine m = routed_machine();
    const std::pair<const char*, const char*> cases[] = {
        {"wget http://h/a", "/tmp/a"},
        {"wget http://h/dir/", "/tmp/index.html"},
        {"wget 'http://h/x/y.txt?q=1'", "/tmp/y.txt"},
        {"wget http://h/file", "/tmp/r.csv"},
        {"wget -O named http://h/a", "/tmp/named"},
        {"wget -P /work/// http://h/a", "/work/a"},
        {"wget -P / -O rooted http://h/a", "/rooted"},
        {"wget -P /work -O - http://h/a", "/work/-"},
    };
    for (const auto& [source, path] : cases) {
        Ran r = run_in(m, source);
        EXPECT_EQ(r.status, 0) << source;
        EXPECT_EQ(r.out, "") << source;
        EXPECT_EQ(r.err, "") << source;
        EXPECT_NE(contents(m, path), "<missing>") << source;
    }
    EXPECT_EQ(contents(m, "/tmp/r.csv"), "1,2");
    EXPECT_EQ(contents(m, "/work/-"), "body");
    // A file that cannot be written is reported even when quiet.
    Ran r = run_in(m, "wget -q -O /tmp/a/b http://h/a");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.err.starts_with("wget: ")) << r.err;
}

TEST(Wget, RequestsAsLogged) {
    Machine m = routed_machine();
    ASSERT_EQ(run_in(m, "wget -qO- --post-data abc --post-data z http://h/x").out, "any");
    ASSERT_EQ(run_in(m, "wget -qO- --method PUT --body-data abc http://h/x").out, "any");
    ASSERT_EQ(run_in(m, "wget -qO- --body-data abc --method PATCH --header 'K: v' http://h/x").out, "any");
    const auto& log = m.broker.network_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].body_bytes, 1u);
    EXPECT_EQ(log[1].method, "PUT");
    EXPECT_EQ(log[1].body_bytes, 3u);
    EXPECT_EQ(log[2].method, "PATCH");
    EXPECT_EQ(log[2].headers, (HttpHeaders{{"K", "v"}}));
}

}  // namespace
}  // namespace tw::command_test
