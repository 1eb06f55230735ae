#include "kernel/net.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/vfs.h"

namespace tw {
namespace {

bool add_checked(std::uint64_t& total, std::uint64_t n) { return !__builtin_add_overflow(total, n, &total); }

std::string cut_text(std::string_view text, std::size_t limit) {
    return std::string(text.substr(0, utf8_floor_boundary(text, limit)));
}

std::string ascii_upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::string error_text(const HttpRouteError& error) {
    using K = HttpRouteError::Kind;
    switch (error.kind) {
    case K::EmptyPattern: return "URL pattern cannot be empty";
    case K::PatternTooLong: return "URL pattern exceeds 8192 bytes";
    case K::InvalidMethod: return "HTTP method must be a non-empty ASCII token";
    case K::InvalidStatus: return fmt::format("invalid HTTP status {}", error.status);
    case K::TooManyHeaders: return "HTTP response has more than 128 headers";
    case K::HeadersTooLarge: return "HTTP response headers exceed 65536 bytes";
    case K::InvalidHeader: return "HTTP response header contains an invalid name or newline";
    case K::BodyTooLarge: return "static HTTP response body exceeds 8388608 bytes";
    case K::RouteDataTooLarge: return "virtual HTTP route data exceeds 67108864 bytes";
    case K::RouteLimit: return "virtual HTTP route limit of 1024 reached";
    }
    return {};
}

std::string error_text(const HttpFetchError& error) {
    using K = HttpFetchError::Kind;
    switch (error.kind) {
    case K::NoMatchingRoute: return "no matching virtual HTTP route";
    case K::BodyUnreadable: return fmt::format("cannot read virtual HTTP body {}: {}", error.path, error.text);
    case K::Message: return error.text;
    }
    return {};
}

bool is_http_token(std::string_view text) {
    if (text.empty()) return false;
    constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
    return std::ranges::all_of(text, [&](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               kExtra.find(c) != std::string_view::npos;
    });
}

// ---- routes ----

Result<std::uint64_t, HttpRouteError> HttpRoute::validate(const HttpRoute& route) {
    using K = HttpRouteError::Kind;
    if (route.pattern.empty()) return std::unexpected(HttpRouteError::of(K::EmptyPattern));
    if (route.pattern.size() > kMaxPatternBytes) return std::unexpected(HttpRouteError::of(K::PatternTooLong));
    if (route.method && !is_http_token(*route.method)) return std::unexpected(HttpRouteError::of(K::InvalidMethod));
    if (route.status < 100 || route.status > 599) return std::unexpected(HttpRouteError::invalid_status(route.status));
    if (route.headers.size() > kMaxHeaders) return std::unexpected(HttpRouteError::of(K::TooManyHeaders));
    std::uint64_t header_bytes = 0;
    for (const auto& [name, value] : route.headers) {
        if (!is_http_token(name) || value.find_first_of("\r\n") != std::string::npos)
            return std::unexpected(HttpRouteError::of(K::InvalidHeader));
        if (!add_checked(header_bytes, name.size()) || !add_checked(header_bytes, value.size()) ||
            header_bytes > kMaxHeaderBytes)
            return std::unexpected(HttpRouteError::of(K::HeadersTooLarge));
    }
    if (route.body.size() > kMaxBodyBytes) return std::unexpected(HttpRouteError::of(K::BodyTooLarge));
    std::uint64_t size = route.pattern.size();
    if (!add_checked(size, route.method ? route.method->size() : 0) || !add_checked(size, header_bytes) ||
        !add_checked(size, route.body.size()) || !add_checked(size, route.body_path ? route.body_path->size() : 0))
        return std::unexpected(HttpRouteError::of(K::RouteDataTooLarge));
    return size;
}

bool http_pattern_matches(std::string_view pattern, std::string_view url) {
    if (pattern.find('*') == std::string_view::npos) return pattern == url;
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0;;) {
        const std::size_t star = pattern.find('*', start);
        pieces.push_back(pattern.substr(start, star == std::string_view::npos ? std::string_view::npos : star - start));
        if (star == std::string_view::npos) break;
        start = star + 1;
    }
    std::size_t pos = 0;
    const std::size_t last = pieces.size() - 1;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::string_view piece = pieces[i];
        if (piece.empty()) continue;
        if (i == 0) {
            if (!url.starts_with(piece)) return false;
            pos = piece.size();
        } else if (i == last) {
            // The suffix must lie wholly after what has been matched so far.
            if (url.size() - pos < piece.size() || !url.substr(pos).ends_with(piece)) return false;
            pos = url.size();
        } else {
            const std::size_t found = url.find(piece, pos);
            if (found == std::string_view::npos) return false;
            pos = found + piece.size();
        }
    }
    return true;
}

bool HttpRoute::matches(std::string_view request_method, std::string_view url) const {
    if (method && !ascii_iequal(*method, request_method)) return false;
    return http_pattern_matches(pattern, url);
}

// ---- log ----

NetworkRequest NetworkRequest::from_request(const HttpRequest& request, bool matched,
                                            std::optional<std::uint16_t> response_status) {
    NetworkRequest entry;
    entry.method = cut_text(request.method, kMaxTextBytes);
    entry.url = cut_text(request.url, kMaxTextBytes);
    const std::size_t kept = std::min(request.headers.size(), kMaxHeaders);
    entry.headers.reserve(kept);
    for (std::size_t i = 0; i < kept; ++i)
        entry.headers.emplace_back(cut_text(request.headers[i].first, kMaxHeaderTextBytes),
                                   cut_text(request.headers[i].second, kMaxHeaderTextBytes));
    entry.dropped_headers = request.headers.size() - kept;
    entry.body_bytes = request.body.size();
    entry.matched = matched;
    entry.response_status = response_status;
    return entry;
}

// ---- broker ----

Result<void, HttpRouteError> HttpBroker::add_route(HttpRoute route) {
    auto size = HttpRoute::validate(route);
    if (!size) return std::unexpected(size.error());
    if (routes_.size() >= kMaxRoutes) return std::unexpected(HttpRouteError::of(HttpRouteError::Kind::RouteLimit));
    std::uint64_t total = route_bytes_;
    if (!add_checked(total, *size) || total > kMaxRouteBytes)
        return std::unexpected(HttpRouteError::of(HttpRouteError::Kind::RouteDataTooLarge));
    if (route.method) route.method = ascii_upper(*route.method);
    routes_.push_back(std::move(route));
    route_bytes_ = total;
    return {};
}

Result<void, HttpRouteError> HttpBroker::add_static_route(std::string pattern, std::uint16_t status, Bytes body) {
    return add_route(HttpRoute{.pattern = std::move(pattern), .status = status, .body = std::move(body)});
}

Result<void, HttpRouteError> HttpBroker::add_file_route(std::string pattern, std::string path) {
    return add_route(HttpRoute{.pattern = std::move(pattern), .status = 200, .body_path = std::move(path)});
}

std::optional<std::size_t> HttpBroker::log_request(const HttpRequest& request, bool matched,
                                                   std::optional<std::uint16_t> response_status) {
    if (network_log_.size() >= kMaxLogEntries) {
        dropped_network_requests_ = sat_add(dropped_network_requests_, 1);
        return std::nullopt;
    }
    network_log_.push_back(NetworkRequest::from_request(request, matched, response_status));
    return network_log_.size() - 1;
}

Result<HttpReply, HttpFetchError> HttpBroker::answer_from_routes(const HttpRequest& request, Vfs& vfs) {
    auto route = std::ranges::find_if(routes_, [&](const HttpRoute& r) { return r.matches(request.method, request.url); });
    if (route == routes_.end()) {
        log_request(request, false, std::nullopt);
        return std::unexpected(HttpFetchError::no_matching_route());
    }
    log_request(request, true, route->status);
    HttpResponse response{.headers = route->headers, .body = {}, .status = route->status};
    if (!route->body_path) {
        response.body = route->body;
        return response;
    }
    auto bytes = vfs.read_bytes("/", *route->body_path);
    if (!bytes) return std::unexpected(HttpFetchError::body_unreadable(*route->body_path, error_text(bytes.error())));
    response.body = std::move(*bytes);
    return response;
}

Result<HttpReply, HttpFetchError> HttpBroker::answer(const HttpRequest& request, Pid caller, Vfs& vfs) {
    const bool endpoint_url = request.url == kToolEndpointUrl;
    if (endpoint_url && host_tools_enabled_) return answer_at_tool_endpoint(request, caller);
    auto reply = answer_from_routes(request, vfs);
    if (!reply && endpoint_url && reply.error().kind == HttpFetchError::Kind::NoMatchingRoute)
        return std::unexpected(HttpFetchError::message("host tools endpoint is not enabled"));
    return reply;
}

void HttpBroker::listen(std::string_view name) {
    auto it = listeners_.find(name);
    if (it == listeners_.end()) listeners_.emplace(std::string(name), true);
    else it->second = true;
}

std::vector<std::string> HttpBroker::listener_names() const {
    std::vector<std::string> names;
    for (const auto& [name, on] : listeners_)
        if (on) names.push_back(name);
    return names;
}

}  // namespace tw
