// curl: one request to the machine's virtual HTTP layer, the response written to standard
// output or to a file. The handler keeps no state between steps: while a tool call waits for the
// host it answers Blocked having written nothing, and the next step builds and sends the very same
// request again, which then collects the answer.
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "commands/net/http_client.h"
#include "commands/net/net_commands.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr std::string_view kName = "curl";
constexpr std::string_view kUsage = "usage: curl [OPTIONS] URL\nsupported: -X --url -o -O -sSifI -d -H -A -e -b -u\n";

constexpr std::int32_t kUsageStatus = kNetUsageStatus;
constexpr std::int32_t kConnectStatus = 7;
constexpr std::int32_t kHttpErrorStatus = 22;
constexpr std::int32_t kWriteStatus = 23;

enum Opt {
    Request, Url, Output, RemoteName, Silent, ShowError, Include, Fail, Head, Data, Header, UserAgent, Referer,
    Cookie, User, Help,
};

constexpr OptionSpec kOptions[] = {
    {"request", U'X', OptionValue::Required, Request},
    {"url", 0, OptionValue::Required, Url},
    {"output", U'o', OptionValue::Required, Output},
    {"remote-name", U'O', OptionValue::None, RemoteName},
    {"silent", U's', OptionValue::None, Silent},
    {"show-error", U'S', OptionValue::None, ShowError},
    {"include", U'i', OptionValue::None, Include},
    {"fail", U'f', OptionValue::None, Fail},
    {"head", U'I', OptionValue::None, Head},
    {"data", U'd', OptionValue::Required, Data},
    {"data-raw", 0, OptionValue::Required, Data},
    {"data-binary", 0, OptionValue::Required, Data},
    {"header", U'H', OptionValue::Required, Header},
    {"user-agent", U'A', OptionValue::Required, UserAgent},
    {"referer", U'e', OptionValue::Required, Referer},
    {"cookie", U'b', OptionValue::Required, Cookie},
    {"user", U'u', OptionValue::Required, User},
    {"help", 0, OptionValue::None, Help},
};

struct Settings {
    std::optional<std::string> output;
    bool remote_name = false;
    bool silent = false;
    bool show_error = false;
    bool include = false;
    bool fail = false;
    bool head = false;

    bool print_errors() const { return !silent || show_error; }
};

NativeStep finish(std::int32_t status) { return NativeStep::finished(status); }

// The status line and headers (with -i or -I), then the body unless -I.
Bytes response_bytes(const HttpResponse& response, const Settings& settings) {
    Bytes out;
    if (settings.include || settings.head) {
        out += fmt::format("HTTP/1.1 {} {}\r\n", response.status, http_reason_phrase(response.status));
        for (const auto& [name, value] : response.headers) out += fmt::format("{}: {}\r\n", name, value);
        out += "\r\n";
    }
    if (!settings.head) out += response.body;
    return out;
}

NativeStep run(NativeStep& step, NativeInvocation& inv, CommandIo& io) {
    auto scanned = netcmd_scan_options(inv, io, kName, kUsage, kOptions, Help);
    if (!scanned) return scanned.error();
    if (scanned->operands.size() > 1) {
        push_message(io.err, kName, "multiple URLs are not supported");
        return finish(kUsageStatus);
    }

    HttpRequest request{.method = "GET", .url = {}, .headers = {}, .body = {}};
    if (!scanned->operands.empty()) request.url = scanned->operands.front();
    Settings settings;
    for (const ScannedOption& option : scanned->options) {
        const std::string_view value = option.value.value_or(std::string_view());
        switch (option.id) {
        case Request: request.method = value; break;
        case Url: request.url = value; break;
        case Output: settings.output = std::string(value); break;
        case RemoteName: settings.remote_name = true; break;
        case Silent: settings.silent = true; break;
        case ShowError: settings.show_error = true; break;
        case Include: settings.include = true; break;
        case Fail: settings.fail = true; break;
        case Head:
            request.method = "HEAD";
            settings.head = true;
            break;
        case Data:
            if (!request.body.empty()) request.body += '&';
            request.body += value;
            if (request.method == "GET") request.method = "POST";
            break;
        case Header:
            if (!netcmd_add_header(request, value, kName, io)) return finish(kUsageStatus);
            break;
        case UserAgent: request.headers.emplace_back("User-Agent", value); break;
        case Referer: request.headers.emplace_back("Referer", value); break;
        case Cookie: request.headers.emplace_back("Cookie", value); break;
        case User: request.headers.emplace_back("Authorization", "Basic " + base64_encode(value)); break;
        default: break;
        }
    }
    if (request.url.empty()) {
        push_message(io.err, kName, "no URL specified");
        return finish(kUsageStatus);
    }

    std::optional<HttpOutcome> outcome = send_http_request(inv, request, step);
    if (!outcome) return step;  // waiting for the host: nothing written
    if (const auto* failure = std::get_if<HttpFetchError>(&*outcome)) {
        if (failure->kind == HttpFetchError::Kind::NoMatchingRoute) {
            if (settings.print_errors())
                push_message(io.err, kName, "(7) Failed to connect: no matching virtual HTTP route");
            return finish(kConnectStatus);
        }
        if (settings.print_errors()) push_message(io.err, kName, fmt::format("(23) {}", error_text(*failure)));
        return finish(kWriteStatus);
    }
    const HttpResponse& response = std::get<HttpResponse>(*outcome);
    if (settings.fail && response.status >= 400) {
        if (settings.print_errors())
            push_message(io.err, kName, fmt::format("(22) HTTP response status {}", response.status));
        return finish(kHttpErrorStatus);
    }

    Bytes bytes = response_bytes(response, settings);
    std::optional<std::string> file = settings.output;
    if (!file && settings.remote_name) file = netcmd_output_file_name(response.headers, request.url);
    if (!file) {
        io.out += bytes;
        return finish(0);
    }
    if (auto saved = netcmd_save(inv, *file, std::move(bytes)); !saved) {
        push_message(io.err, kName, fmt::format("(23) {}", saved.error()));
        return finish(kWriteStatus);
    }
    return finish(0);
}

}  // namespace

void curl_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    step = run(step, invocation, io);
}

}  // namespace tw
