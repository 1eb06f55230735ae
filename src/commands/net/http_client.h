// What the HTTP clients (curl, wget) share: option scanning and --help, header options, download file names, status-line
// reason phrases, and sending a request through the machine's one HTTP operation while following
// the tool endpoint's protocol.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/bytes.h"
#include "base/result.h"
#include "commands/util/options.h"
#include "kernel/net.h"
#include "shell/command_io.h"

namespace tw {

// The status of a client's usage errors.
inline constexpr std::int32_t kNetUsageStatus = 2;

// Scans a client's arguments. A scan failure is written to stderr ("{name}: {failure}") and
// the step finishes with kNetUsageStatus; with the option `help_id` the usage goes to stdout and
// the step finishes with 0. Either way the finished step comes back as the error.
Result<ScannedOptions, NativeStep> netcmd_scan_options(const NativeInvocation& invocation, CommandIo& io,
                                                       std::string_view name, std::string_view usage,
                                                       std::span<const OptionSpec> table, int help_id);

// Adds one header option's value to the request. False, with "malformed header; expected
// 'Name: value'" written to stderr, when it does not parse.
bool netcmd_add_header(HttpRequest& request, std::string_view value, std::string_view name, CommandIo& io);

// Saves a download as `path` (relative to the working directory, mode 0644); the failure's text.
Result<void, std::string> netcmd_save(NativeInvocation& invocation, std::string_view path, Bytes bytes);

// "Name: value" split at its first ':'; name and value trimmed of surrounding whitespace. Nothing
// for a text without ':', an empty name, or a CR or LF in the name or in the value.
std::optional<std::pair<std::string, std::string>> netcmd_parse_header(std::string_view text);

// The file name a download is saved under: the filename= of the first Content-Disposition
// header (any letter case) when it gives a non-empty name, else the last path segment of the
// URL without its query, else "index.html".
std::string netcmd_output_file_name(const HttpHeaders& headers, std::string_view url);

// "OK", "Not Found", ...; empty for a status without a known phrase.
std::string_view http_reason_phrase(std::uint16_t status);

// Standard Base64 with '=' padding.
std::string base64_encode(BytesView bytes);

// The outcome of one request for a client: a response or a failure; a request still waiting for
// the host has already been turned into the step the handler must answer.
using HttpOutcome = std::variant<HttpResponse, HttpFetchError>;

// Sends the request. While it waits for the host (tool endpoint) this sets `step` to Blocked on
// HostHttp(id) and answers nothing: the handler must return at once, having written nothing;
// the dispatcher runs it again from its beginning once the host has answered, and the same
// request sent again then collects the answer.
std::optional<HttpOutcome> send_http_request(NativeInvocation& invocation, const HttpRequest& request,
                                             NativeStep& step);

}  // namespace tw
