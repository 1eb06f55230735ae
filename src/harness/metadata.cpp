#include "harness/metadata.h"

#include <algorithm>
#include <iterator>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/machine.h"

namespace tw {
namespace {

// The labels added to a list since it held `marker` of them; none when it is shorter now.
std::vector<std::string> labels_since(const BoundedLabelSet& labels, std::uint64_t marker) {
    const std::vector<std::string>& all = labels.labels();
    if (marker >= all.size()) return {};
    return {all.begin() + static_cast<std::ptrdiff_t>(marker), all.end()};
}

template <typename T>
void append_optional(std::string& out, const std::optional<T>& value) {
    if (value) fmt::format_to(std::back_inserter(out), "{}", *value);
    else out += "null";
}

}  // namespace

RunMarkers RunMarkers::note(const Machine& machine) {
    return RunMarkers{
        .commands_len = machine.commands_seen.labels().size(),
        .commands_dropped = machine.commands_seen.dropped(),
        .unsupported_len = machine.unsupported_labels.labels().size(),
        .unsupported_dropped = machine.unsupported_labels.dropped(),
        .invocation_next = machine.invocations.next_sequence,
        .invocations_dropped = machine.invocations.dropped,
        .network_len = machine.broker.network_log().size(),
        .network_dropped = machine.broker.dropped_network_requests(),
    };
}

RunMetadata RunMetadata::build(const Machine& machine, RunOutcome outcome, const RunMarkers& markers) {
    RunMetadata metadata;
    metadata.outcome = std::move(outcome);

    // The log is ordered by sequence number; the run's entries are its tail.
    const auto& entries = machine.invocations.entries;
    auto first = std::ranges::lower_bound(entries, markers.invocation_next, {}, &InvocationEvent::sequence);
    metadata.invocations.assign(first, entries.end());

    metadata.commands = labels_since(machine.commands_seen, markers.commands_len);
    metadata.unsupported = labels_since(machine.unsupported_labels, markers.unsupported_len);
    metadata.unsupported_commands = invocation_names_with_trust(metadata.invocations, CommandTrust::Unsupported);
    metadata.partial_commands = invocation_names_with_trust(metadata.invocations, CommandTrust::Partial);

    const std::vector<NetworkRequest>& log = machine.broker.network_log();
    expect(log.size() >= markers.network_len, "network log never shrinks during a run");
    metadata.network_requests.assign(log.begin() + static_cast<std::ptrdiff_t>(markers.network_len), log.end());

    metadata.dropped_unsupported = sat_sub(machine.unsupported_labels.dropped(), markers.unsupported_dropped);
    metadata.dropped_commands = sat_sub(machine.commands_seen.dropped(), markers.commands_dropped);
    metadata.dropped_invocations = sat_sub(machine.invocations.dropped, markers.invocations_dropped);
    metadata.dropped_network_requests = sat_sub(machine.broker.dropped_network_requests(), markers.network_dropped);
    return metadata;
}

void append_json_string_array(std::string& out, const std::vector<std::string>& texts) {
    out.push_back('[');
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) out.push_back(',');
        append_json_string(out, texts[i]);
    }
    out.push_back(']');
}

std::vector<std::string> invocation_names_with_trust(const std::vector<InvocationEvent>& events, CommandTrust trust) {
    std::vector<std::string> names;
    for (const InvocationEvent& event : events)
        if (event.trust == trust && !event.argv.empty()) names.push_back(event.argv.front());
    std::ranges::sort(names);
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

void append_invocation_json(std::string& out, const InvocationEvent& event) {
    auto it = std::back_inserter(out);
    fmt::format_to(it, "{{\"sequence\":{},\"pid\":{},\"argv\":", event.sequence, event.pid);
    append_json_string_array(out, event.argv);
    out += ",\"trust\":";
    append_json_string(out, command_trust_name(event.trust));
    out += ",\"status\":";
    append_optional(out, event.status);
    out += ",\"cpu\":";
    append_optional(out, event.cpu);
    out += ",\"disk_delta\":";
    append_optional(out, event.disk_delta);
    if (event.unsupported_reason) {
        out += ",\"unsupported_reason\":";
        append_json_string(out, *event.unsupported_reason);
    }
    out.push_back('}');
}

void append_network_request_json(std::string& out, const NetworkRequest& request) {
    out += "{\"method\":";
    append_json_string(out, request.method);
    out += ",\"url\":";
    append_json_string(out, request.url);
    out += ",\"headers\":[";
    for (std::size_t i = 0; i < request.headers.size(); ++i) {
        if (i > 0) out.push_back(',');
        out.push_back('[');
        append_json_string(out, request.headers[i].first);
        out.push_back(',');
        append_json_string(out, request.headers[i].second);
        out.push_back(']');
    }
    fmt::format_to(std::back_inserter(out), "],\"dropped_headers\":{},\"body_bytes\":{},\"matched\":{}",
                   request.dropped_headers, request.body_bytes, request.matched ? "true" : "false");
    out += ",\"response_status\":";
    append_optional(out, request.response_status);
    out.push_back('}');
}

std::string RunMetadata::to_json() const {
    std::string out = "{\"outcome\":";
    out += outcome_json(outcome);
    auto it = std::back_inserter(out);
    out += ",\"unsupported\":";
    append_json_string_array(out, unsupported);
    fmt::format_to(it, ",\"dropped_unsupported\":{},\"commands\":", dropped_unsupported);
    append_json_string_array(out, commands);
    fmt::format_to(it, ",\"dropped_commands\":{},\"unsupported_commands\":", dropped_commands);
    append_json_string_array(out, unsupported_commands);
    out += ",\"partial_commands\":";
    append_json_string_array(out, partial_commands);
    out += ",\"invocations\":[";
    for (std::size_t i = 0; i < invocations.size(); ++i) {
        if (i > 0) out.push_back(',');
        append_invocation_json(out, invocations[i]);
    }
    fmt::format_to(it, "],\"dropped_invocations\":{},\"network_requests\":[", dropped_invocations);
    for (std::size_t i = 0; i < network_requests.size(); ++i) {
        if (i > 0) out.push_back(',');
        append_network_request_json(out, network_requests[i]);
    }
    fmt::format_to(it, "],\"dropped_network_requests\":{}}}", dropped_network_requests);
    return out;
}

}  // namespace tw
