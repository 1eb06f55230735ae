#include <algorithm>

#include <gtest/gtest.h>

#include "kernel/net.h"
#include "kernel/vfs.h"

namespace tw {
namespace {

using K = HttpRouteError::Kind;

HttpRoute route(std::string pattern) { return HttpRoute{.pattern = std::move(pattern), .status = 200}; }

TEST(HttpRouteErrorTest, TextsInTagOrder) {
    const std::pair<HttpRouteError, const char*> cases[] = {
        {HttpRouteError::of(K::EmptyPattern), "URL pattern cannot be empty"},
        {HttpRouteError::of(K::PatternTooLong), "URL pattern exceeds 8192 bytes"},
        {HttpRouteError::of(K::InvalidMethod), "HTTP method must be a non-empty ASCII token"},
        {HttpRouteError::invalid_status(99), "invalid HTTP status 99"},
        {HttpRouteError::of(K::TooManyHeaders), "HTTP response has more than 128 headers"},
        {HttpRouteError::of(K::HeadersTooLarge), "HTTP response headers exceed 65536 bytes"},
        {HttpRouteError::of(K::InvalidHeader), "HTTP response header contains an invalid name or newline"},
        {HttpRouteError::of(K::BodyTooLarge), "static HTTP response body exceeds 8388608 bytes"},
        {HttpRouteError::of(K::RouteDataTooLarge), "virtual HTTP route data exceeds 67108864 bytes"},
        {HttpRouteError::of(K::RouteLimit), "virtual HTTP route limit of 1024 reached"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(cases[i].first.kind), i);
        EXPECT_EQ(error_text(cases[i].first), cases[i].second);
    }
    EXPECT_EQ(error_text(HttpFetchError::no_matching_route()), "no matching virtual HTTP route");
    EXPECT_EQ(error_text(HttpFetchError::body_unreadable("/x", "why")), "cannot read virtual HTTP body /x: why");
    EXPECT_EQ(error_text(HttpFetchError::message("host request limit reached")), "host request limit reached");
}

TEST(HttpRouteTest, ValidationBoundaries) {
    struct Case {
        const char* what;
        HttpRoute route;
        std::optional<HttpRouteError> error;
    };
    auto with = [](auto change) {
        HttpRoute r = route("http://x/");
        change(r);
        return r;
    };
    auto headers = [](std::size_t n, std::size_t value_bytes) {
        HttpHeaders h;
        for (std::size_t i = 0; i < n; ++i) h.emplace_back("X", std::string(value_bytes, 'v'));
        return h;
    };
    const Case cases[] = {
        {"empty pattern", with([](HttpRoute& r) { r.pattern.clear(); }), HttpRouteError::of(K::EmptyPattern)},
        {"8192-byte pattern", with([](HttpRoute& r) { r.pattern.assign(8192, 'p'); }), std::nullopt},
        {"8193-byte pattern", with([](HttpRoute& r) { r.pattern.assign(8193, 'p'); }), HttpRouteError::of(K::PatternTooLong)},
        {"empty method", with([](HttpRoute& r) { r.method = ""; }), HttpRouteError::of(K::InvalidMethod)},
        {"method with space", with([](HttpRoute& r) { r.method = "GE T"; }), HttpRouteError::of(K::InvalidMethod)},
        {"token method", with([](HttpRoute& r) { r.method = "x-custom~!"; }), std::nullopt},
        {"status 99", with([](HttpRoute& r) { r.status = 99; }), HttpRouteError::invalid_status(99)},
        {"status 100", with([](HttpRoute& r) { r.status = 100; }), std::nullopt},
        {"status 599", with([](HttpRoute& r) { r.status = 599; }), std::nullopt},
        {"status 600", with([](HttpRoute& r) { r.status = 600; }), HttpRouteError::invalid_status(600)},
        {"128 headers", with([&](HttpRoute& r) { r.headers = headers(128, 1); }), std::nullopt},
        {"129 headers", with([&](HttpRoute& r) { r.headers = headers(129, 1); }), HttpRouteError::of(K::TooManyHeaders)},
        {"line feed in value", with([](HttpRoute& r) { r.headers = {{"A", "b\nc"}}; }), HttpRouteError::of(K::InvalidHeader)},
        {"empty name", with([](HttpRoute& r) { r.headers = {{"", "v"}}; }), HttpRouteError::of(K::InvalidHeader)},
        {"65536 header bytes", with([&](HttpRoute& r) { r.headers = headers(2, 32767); }), std::nullopt},
        {"65537 header bytes", with([&](HttpRoute& r) { r.headers = headers(2, 32768); }), HttpRouteError::of(K::HeadersTooLarge)},
        // An invalid header after the byte limit is passed reports the limit.
        {"invalid after limit", with([&](HttpRoute& r) {
             r.headers = headers(2, 32768);
             r.headers.emplace_back("bad name", "v");
         }),
         HttpRouteError::of(K::HeadersTooLarge)},
        {"8 MiB body", with([](HttpRoute& r) { r.body.assign(8388608, 'b'); }), std::nullopt},
        {"8 MiB + 1 body", with([](HttpRoute& r) { r.body.assign(8388609, 'b'); }), HttpRouteError::of(K::BodyTooLarge)},
    };
    for (const auto& c : cases) {
        auto r = HttpRoute::validate(c.route);
        if (c.error) {
            ASSERT_FALSE(r.has_value()) << c.what;
            EXPECT_EQ(r.error(), *c.error) << c.what;
        } else {
            EXPECT_TRUE(r.has_value()) << c.what;
        }
    }
    HttpRoute sized = route("abc");
    sized.method = "GET";
    sized.headers = {{"K", "vv"}};
    sized.body = "12345";
    EXPECT_EQ(HttpRoute::validate(sized), 3u + 3 + 3 + 5);
    HttpRoute by_path = route("abc");
    by_path.body_path = "/srv/x";
    EXPECT_EQ(HttpRoute::validate(by_path), 3u + 6);
}

TEST(HttpPatternTest, GlobRules) {
    struct Case {
        const char* pattern;
        const char* url;
        bool matches;
    };
    const Case cases[] = {
        {"http://a/x", "http://a/x", true},
        {"http://a/x", "http://a/X", false},
        {"http://a/x", "http://a/xy", false},
        {"http://a/*", "http://a/", true},
        {"http://a/*", "http://a/deep/path?q=1", true},
        {"http://a/*", "http://b/", false},
        {"*.json", "http://a/b.json", true},
        {"*.json", "http://a/b.jsonx", false},
        {"ab*ba", "aba", false},  // the suffix must lie wholly after the prefix
        {"ab*ba", "abba", true},
        {"ab*ba", "abxxba", true},
        {"a*b*c", "axbybzc", true},
        {"a*b*c", "axc", false},
        {"*", "", true},
        {"**", "anything", true},
        {"a**c", "ac", true},
    };
    for (const auto& c : cases) EXPECT_EQ(http_pattern_matches(c.pattern, c.url), c.matches) << c.pattern << " ~ " << c.url;
}

class BrokerTest : public ::testing::Test {
protected:
    HttpBroker broker;
    Vfs vfs{1 << 20, 0};

    HttpRequest get(std::string url, std::string method = "GET") {
        return HttpRequest{.method = std::move(method), .url = std::move(url), .headers = {}, .body = {}};
    }
};

TEST_F(BrokerTest, RouteCountAndByteLimits) {
    for (int i = 0; i < 1024; ++i) ASSERT_TRUE(broker.add_static_route("u", 200, {}).has_value());
    EXPECT_EQ(broker.add_static_route("u", 200, {}).error(), HttpRouteError::of(K::RouteLimit));
    // Validation comes before the route limit.
    EXPECT_EQ(broker.add_static_route("", 200, {}).error(), HttpRouteError::of(K::EmptyPattern));
    EXPECT_EQ(broker.routes().size(), 1024u);
    EXPECT_EQ(broker.route_bytes(), 1024u);

    HttpBroker big;
    // Seven 8 MiB routes, then one that fills the 64 MiB total exactly.
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(big.add_static_route("p", 200, Bytes(8388608, 'b')).has_value());
    const std::uint64_t left = HttpBroker::kMaxRouteBytes - big.route_bytes();
    EXPECT_EQ(big.add_static_route("p", 200, Bytes(left, 'b')).error(), HttpRouteError::of(K::RouteDataTooLarge));
    EXPECT_TRUE(big.add_static_route("p", 200, Bytes(left - 1, 'b')).has_value());
    EXPECT_EQ(big.route_bytes(), HttpBroker::kMaxRouteBytes);
    EXPECT_EQ(big.add_file_route("p", "").error(), HttpRouteError::of(K::RouteDataTooLarge));
}

TEST_F(BrokerTest, FirstMatchingRouteAnswersAndEveryRequestIsLogged) {
    HttpRoute post = route("http://h/api/*");
    post.method = "post";
    post.status = 201;
    post.headers = {{"Content-Type", "text/plain"}};
    post.body = "created";
    ASSERT_TRUE(broker.add_route(post).has_value());
    ASSERT_TRUE(broker.add_static_route("http://h/api/*", 200, "first").has_value());
    ASSERT_TRUE(broker.add_static_route("http://h/api/*", 200, "second").has_value());
    EXPECT_EQ(broker.routes()[0].method, "POST");

    auto created = broker.answer_from_routes(get("http://h/api/x", "Post"), vfs);
    ASSERT_TRUE(created.has_value());
    const auto& response = std::get<HttpResponse>(*created);
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, "created");
    EXPECT_EQ(response.headers, post.headers);

    auto first = broker.answer_from_routes(get("http://h/api/x"), vfs);
    EXPECT_EQ(std::get<HttpResponse>(*first).body, "first");

    auto none = broker.answer_from_routes(get("http://other/"), vfs);
    EXPECT_EQ(none.error(), HttpFetchError::no_matching_route());

    const auto& log = broker.network_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[0].matched);
    EXPECT_EQ(log[0].method, "Post");
    EXPECT_EQ(log[0].response_status, 201);
    EXPECT_FALSE(log[2].matched);
    EXPECT_EQ(log[2].response_status, std::nullopt);
}

TEST_F(BrokerTest, FileRouteReadsTheFileEachTime) {
    ASSERT_TRUE(broker.add_file_route("http://h/f", "/data.txt").has_value());
    auto missing = broker.answer_from_routes(get("http://h/f"), vfs);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(error_text(missing.error()),
              "cannot read virtual HTTP body /data.txt: No such file or directory: /data.txt");
    EXPECT_TRUE(broker.network_log().back().matched);
    EXPECT_EQ(broker.network_log().back().response_status, 200);

    ASSERT_TRUE(vfs.write_file("/data.txt", "v1", 0644).has_value());
    EXPECT_EQ(std::get<HttpResponse>(*broker.answer_from_routes(get("http://h/f"), vfs)).body, "v1");
    ASSERT_TRUE(vfs.write_file("/data.txt", "v2", 0644).has_value());
    EXPECT_EQ(std::get<HttpResponse>(*broker.answer_from_routes(get("http://h/f"), vfs)).body, "v2");
}

TEST_F(BrokerTest, LogEntriesAreCutAndBounded) {
    HttpRequest r = get(std::string(8191, 'u') + "\xC3\xA9\xC3\xA9");  // é straddles byte 8192
    for (int i = 0; i < 20; ++i) r.headers.emplace_back(std::string(600, 'n'), "v");
    r.body = "body!";
    broker.log_request(r, false, std::nullopt);
    const NetworkRequest& e = broker.network_log()[0];
    EXPECT_EQ(e.url, std::string(8191, 'u'));
    EXPECT_EQ(e.headers.size(), 16u);
    EXPECT_EQ(e.headers[0].first.size(), 512u);
    EXPECT_EQ(e.dropped_headers, 4u);
    EXPECT_EQ(e.body_bytes, 5u);

    for (int i = 1; i < 4096; ++i) ASSERT_TRUE(broker.log_request(get("u"), false, std::nullopt).has_value());
    EXPECT_EQ(broker.log_request(get("u"), false, std::nullopt), std::nullopt);
    EXPECT_EQ(broker.network_log().size(), 4096u);
    EXPECT_EQ(broker.dropped_network_requests(), 1u);
}

TEST_F(BrokerTest, ListenersAreStoredOnce) {
    broker.listen("web");
    broker.listen("db");
    broker.listen("web");
    auto names = broker.listener_names();
    std::ranges::sort(names);
    EXPECT_EQ(names, (std::vector<std::string>{"db", "web"}));
}

}  // namespace
}  // namespace tw
