// The JSON text of container replies, written directly in member order: no whitespace, integers
// exact, byte payloads as standard base64, absent optional values omitted or null as each record
// has them.
#include <iterator>

#include <fmt/format.h>

#include "commands/net/http_client.h"
#include "harness/container.h"

namespace tw {
namespace {

class Writer {
public:
    std::string out;

    void raw(std::string_view text) { out += text; }
    template <typename... Args>
    void format(fmt::format_string<Args...> text, Args&&... args) {
        fmt::format_to(std::back_inserter(out), text, std::forward<Args>(args)...);
    }
    void string(std::string_view text) { append_json_string(out, text); }
    void key(std::string_view name) {
        out.push_back(',');
        out.push_back('"');
        out += name;
        out += "\":";
    }
    void base64(BytesView bytes) {
        out.push_back('"');
        out += base64_encode(bytes);
        out.push_back('"');
    }
    void strings(const std::vector<std::string>& texts) { append_json_string_array(out, texts); }

    void wait_reason(const WaitReason& reason) {
        switch (reason.kind()) {
            case WaitKind::ShellSession: format("{{\"kind\":\"shell_session\",\"pid\":{}}}", reason.pid()); break;
            case WaitKind::Timer: format("{{\"kind\":\"timer\",\"deadline_ns\":{}}}", reason.deadline_ns()); break;
            case WaitKind::InputReadable:
                format("{{\"kind\":\"input_readable\",\"description\":{}}}", reason.description());
                break;
            case WaitKind::PipeReadable: format("{{\"kind\":\"pipe_readable\",\"pipe\":{}}}", reason.pipe()); break;
            case WaitKind::PipeWritable: format("{{\"kind\":\"pipe_writable\",\"pipe\":{}}}", reason.pipe()); break;
            case WaitKind::FileLock: format("{{\"kind\":\"file_lock\",\"inode\":{}}}", reason.inode()); break;
            case WaitKind::HostHttp: format("{{\"kind\":\"host_http\",\"request_id\":{}}}", reason.request_id()); break;
            case WaitKind::Child: format("{{\"kind\":\"child\",\"pid\":{}}}", reason.pid()); break;
            case WaitKind::ChildActivity: format("{{\"kind\":\"child_activity\",\"pid\":{}}}", reason.pid()); break;
            case WaitKind::ChildDeadline:
                format("{{\"kind\":\"child_deadline\",\"pid\":{},\"deadline_ns\":{}}}", reason.pid(), reason.deadline_ns());
                break;
            case WaitKind::ChildActivityDeadline:
                format("{{\"kind\":\"child_activity_deadline\",\"pid\":{},\"deadline_ns\":{}}}", reason.pid(),
                       reason.deadline_ns());
                break;
            case WaitKind::Any: {
                raw("{\"kind\":\"any\",\"reasons\":[");
                bool first = true;
                for (const WaitReason& inner : reason.reasons()) {
                    if (!first) out.push_back(',');
                    first = false;
                    wait_reason(inner);
                }
                raw("]}");
                break;
            }
        }
    }

    void action_state(const ActionState& state) {
        switch (state.kind) {
            case ActionState::Kind::Running: raw("{\"state\":\"running\"}"); break;
            case ActionState::Kind::Blocked:
                raw("{\"state\":\"blocked\",\"reason\":");
                if (state.reason) wait_reason(*state.reason);
                else raw("null");
                raw("}");
                break;
            case ActionState::Kind::Stopped:
                raw("{\"state\":\"stopped\",\"signal\":");
                string(state.signal);
                raw("}");
                break;
            case ActionState::Kind::Complete: format("{{\"state\":\"complete\",\"status\":{}}}", state.status); break;
        }
    }

    void invocations(const std::vector<InvocationEvent>& events) {
        out.push_back('[');
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (i > 0) out.push_back(',');
            append_invocation_json(out, events[i]);
        }
        out.push_back(']');
    }

    void network(const std::vector<NetworkRequest>& requests) {
        out.push_back('[');
        for (std::size_t i = 0; i < requests.size(); ++i) {
            if (i > 0) out.push_back(',');
            append_network_request_json(out, requests[i]);
        }
        out.push_back(']');
    }

    // The six lists in the order of an action view.
    void lists(const ActionLists& l) {
        key("invocations");
        invocations(l.invocations);
        key("dropped_invocations");
        format("{}", l.dropped_invocations);
        key("commands");
        strings(l.commands);
        key("dropped_commands");
        format("{}", l.dropped_commands);
        key("unsupported");
        strings(l.unsupported);
        key("dropped_unsupported");
        format("{}", l.dropped_unsupported);
        key("network_requests");
        network(l.network_requests);
        key("dropped_network_requests");
        format("{}", l.dropped_network_requests);
    }

    // The members of an action view after an opening tag (or none).
    void action_view_members(const ActionView& v) {
        format("\"action_id\":{},\"root_pid\":{},\"display_generation\":{}", v.action_id, v.root_pid,
               v.display_generation);
        key("state");
        action_state(v.state);
        if (v.outcome) {
            key("outcome");
            raw(outcome_json(*v.outcome));
        }
        lists(v.lists);
        key("tool_calls");
        out.push_back('[');
        for (std::size_t i = 0; i < v.tool_calls.size(); ++i) {
            if (i > 0) out.push_back(',');
            format("{{\"request_id\":{},\"tool\":", v.tool_calls[i].request_id);
            string(v.tool_calls[i].tool);
            raw(",\"arguments\":");
            raw(v.tool_calls[i].arguments_json);
            out.push_back('}');
        }
        out.push_back(']');
    }

    void workspace_node(const VfsNode& node) {
        format("{{\"type\":\"{}\",\"mode\":{}", vfs_node_kind_name(node.kind()), node.mode);
        if (const Bytes* data = node.data()) {
            key("data_base64");
            base64(*data);
        } else if (const std::string* target = node.link_target()) {
            key("target");
            string(*target);
        } else if (const NativeProgram* program = node.program()) {
            key("program");
            string(program->name());
        }
        out.push_back('}');
    }

    void process(const ProcessView& p) {
        format("{{\"pid\":{},\"ppid\":{},\"process_group\":{},\"session_id\":{},\"command\":", p.pid, p.ppid,
               p.process_group, p.session_id);
        string(p.command);
        key("cwd");
        string(p.cwd);
        key("status");
        switch (p.status) {
            case ProcessView::Status::Runnable: raw("{\"state\":\"runnable\"}"); break;
            case ProcessView::Status::Running: raw("{\"state\":\"running\"}"); break;
            case ProcessView::Status::Blocked:
                raw("{\"state\":\"blocked\",\"reason\":");
                wait_reason(*p.reason);
                raw("}");
                break;
            case ProcessView::Status::Stopped:
                raw("{\"state\":\"stopped\",\"signal\":");
                string(p.signal);
                raw("}");
                break;
            case ProcessView::Status::Exited: format("{{\"state\":\"exited\",\"status\":{}}}", p.exit_status); break;
        }
        out.push_back('}');
    }

    void operator()(const ExecuteResult& r) {
        raw("{\"kind\":\"execute\",\"outcome\":");
        raw(outcome_json(r.outcome));
        key("stdout_base64");
        base64(r.out);
        key("stderr_base64");
        base64(r.err);
        key("commands");
        strings(r.lists.commands);
        key("dropped_commands");
        format("{}", r.lists.dropped_commands);
        key("unsupported");
        strings(r.lists.unsupported);
        key("dropped_unsupported");
        format("{}", r.lists.dropped_unsupported);
        key("unsupported_commands");
        strings(r.unsupported_commands);
        key("partial_commands");
        strings(r.partial_commands);
        key("invocations");
        invocations(r.lists.invocations);
        key("dropped_invocations");
        format("{}", r.lists.dropped_invocations);
        key("network_requests");
        network(r.lists.network_requests);
        key("dropped_network_requests");
        format("{}", r.lists.dropped_network_requests);
        out.push_back('}');
    }
    void operator()(const ActionView& v) {
        raw("{\"kind\":\"action\",");
        action_view_members(v);
        out.push_back('}');
    }
    void operator()(const ActionOutput& o) {
        format("{{\"kind\":\"action_output\",\"action_id\":{}", o.action_id);
        key("stdout_base64");
        base64(o.out);
        key("stderr_base64");
        base64(o.err);
        format(",\"stdout_closed\":{},\"stderr_closed\":{}}}", o.out_closed, o.err_closed);
    }
    void operator()(const SessionResult& s) { format("{{\"kind\":\"session\",\"session_id\":{}}}", s.session_id); }
    void operator()(const FileResult& f) {
        raw("{\"kind\":\"file\",\"path\":");
        string(f.path);
        key("data_base64");
        base64(f.data);
        format(",\"mode\":{}}}", f.mode);
    }
    void operator()(const PathMetadata& m) {
        raw("{\"kind\":\"path_metadata\",\"path\":");
        string(m.path);
        format(",\"node_type\":\"{}\",\"mode\":{},\"uid\":{},\"gid\":{},\"mtime_ms\":{},\"size\":{}",
               vfs_node_kind_name(m.kind), m.mode, m.uid, m.gid, m.mtime_ms, m.size);
        if (m.symlink_target) {
            key("symlink_target");
            string(*m.symlink_target);
        }
        out.push_back('}');
    }
    void operator()(const PathsResult& p) {
        raw("{\"kind\":\"paths\",\"paths\":");
        strings(p.paths);
        out.push_back('}');
    }
    void operator()(const WorkspaceDiffResult& d) {
        raw("{\"kind\":\"workspace_diff\",\"changes\":[");
        for (std::size_t i = 0; i < d.changes.size(); ++i) {
            const WorkspaceChange& c = d.changes[i];
            if (i > 0) out.push_back(',');
            raw("{\"path\":");
            string(c.path);
            key("change");
            raw(c.change == WorkspaceChange::Kind::Added     ? "\"added\""
                : c.change == WorkspaceChange::Kind::Deleted ? "\"deleted\""
                                                             : "\"modified\"");
            if (c.before) {
                key("before");
                workspace_node(*c.before);
            }
            if (c.after) {
                key("after");
                workspace_node(*c.after);
            }
            out.push_back('}');
        }
        raw("]}");
    }
    void operator()(const InspectResult& r) {
        raw("{\"kind\":\"inspect\",\"cwd\":");
        string(r.cwd);
        key("outcome");
        raw(outcome_json(r.outcome));
        key("actions");
        out.push_back('[');
        for (std::size_t i = 0; i < r.actions.size(); ++i) {
            if (i > 0) out.push_back(',');
            out.push_back('{');
            action_view_members(r.actions[i]);
            out.push_back('}');
        }
        out.push_back(']');
        key("processes");
        out.push_back('[');
        for (std::size_t i = 0; i < r.processes.size(); ++i) {
            if (i > 0) out.push_back(',');
            process(r.processes[i]);
        }
        out.push_back(']');
        key("current_pid");
        if (r.current_pid) format("{}", *r.current_pid);
        else raw("null");
        format(",\"terminal\":{{\"session_id\":{},\"foreground_process_group\":{}}}", r.terminal_session,
               r.terminal_foreground_group);
        format(",\"monotonic_ns\":{},\"wall_time_ns\":", r.monotonic_ns);
        wide(r.wall_time_ns);
        format(",\"pending_events\":{},\"ready_events\":{}", r.pending_events, r.ready_events);
        lists(r.lists);
        out.push_back('}');
    }
    void operator()(const Acknowledged&) { raw("{\"kind\":\"acknowledged\"}"); }

    // A signed 128-bit integer, exactly.
    void wide(__int128 value) {
        if (value < 0) out.push_back('-');
        unsigned __int128 magnitude = value < 0 ? -static_cast<unsigned __int128>(value) : static_cast<unsigned __int128>(value);
        char digits[40];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
            magnitude /= 10;
        } while (magnitude != 0);
        while (n > 0) out.push_back(digits[--n]);
    }
};

int symbol_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string harness_result_json(const HarnessResult& result) {
    Writer writer;
    std::visit(writer, result);
    return std::move(writer.out);
}

Result<Bytes, std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::unexpected(fmt::format("Invalid input length: {}", text.size()));
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t q = 0; q < text.size(); q += 4) {
        const bool last_quad = q + 4 == text.size();
        int values[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[q + k]);
            if (c == '=') {
                // Padding stands only in the last two places of the last group.
                if (!last_quad || k < 2) return std::unexpected(fmt::format("Invalid symbol {}, offset {}.", c, q + k));
                ++padding;
                values[k] = 0;
                continue;
            }
            // A symbol after padding: the padding was not at the end.
            if (padding > 0)
                return std::unexpected(fmt::format("Invalid symbol {}, offset {}.", int('='), q + k - padding));
            values[k] = symbol_value(c);
            if (values[k] < 0) return std::unexpected(fmt::format("Invalid symbol {}, offset {}.", c, q + k));
        }
        const std::uint32_t v = (std::uint32_t(values[0]) << 18) | (std::uint32_t(values[1]) << 12) |
                                (std::uint32_t(values[2]) << 6) | std::uint32_t(values[3]);
        // The bits after the last whole byte must be zero.
        const std::size_t last = q + 3 - static_cast<std::size_t>(padding);
        if ((padding == 1 && (v & 0xff) != 0) || (padding == 2 && (v & 0xffff) != 0))
            return std::unexpected(
                fmt::format("Invalid last symbol {}, offset {}.", static_cast<unsigned char>(text[last]), last));
        out.push_back(static_cast<char>((v >> 16) & 0xff));
        if (padding < 2) out.push_back(static_cast<char>((v >> 8) & 0xff));
        if (padding < 1) out.push_back(static_cast<char>(v & 0xff));
    }
    return out;
}

}  // namespace tw
