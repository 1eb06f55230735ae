// The bodies of the NativeEnvironment operations, run on the worker thread with the machine held
// exclusively: host runs on the default shell, persistent shell sessions, HTTP routes. Nothing
// here knows Python; the glue converts arguments and results around these calls.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/net.h"
#include "kernel/scheduler.h"

namespace tw {

struct Machine;

// What a host run hands back: the run metadata as JSON text and the two output streams.
struct HostRunResult {
    std::string metadata;
    Bytes out;
    Bytes err;
};

// The default shell is idle between actions: active, running, without a program installed.
bool default_shell_idle(const Machine& machine);

// One action of the default shell (or the active process), with its metadata.
HostRunResult host_run(Machine& machine, std::string_view source, BytesView input);

// Python source run by the `python` command of the default shell, as `python3.14 -c SOURCE
// ARGV...` given word for word (never through the shell parser), with its metadata.
HostRunResult host_run_python(Machine& machine, std::string_view source, std::span<const std::string> argv,
                              BytesView input);

// A new shell session: a child shell of the idle default shell, parked until run_shell_session
// selects it. Answers its pid, or "shell sessions can be created only from an idle default
// shell", the child creation's text, or "unable to park shell session {}: {}".
Result<Pid, std::string> create_shell_session(Machine& machine);

// One action in the session `pid` (the default shell's own pid runs as host_run). The session
// keeps its variables and directory between calls; a session whose shell exits is finished.
// Failures: "default shell is not idle", "shell session {} is not idle" and the texts of parking,
// waking and selecting the processes involved.
Result<HostRunResult, std::string> run_shell_session(Machine& machine, Pid pid, std::string_view source,
                                                     BytesView input);

// True once a budget is exhausted or the default shell has exited.
bool machine_terminated(const Machine& machine);

// Registers one static route in the machine's broker; the refusal's display text otherwise.
Result<void, std::string> register_http_route(Machine& machine, HttpRoute route);

}  // namespace tw
