// The run metadata that a host run returns beside its output bytes: the outcome block, the labels
// and commands seen during the run, its invocations and network requests, each list with the
// count of entries lost during the run.
//
// A run's share of the machine's long-lived logs is cut out with markers: the counters noted
// before the run (RunMarkers::note) are compared with those after it (RunMetadata::build).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness/action.h"
#include "kernel/invocation_log.h"
#include "kernel/net.h"

namespace tw {

struct Machine;

// Where the machine's logs stood when a run began.
struct RunMarkers {
    std::uint64_t commands_len = 0;
    std::uint64_t commands_dropped = 0;
    std::uint64_t unsupported_len = 0;
    std::uint64_t unsupported_dropped = 0;
    std::uint64_t invocation_next = 0;  // the invocation log's next sequence number
    std::uint64_t invocations_dropped = 0;
    std::uint64_t network_len = 0;
    std::uint64_t network_dropped = 0;

    static RunMarkers note(const Machine& machine);
    friend bool operator==(const RunMarkers&, const RunMarkers&) = default;
};

struct RunMetadata {
    RunOutcome outcome;
    std::vector<std::string> unsupported;
    std::uint64_t dropped_unsupported = 0;
    std::vector<std::string> commands;
    std::uint64_t dropped_commands = 0;
    // Names (argv[0]) of the run's invocations by trust, sorted by bytes, without duplicates.
    std::vector<std::string> unsupported_commands;
    std::vector<std::string> partial_commands;
    std::vector<InvocationEvent> invocations;  // oldest first
    std::uint64_t dropped_invocations = 0;
    std::vector<NetworkRequest> network_requests;
    std::uint64_t dropped_network_requests = 0;

    // The run's share of the machine's logs since `markers`, with `outcome`.
    static RunMetadata build(const Machine& machine, RunOutcome outcome, const RunMarkers& markers);

    // The compact JSON text: {"outcome":{...},"unsupported":[...],"dropped_unsupported":N,
    // "commands":[...],"dropped_commands":N,"unsupported_commands":[...],"partial_commands":[...],
    // "invocations":[...],"dropped_invocations":N,"network_requests":[...],
    // "dropped_network_requests":N}.
    std::string to_json() const;
};

// The sorted, distinct names (argv[0]) of the invocations with the given trust.
std::vector<std::string> invocation_names_with_trust(const std::vector<InvocationEvent>& events, CommandTrust trust);

// One invocation as a JSON object: sequence, pid, argv, trust, status, cpu, disk_delta (null
// until the command ends) and, only when there is one, unsupported_reason.
void append_invocation_json(std::string& out, const InvocationEvent& event);
// One network-log entry as a JSON object; headers are [name, value] arrays, a missing response
// status is null.
void append_network_request_json(std::string& out, const NetworkRequest& request);
// A JSON array of strings.
void append_json_string_array(std::string& out, const std::vector<std::string>& texts);

}  // namespace tw
