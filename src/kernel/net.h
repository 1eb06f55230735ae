// The simulated HTTP broker: static routes, the bounded network log and the listener names of a
// machine. Programs never reach a real network; every HTTP request made inside the machine is
// answered here (or, on a machine granted the virtual tool endpoint, by the host).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/scheduler.h"

namespace tw {

class Vfs;

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The fixed URL of the virtual tool endpoint; a request reaches it only when its URL is exactly
// this. The one spelling of the URL: the endpoint and every client use this constant.
inline constexpr std::string_view kToolEndpointUrl = "http://tools.tarnwick/tools";

// The refusal of a route registration, in tag order.
struct HttpRouteError {
    enum class Kind : std::uint16_t {
        EmptyPattern = 0,
        PatternTooLong = 1,
        InvalidMethod = 2,
        InvalidStatus = 3,
        TooManyHeaders = 4,
        HeadersTooLarge = 5,
        InvalidHeader = 6,
        BodyTooLarge = 7,
        RouteDataTooLarge = 8,
        RouteLimit = 9,
    };
    Kind kind = Kind::EmptyPattern;
    std::uint16_t status = 0;  // InvalidStatus only

    static HttpRouteError of(Kind kind) { return {kind, 0}; }
    static HttpRouteError invalid_status(std::uint16_t status) { return {Kind::InvalidStatus, status}; }

    friend bool operator==(const HttpRouteError&, const HttpRouteError&) = default;
};

// "URL pattern cannot be empty", ..., "invalid HTTP status {}", ...
std::string error_text(const HttpRouteError& error);

// The failure of one HTTP request answered inside the machine.
struct HttpFetchError {
    enum class Kind : std::uint8_t { NoMatchingRoute = 0, BodyUnreadable = 1, Message = 2 };
    Kind kind = Kind::NoMatchingRoute;
    std::string path;  // BodyUnreadable: the route's body path
    std::string text;  // BodyUnreadable: the reason; Message: the text

    static HttpFetchError no_matching_route() { return {Kind::NoMatchingRoute, {}, {}}; }
    static HttpFetchError body_unreadable(std::string path, std::string reason) {
        return {Kind::BodyUnreadable, std::move(path), std::move(reason)};
    }
    static HttpFetchError message(std::string text) { return {Kind::Message, {}, std::move(text)}; }

    friend bool operator==(const HttpFetchError&, const HttpFetchError&) = default;
};

// "no matching virtual HTTP route", "cannot read virtual HTTP body {path}: {reason}", or the text.
std::string error_text(const HttpFetchError& error);

// True for a non-empty text of ASCII letters, digits and !#$%&'*+-.^_`|~ only.
bool is_http_token(std::string_view text);

// One static response.
struct HttpRoute {
    static constexpr std::size_t kMaxPatternBytes = 8192;
    static constexpr std::size_t kMaxHeaders = 128;
    static constexpr std::uint64_t kMaxHeaderBytes = 65536;
    static constexpr std::uint64_t kMaxBodyBytes = 8388608;

    // A literal URL, or a glob in which "*" stands for any run of characters.
    std::string pattern;
    // Absent: every method. Stored in upper case.
    std::optional<std::string> method;
    std::uint16_t status = 200;
    HttpHeaders headers;
    // The inline body; empty for a route whose body is read from `body_path`.
    Bytes body;
    // Present: the body is the content of this file, read each time the route answers.
    std::optional<std::string> body_path;

    // Checks the route's rules in their fixed order and answers its size (pattern + method +
    // header bytes + body, or the path for a path body) or the first failed rule. Route limits
    // of the broker are not checked here.
    static Result<std::uint64_t, HttpRouteError> validate(const HttpRoute& route);

    // Whether the route answers a request with this method and URL.
    bool matches(std::string_view request_method, std::string_view url) const;

    friend bool operator==(const HttpRoute&, const HttpRoute&) = default;
};

// Whole-URL glob match: every "*" of the pattern stands for any run of characters (pieces between
// stars are matched leftmost). A pattern without "*" matches only the identical text.
bool http_pattern_matches(std::string_view pattern, std::string_view url);

// What a client hands to the broker.
struct HttpRequest {
    std::string method;
    std::string url;
    HttpHeaders headers;
    Bytes body;

    friend bool operator==(const HttpRequest&, const HttpRequest&) = default;
};

struct HttpResponse {
    HttpHeaders headers;
    Bytes body;
    std::uint16_t status = 200;

    friend bool operator==(const HttpResponse&, const HttpResponse&) = default;
};

// The request waits for the host (virtual tool endpoint): the caller blocks on HostHttp with the
// identity and then sends the same request again.
struct HttpPending {
    std::uint64_t request_id = 0;
    friend bool operator==(const HttpPending&, const HttpPending&) = default;
};

using HttpReply = std::variant<HttpResponse, HttpPending>;

// One entry of the network log.
struct NetworkRequest {
    static constexpr std::size_t kMaxTextBytes = 8192;   // method and URL
    static constexpr std::size_t kMaxHeaders = 16;
    static constexpr std::size_t kMaxHeaderTextBytes = 512;  // each header name and value

    std::string method;
    std::string url;
    HttpHeaders headers;
    std::uint64_t dropped_headers = 0;
    std::uint64_t body_bytes = 0;
    bool matched = false;
    std::optional<std::uint16_t> response_status;

    // The log form of a request: texts cut at character boundaries, the first 16 headers.
    static NetworkRequest from_request(const HttpRequest& request, bool matched,
                                       std::optional<std::uint16_t> response_status);

    friend bool operator==(const NetworkRequest&, const NetworkRequest&) = default;
};

// A tool call posted to the virtual tool endpoint.
struct ToolCall {
    std::string tool;  // 1 to 8192 bytes
    // The arguments object as compact JSON text: members in their posted order (a repeated key
    // keeps its first position and its last value, at every depth), numbers with their posted
    // digits.
    std::string arguments_json;

    friend bool operator==(const ToolCall&, const ToolCall&) = default;
};

// The pending tool request of one process.
struct HostToolRequest {
    std::uint64_t request_id = 0;
    HttpRequest request;  // as posted; a repeat must equal it
    ToolCall call;
    std::optional<std::size_t> log_index;  // its network-log entry; absent when the log was full
    std::optional<HttpResponse> response;  // the host's answer, until the process collects it
    bool reported = false;                 // listed to the host once; only then can it be answered

    friend bool operator==(const HostToolRequest&, const HostToolRequest&) = default;
};

// What the host is shown of a newly pending tool request.
struct ToolCallView {
    std::uint64_t request_id = 0;
    std::string tool;
    std::string arguments_json;  // compact JSON object text

    friend bool operator==(const ToolCallView&, const ToolCallView&) = default;
};

class HttpBroker {
public:
    static constexpr std::size_t kMaxRoutes = 1024;
    static constexpr std::uint64_t kMaxRouteBytes = 67108864;
    static constexpr std::size_t kMaxLogEntries = 4096;
    static constexpr std::size_t kMaxPendingHostRequests = 16;

    // Validates and appends a route (method upper-cased); nothing is stored on a refusal.
    Result<void, HttpRouteError> add_route(HttpRoute route);
    // A route with no method, no headers, the status and the inline body.
    Result<void, HttpRouteError> add_static_route(std::string pattern, std::uint16_t status, Bytes body);
    // A route with no method, no headers, status 200 and the body read from `path` (stored as
    // given, not examined now).
    Result<void, HttpRouteError> add_file_route(std::string pattern, std::string path);

    // Answers a request from the routes: the first matching route in registration order gives
    // the response (a path body is read from `vfs`, "/" being the base of a relative path);
    // without a match, NoMatchingRoute. Every request is logged.
    Result<HttpReply, HttpFetchError> answer_from_routes(const HttpRequest& request, Vfs& vfs);

    // The machine's one HTTP request operation, for a request made by process `caller`: on a
    // machine granted the tool endpoint a request for exactly kToolEndpointUrl goes to the
    // endpoint; everything else is answered from the routes. On a machine without the endpoint a
    // request for its URL that no route takes fails with "host tools endpoint is not enabled".
    Result<HttpReply, HttpFetchError> answer(const HttpRequest& request, Pid caller, Vfs& vfs);

    // The virtual tool endpoint (tool_endpoint.cpp): a POST of a tool call becomes the caller's
    // pending host request; a repeat of the same request answers pending with the same identity
    // until the host has answered, then the answer (and the entry is gone).
    Result<HttpReply, HttpFetchError> answer_at_tool_endpoint(const HttpRequest& request, Pid caller);

    // ---- the host's side of the tool endpoint (tool_endpoint.cpp) ----

    // Every pending request not yet listed, in ascending pid of the posting process; each is
    // marked reported, so it is listed once.
    std::vector<ToolCallView> report_tool_calls();
    // Whether some pending request has no answer yet.
    bool has_waiting_host_request() const;
    // Whether some pending request holds an answer its process has not collected yet (virtual
    // time must not jump ahead of such a process).
    bool has_answered_host_request() const;
    // Stores the host's answer in the request `request_id`: "host request {} does not exist",
    // or "host request {} cannot be completed" when it was not reported yet or is answered
    // already. Sets response_status 200 on its log entry. Waking the waiting process is the
    // caller's part (respond_tool_call in tool_endpoint.h does both).
    Result<void, std::string> complete_host_request(std::uint64_t request_id, HttpResponse response);
    // Removes every pending request whose pid `keep` refuses; answers how many went.
    std::size_t purge_host_requests(const std::function<bool(Pid)>& keep);
    // Forgets every pending request (the action that made them is over).
    void discard_host_requests() { pending_host_requests_.clear(); }

    const std::map<Pid, HostToolRequest>& pending_host_requests() const { return pending_host_requests_; }
    std::uint64_t next_request_id() const { return next_request_id_; }
    // For tests and machine copies that need to resume a numbering.
    void set_next_request_id(std::uint64_t id) { next_request_id_ = id; }

    // Appends a log entry and answers its index; when the log is full the request is only
    // counted as dropped.
    std::optional<std::size_t> log_request(const HttpRequest& request, bool matched,
                                           std::optional<std::uint16_t> response_status);

    // Sets the name's listening flag, adding the name when absent.
    void listen(std::string_view name);
    // The names whose flag is set.
    std::vector<std::string> listener_names() const;

    const std::vector<HttpRoute>& routes() const { return routes_; }
    std::uint64_t route_bytes() const { return route_bytes_; }
    const std::vector<NetworkRequest>& network_log() const { return network_log_; }
    std::vector<NetworkRequest>& network_log_mut() { return network_log_; }
    std::uint64_t dropped_network_requests() const { return dropped_network_requests_; }
    const std::map<std::string, bool, std::less<>>& listeners() const { return listeners_; }
    bool host_tools_enabled() const { return host_tools_enabled_; }
    void set_host_tools_enabled(bool on) { host_tools_enabled_ = on; }

    friend bool operator==(const HttpBroker&, const HttpBroker&) = default;

private:
    std::vector<HttpRoute> routes_;
    std::uint64_t route_bytes_ = 0;
    std::vector<NetworkRequest> network_log_;
    std::uint64_t dropped_network_requests_ = 0;
    std::map<std::string, bool, std::less<>> listeners_;
    std::map<Pid, HostToolRequest> pending_host_requests_;
    std::uint64_t next_request_id_ = 0;
    bool host_tools_enabled_ = false;
};

}  // namespace tw
