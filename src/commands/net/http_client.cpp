#include "commands/net/http_client.h"

#include "commands/util/io.h"
#include "kernel/scheduler.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

bool has_line_break(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> netcmd_parse_header(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view name = trim(text.substr(0, colon));
    const std::string_view value = text.substr(colon + 1);
    if (name.empty() || has_line_break(name) || has_line_break(value)) return std::nullopt;
    return std::pair{std::string(name), std::string(trim(value))};
}

std::string netcmd_output_file_name(const HttpHeaders& headers, std::string_view url) {
    constexpr std::string_view kKey = "filename=";
    for (const auto& [name, value] : headers) {
        if (!ascii_iequal(name, "content-disposition")) continue;
        // Only the first such header is looked at.
        const std::size_t at = value.find(kKey);
        if (at != std::string::npos) {
            std::string_view rest = std::string_view(value).substr(at + kKey.size());
            if (const std::size_t again = rest.find(kKey); again != std::string_view::npos) rest = rest.substr(0, again);
            while (!rest.empty() && (rest.front() == ' ' || rest.front() == '"')) rest.remove_prefix(1);
            while (!rest.empty() && (rest.back() == ' ' || rest.back() == '"')) rest.remove_suffix(1);
            if (!rest.empty()) return std::string(rest);
        }
        break;
    }
    std::string_view path = url.substr(0, url.find('?'));
    if (const std::size_t slash = path.rfind('/'); slash != std::string_view::npos) path = path.substr(slash + 1);
    return path.empty() ? std::string("index.html") : std::string(path);
}

std::string_view http_reason_phrase(std::uint16_t status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "";
    }
}

std::string base64_encode(BytesView bytes) {
    constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = (static_cast<std::uint8_t>(bytes[i]) << 16) |
                                (static_cast<std::uint8_t>(bytes[i + 1]) << 8) | static_cast<std::uint8_t>(bytes[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i])) << 16;
        if (rest == 2) n |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i + 1])) << 8;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<HttpOutcome> send_http_request(NativeInvocation& invocation, const HttpRequest& request,
                                             NativeStep& step) {
    auto reply = invocation.sys.host_tool_request(request);
    if (!reply) return HttpOutcome{std::move(reply.error())};
    if (const auto* pending = std::get_if<HttpPending>(&*reply)) {
        step = NativeStep::blocked(WaitReason::host_http(pending->request_id));
        return std::nullopt;
    }
    return HttpOutcome{std::move(std::get<HttpResponse>(*reply))};
}

Result<ScannedOptions, NativeStep> netcmd_scan_options(const NativeInvocation& invocation, CommandIo& io,
                                                       std::string_view name, std::string_view usage,
                                                       std::span<const OptionSpec> table, int help_id) {
    auto scanned = scan_options(invocation.args, table);
    if (!scanned) {
        push_message(io.err, name, scanned.error());
        return std::unexpected(NativeStep::finished(kNetUsageStatus));
    }
    if (scanned->has(help_id)) {
        io.out += usage;
        return std::unexpected(NativeStep::finished(0));
    }
    return std::move(*scanned);
}

bool netcmd_add_header(HttpRequest& request, std::string_view value, std::string_view name, CommandIo& io) {
    auto header = netcmd_parse_header(value);
    if (!header) {
        push_message(io.err, name, "malformed header; expected 'Name: value'");
        return false;
    }
    request.headers.push_back(std::move(*header));
    return true;
}

Result<void, std::string> netcmd_save(NativeInvocation& invocation, std::string_view path, Bytes bytes) {
    if (auto written = invocation.sys.write_file_mode(invocation.sys.getcwd(), path, std::move(bytes), 0644); !written)
        return std::unexpected(error_text(written.error()));
    return {};
}

}  // namespace tw
