// wget: downloads the body of one virtual HTTP response into a file or to standard output. It
// shares curl's request operation, header parser and file naming, and like curl answers Blocked
// with nothing written while a tool call waits for the host.
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

constexpr std::string_view kName = "wget";
constexpr std::string_view kUsage =
    "usage: wget [OPTIONS] URL\nsupported: -O -q -P --method --header --body-data --post-data\n";

constexpr std::int32_t kUsageStatus = kNetUsageStatus;
constexpr std::int32_t kWriteStatus = 3;
constexpr std::int32_t kNetworkStatus = 4;
constexpr std::int32_t kServerStatus = 8;

enum Opt { OutputDocument, Quiet, DirectoryPrefix, Method, Header, BodyData, Help };

constexpr OptionSpec kOptions[] = {
    {"output-document", U'O', OptionValue::Required, OutputDocument},
    {"quiet", U'q', OptionValue::None, Quiet},
    {"directory-prefix", U'P', OptionValue::Required, DirectoryPrefix},
    {"method", 0, OptionValue::Required, Method},
    {"header", 0, OptionValue::Required, Header},
    {"body-data", 0, OptionValue::Required, BodyData},
    {"post-data", 0, OptionValue::Required, BodyData},
    {"help", 0, OptionValue::None, Help},
};

NativeStep finish(std::int32_t status) { return NativeStep::finished(status); }

NativeStep run(NativeStep& step, NativeInvocation& inv, CommandIo& io) {
    auto scanned = netcmd_scan_options(inv, io, kName, kUsage, kOptions, Help);
    if (!scanned) return scanned.error();
    if (scanned->operands.size() != 1) {
        push_message(io.err, kName, "exactly one URL is required");
        return finish(kUsageStatus);
    }

    HttpRequest request{.method = "GET", .url = std::string(scanned->operands.front()), .headers = {}, .body = {}};
    std::optional<std::string> document;
    std::optional<std::string> prefix;
    bool quiet = false;
    for (const ScannedOption& option : scanned->options) {
        const std::string_view value = option.value.value_or(std::string_view());
        switch (option.id) {
        case OutputDocument: document = std::string(value); break;
        case Quiet: quiet = true; break;
        case DirectoryPrefix: prefix = std::string(value); break;
        case Method: request.method = value; break;
        case Header:
            if (!netcmd_add_header(request, value, kName, io)) return finish(kUsageStatus);
            break;
        case BodyData:
            request.body = value;
            if (request.method == "GET") request.method = "POST";
            break;
        default: break;
        }
    }

    std::optional<HttpOutcome> outcome = send_http_request(inv, request, step);
    if (!outcome) return step;  // waiting for the host: nothing written
    if (const auto* failure = std::get_if<HttpFetchError>(&*outcome)) {
        if (!quiet) {
            if (failure->kind == HttpFetchError::Kind::NoMatchingRoute)
                push_message(io.err, kName, "unable to resolve request: no matching virtual HTTP route");
            else
                push_message(io.err, kName, error_text(*failure));
        }
        return finish(kNetworkStatus);
    }
    HttpResponse& response = std::get<HttpResponse>(*outcome);
    if (response.status >= 400) {
        if (!quiet) push_message(io.err, kName, fmt::format("server returned status {}", response.status));
        return finish(kServerStatus);
    }

    std::string path = document ? *document : netcmd_output_file_name(response.headers, request.url);
    if (prefix) {
        std::string_view dir = *prefix;
        while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
        path = fmt::format("{}/{}", dir, path);
    }
    if (path == "-") {
        io.out += response.body;
        return finish(0);
    }
    if (auto saved = netcmd_save(inv, path, std::move(response.body)); !saved) {
        push_message(io.err, kName, saved.error());
        return finish(kWriteStatus);
    }
    return finish(0);
}

}  // namespace

void wget_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    step = run(step, invocation, io);
}

}  // namespace tw
