// The virtual tool endpoint: a program posts a tool call ({"tool": name, "arguments": object})
// to kToolEndpointUrl (net.h); the request becomes the process's pending host request, the
// process blocks on WaitReason::host_http(id), the host lists the call, answers it, and the woken
// program, repeating its request, receives the answer as the HTTP response.
//
// The endpoint's request side is HttpBroker::answer_at_tool_endpoint (reached through the
// host_tool_request system call on a machine whose broker has host_tools_enabled). This header
// gives the host's side, as operations on the whole machine, and the tool-call JSON reading.
//
// A host drives it like this, between scheduler steps:
//
//     machine.broker.set_host_tools_enabled(true);          // once, for a container's machine
//     ... step the machine until it is idle ...
//     purge_tool_requests(machine, root, first_pid);        // drop requests of gone processes
//     for (const ToolCallView& call : machine.broker.report_tool_calls()) ... show the call ...
//     respond_tool_call(machine, id, R"({"ok":true})", std::nullopt);  // wakes the program
//     ... step again: the program collects the response ...
//     machine.broker.discard_host_requests();                // when the action is over
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "kernel/net.h"

namespace tw {

struct Machine;

inline constexpr std::size_t kMaxToolNameBytes = 8192;
inline constexpr std::size_t kMaxHostRequestBodyBytes = 1048576;
inline constexpr std::size_t kMaxHostResponseBodyBytes = 1048576;
inline constexpr std::size_t kMaxJsonDepth = 128;

// The one message of a body that is not a tool call.
inline constexpr std::string_view kToolCallFormMessage = "host tool request must contain a tool and object arguments";

// Reads a request body as a tool call: an object whose members are exactly "tool" (a string)
// and "arguments" (an object), in either order, each once; or the array [tool, arguments].
// Surrounding whitespace is allowed, nothing else after the value; nesting deeper than 128 levels
// fails. Any failure answers kToolCallFormMessage. The tool name's length is not checked here.
Result<ToolCall, std::string> parse_tool_call(std::string_view body);

// Reads one JSON text (nesting at most 128 levels, valid UTF-8) and writes it back as compact
// text: no whitespace, object members in their order (a repeated key keeps its first position and
// its last value), numbers with their digits as written, strings with only the quotation mark,
// the backslash and control characters escaped. The error names what was wrong and where.
Result<std::string, std::string> compact_json(std::string_view text);
// The same, refusing every value that is not an object with `not_object` as the error.
Result<std::string, std::string> compact_json_object(std::string_view text, std::string_view not_object);

// Appends `text` as a JSON string: `"`, `\` and control characters below 0x20 escaped (\b \t
// \n \f \r, else \u00xx), everything else as its bytes.
void append_json_text(std::string& out, std::string_view text);

// The HTTP response for the host's answer: status 200, the header Content-Type:
// application/json, and the body {"result":RESULT} (RESULT a JSON object text) or
// {"error":"TEXT"}; a body longer than 1 MiB becomes {"error":"tool response too large"}.
// Supplying both, neither, or a result that is not a JSON object fails with
// "supply one object result or one error"; a result that is no JSON text at all fails with
// the reader's text.
Result<HttpResponse, std::string> tool_response(std::optional<std::string_view> result_json,
                                                std::optional<std::string_view> error);

// The host's answer to pending request `request_id`: builds the response (tool_response),
// checks it as the response of a POST route, stores it in the request (which must have been
// reported and not answered yet: "host request {} does not exist", "host request {} cannot be
// completed"), marks the request's log entry with status 200 and wakes every task blocked on
// HostHttp(request_id). On failure nothing changes.
Result<void, std::string> respond_tool_call(Machine& machine, std::uint64_t request_id,
                                            std::optional<std::string_view> result_json,
                                            std::optional<std::string_view> error);

// Removes the pending requests that no longer belong to the action whose process is `root`: a
// request stays when its process exists, has not exited, and is `root` or reaches it through a
// chain of parents in which every pid is at least `first_pid` and each parent's pid is smaller
// than its child's. Answers how many went.
std::size_t purge_tool_requests(Machine& machine, Pid root, Pid first_pid);

}  // namespace tw
