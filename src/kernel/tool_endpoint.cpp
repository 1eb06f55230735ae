#include "kernel/tool_endpoint.h"

#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "base/utf8.h"
#include "kernel/machine.h"

namespace tw {
namespace {

constexpr std::uint64_t kU64Max = ~std::uint64_t{0};

// ---- a small JSON reader that keeps member order and number digits ----

struct JsonMember;

struct JsonNode {
    enum class Kind : std::uint8_t { Null, False, True, Number, String, Array, Object };
    Kind kind = Kind::Null;
    std::string text;  // Number: the digits as written; String: the decoded text
    std::vector<JsonNode> items;
    // Object members in the order written, repeats included; writing merges repeats.
    std::vector<JsonMember> members;
};

// One object member: its name, then its value (a pair would need JsonNode complete above).
struct JsonMember {
    std::string first;
    JsonNode second;
};

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    // The whole text as one value with nothing but whitespace around it.
    Result<JsonNode, std::string> read_document() {
        if (!utf8_valid(text_)) return std::unexpected(std::string("invalid UTF-8 in JSON text"));
        skip_space();
        JsonNode node;
        if (!value(node, 1)) return std::unexpected(std::move(error_));
        skip_space();
        if (pos_ != text_.size()) return std::unexpected(fmt::format("trailing characters at byte {}", pos_));
        return node;
    }

private:
    bool fail(std::string message) {
        if (error_.empty()) error_ = std::move(message);
        return false;
    }
    bool fail_here(std::string_view what) { return fail(fmt::format("{} at byte {}", what, pos_)); }

    void skip_space() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return fail_here("invalid literal");
        pos_ += word.size();
        return true;
    }

    bool value(JsonNode& out, std::size_t depth) {
        if (pos_ >= text_.size()) return fail_here("unexpected end of JSON text");
        const char c = text_[pos_];
        switch (c) {
        case '{':
        case '[':
            if (depth > kMaxJsonDepth) return fail_here("JSON nesting exceeds 128 levels");
            return c == '{' ? object(out, depth) : array(out, depth);
        case '"': out.kind = JsonNode::Kind::String; return string(out.text);
        case 't': out.kind = JsonNode::Kind::True; return literal("true");
        case 'f': out.kind = JsonNode::Kind::False; return literal("false");
        case 'n': out.kind = JsonNode::Kind::Null; return literal("null");
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                out.kind = JsonNode::Kind::Number;
                return number(out.text);
            }
            return fail_here("expected a JSON value");
        }
    }

    bool digits() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }

    bool number(std::string& out) {
        const std::size_t start = pos_;
        if (text_[pos_] == '-') ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '0') ++pos_;
        else if (!digits()) return fail_here("invalid number");
        if (pos_ < text_.size() && text_[pos_] == '.') {
            ++pos_;
            if (!digits()) return fail_here("invalid number");
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (!digits()) return fail_here("invalid number");
        }
        out.assign(text_.substr(start, pos_ - start));
        return true;
    }

    bool hex4(std::uint32_t& out) {
        if (text_.size() - pos_ < 4) return fail_here("invalid \\u escape");
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[pos_++];
            out <<= 4;
            if (h >= '0' && h <= '9') out |= static_cast<std::uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f') out |= static_cast<std::uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') out |= static_cast<std::uint32_t>(h - 'A' + 10);
            else return fail_here("invalid \\u escape");
        }
        return true;
    }

    static void append_utf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool string(std::string& out) {
        ++pos_;  // the opening quotation mark
        while (true) {
            if (pos_ >= text_.size()) return fail_here("unterminated string");
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return fail_here("control character in string");
            if (c != '\\') {
                out += c;
                ++pos_;
                continue;
            }
            if (++pos_ >= text_.size()) return fail_here("unterminated string");
            const char e = text_[pos_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                std::uint32_t cp = 0;
                if (!hex4(cp)) return false;
                if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_here("lone surrogate in string");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    std::uint32_t low = 0;
                    if (text_.substr(pos_, 2) != "\\u") return fail_here("lone surrogate in string");
                    pos_ += 2;
                    if (!hex4(low)) return false;
                    if (low < 0xDC00 || low > 0xDFFF) return fail_here("lone surrogate in string");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                append_utf8(out, cp);
                break;
            }
            default: --pos_; return fail_here("invalid escape");
            }
        }
    }

    bool array(JsonNode& out, std::size_t depth) {
        out.kind = JsonNode::Kind::Array;
        ++pos_;
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return true;
        }
        while (true) {
            skip_space();
            out.items.emplace_back();
            if (!value(out.items.back(), depth + 1)) return false;
            skip_space();
            if (pos_ >= text_.size()) return fail_here("unterminated array");
            if (text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (text_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return fail_here("expected ',' or ']'");
        }
    }

    bool object(JsonNode& out, std::size_t depth) {
        out.kind = JsonNode::Kind::Object;
        ++pos_;
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return true;
        }
        while (true) {
            skip_space();
            if (pos_ >= text_.size() || text_[pos_] != '"') return fail_here("expected a member name");
            JsonMember member;
            if (!string(member.first)) return false;
            skip_space();
            if (pos_ >= text_.size() || text_[pos_] != ':') return fail_here("expected ':'");
            ++pos_;
            skip_space();
            if (!value(member.second, depth + 1)) return false;
            out.members.push_back(std::move(member));
            skip_space();
            if (pos_ >= text_.size()) return fail_here("unterminated object");
            if (text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (text_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return fail_here("expected ',' or '}'");
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string error_;
};

void write_json(std::string& out, const JsonNode& node) {
    switch (node.kind) {
    case JsonNode::Kind::Null: out += "null"; return;
    case JsonNode::Kind::False: out += "false"; return;
    case JsonNode::Kind::True: out += "true"; return;
    case JsonNode::Kind::Number: out += node.text; return;
    case JsonNode::Kind::String: append_json_text(out, node.text); return;
    case JsonNode::Kind::Array: {
        out += '[';
        for (std::size_t i = 0; i < node.items.size(); ++i) {
            if (i > 0) out += ',';
            write_json(out, node.items[i]);
        }
        out += ']';
        return;
    }
    case JsonNode::Kind::Object: {
        // A repeated key keeps the position of its first occurrence and the value of its last.
        std::unordered_map<std::string_view, std::size_t> last;
        std::vector<std::size_t> order;
        order.reserve(node.members.size());
        for (std::size_t i = 0; i < node.members.size(); ++i) {
            auto [it, fresh] = last.try_emplace(node.members[i].first, i);
            if (fresh) order.push_back(i);
            else it->second = i;
        }
        out += '{';
        bool first = true;
        for (std::size_t i : order) {
            if (!first) out += ',';
            first = false;
            const std::string& key = node.members[i].first;
            append_json_text(out, key);
            out += ':';
            write_json(out, node.members[last.at(key)].second);
        }
        out += '}';
        return;
    }
    }
}

std::string render(const JsonNode& node) {
    std::string out;
    write_json(out, node);
    return out;
}

std::uint64_t header_bytes(const HttpHeaders& headers) {
    std::uint64_t total = 0;
    for (const auto& [name, value] : headers) {
        if (__builtin_add_overflow(total, name.size(), &total) || __builtin_add_overflow(total, value.size(), &total))
            return kU64Max;
    }
    return total;
}

}  // namespace

void append_json_text(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
            else out += c;
        }
    }
    out += '"';
}

Result<std::string, std::string> compact_json(std::string_view text) {
    auto node = JsonReader(text).read_document();
    if (!node) return std::unexpected(std::move(node.error()));
    return render(*node);
}

Result<std::string, std::string> compact_json_object(std::string_view text, std::string_view not_object) {
    auto node = JsonReader(text).read_document();
    if (!node) return std::unexpected(std::move(node.error()));
    if (node->kind != JsonNode::Kind::Object) return std::unexpected(std::string(not_object));
    return render(*node);
}

Result<ToolCall, std::string> parse_tool_call(std::string_view body) {
    const auto refuse = [] { return std::unexpected(std::string(kToolCallFormMessage)); };
    auto node = JsonReader(body).read_document();
    if (!node) return refuse();
    const JsonNode* tool = nullptr;
    const JsonNode* arguments = nullptr;
    if (node->kind == JsonNode::Kind::Array) {
        if (node->items.size() != 2) return refuse();
        tool = &node->items[0];
        arguments = &node->items[1];
    } else if (node->kind == JsonNode::Kind::Object) {
        for (const auto& [name, value] : node->members) {
            const JsonNode** slot = name == "tool" ? &tool : name == "arguments" ? &arguments : nullptr;
            if (slot == nullptr || *slot != nullptr) return refuse();  // another member, or a repeat
            *slot = &value;
        }
        if (tool == nullptr || arguments == nullptr) return refuse();
    } else {
        return refuse();
    }
    if (tool->kind != JsonNode::Kind::String || arguments->kind != JsonNode::Kind::Object) return refuse();
    return ToolCall{tool->text, render(*arguments)};
}

// ---- the endpoint, inside the broker ----

Result<HttpReply, HttpFetchError> HttpBroker::answer_at_tool_endpoint(const HttpRequest& request, Pid caller) {
    using E = HttpFetchError;
    if (request.method != "POST") {
        log_request(request, true, 405);
        return HttpResponse{.headers = {{"Allow", "POST"}}, .body = {}, .status = 405};
    }
    if (request.body.size() > kMaxHostRequestBodyBytes) return std::unexpected(E::message("host request body exceeds 1 MiB"));
    auto call = parse_tool_call(request.body);
    if (!call) return std::unexpected(E::message(std::move(call.error())));
    if (call->tool.empty() || call->tool.size() > kMaxToolNameBytes)
        return std::unexpected(E::message("host tool name is empty or too long"));
    if (request.headers.size() > HttpRoute::kMaxHeaders || header_bytes(request.headers) > HttpRoute::kMaxHeaderBytes)
        return std::unexpected(E::message("host request headers exceed their limit"));

    if (auto it = pending_host_requests_.find(caller); it != pending_host_requests_.end()) {
        HostToolRequest& entry = it->second;
        if (entry.request != request)
            return std::unexpected(E::message("a different host request is already pending for this process"));
        if (!entry.response) return HttpPending{entry.request_id};
        HttpResponse response = std::move(*entry.response);
        pending_host_requests_.erase(it);
        return response;
    }
    if (pending_host_requests_.size() >= kMaxPendingHostRequests)
        return std::unexpected(E::message("host request limit reached"));
    if (next_request_id_ == kU64Max) return std::unexpected(E::message("host request identifier space exhausted"));
    const std::uint64_t id = next_request_id_++;
    HostToolRequest entry;
    entry.request_id = id;
    entry.request = request;
    entry.call = std::move(*call);
    entry.log_index = log_request(request, true, std::nullopt);
    pending_host_requests_.emplace(caller, std::move(entry));
    return HttpPending{id};
}

std::vector<ToolCallView> HttpBroker::report_tool_calls() {
    std::vector<ToolCallView> views;
    for (auto& [pid, entry] : pending_host_requests_) {
        if (entry.reported) continue;
        entry.reported = true;
        views.push_back({entry.request_id, entry.call.tool, entry.call.arguments_json});
    }
    return views;
}

bool HttpBroker::has_waiting_host_request() const {
    for (const auto& [pid, entry] : pending_host_requests_)
        if (!entry.response) return true;
    return false;
}

bool HttpBroker::has_answered_host_request() const {
    for (const auto& [pid, entry] : pending_host_requests_)
        if (entry.response) return true;
    return false;
}

Result<void, std::string> HttpBroker::complete_host_request(std::uint64_t request_id, HttpResponse response) {
    for (auto& [pid, entry] : pending_host_requests_) {
        if (entry.request_id != request_id) continue;
        if (!entry.reported || entry.response)
            return std::unexpected(fmt::format("host request {} cannot be completed", request_id));
        if (entry.log_index && *entry.log_index < network_log_.size())
            network_log_[*entry.log_index].response_status = response.status;
        entry.response = std::move(response);
        return {};
    }
    return std::unexpected(fmt::format("host request {} does not exist", request_id));
}

std::size_t HttpBroker::purge_host_requests(const std::function<bool(Pid)>& keep) {
    return std::erase_if(pending_host_requests_, [&](const auto& item) { return !keep(item.first); });
}

// ---- the host's side, on the whole machine ----

Result<HttpResponse, std::string> tool_response(std::optional<std::string_view> result_json,
                                                std::optional<std::string_view> error) {
    constexpr std::string_view kOneOf = "supply one object result or one error";
    std::string body;
    if (error && !result_json) {
        body = "{\"error\":";
        append_json_text(body, *error);
        body += '}';
    } else if (result_json && !error) {
        auto result = compact_json_object(*result_json, kOneOf);
        if (!result) return std::unexpected(std::move(result.error()));
        body = fmt::format("{{\"result\":{}}}", *result);
    } else {
        return std::unexpected(std::string(kOneOf));
    }
    if (body.size() > kMaxHostResponseBodyBytes) body = R"({"error":"tool response too large"})";
    return HttpResponse{.headers = {{"Content-Type", "application/json"}}, .body = std::move(body), .status = 200};
}

Result<void, std::string> respond_tool_call(Machine& machine, std::uint64_t request_id,
                                            std::optional<std::string_view> result_json,
                                            std::optional<std::string_view> error) {
    auto response = tool_response(result_json, error);
    if (!response) return std::unexpected(std::move(response.error()));
    HttpRoute as_route{.pattern = std::string(kToolEndpointUrl),
                       .method = "POST",
                       .status = response->status,
                       .headers = response->headers,
                       .body = response->body};
    if (auto checked = HttpRoute::validate(as_route); !checked) return std::unexpected(error_text(checked.error()));
    if (response->body.size() > kMaxHostResponseBodyBytes)
        return std::unexpected(std::string("host response body exceeds 1 MiB"));
    if (auto stored = machine.broker.complete_host_request(request_id, std::move(*response)); !stored)
        return stored;
    machine.scheduler.wake_blocked(WaitReason::host_http(request_id));
    return {};
}

std::size_t purge_tool_requests(Machine& machine, Pid root, Pid first_pid) {
    const ProcessTable& table = machine.processes;
    return machine.broker.purge_host_requests([&](Pid pid) {
        const ProcessRecord* record = table.find(pid);
        if (record == nullptr || record->status == ProcessStatus::Exited) return false;
        // Walk up towards the root; pids only grow from parent to child, so the walk ends.
        for (Pid p = pid;;) {
            if (p == root) return true;
            if (p < first_pid) return false;
            const ProcessRecord* r = table.find(p);
            if (r == nullptr || r->ppid >= p) return false;
            p = r->ppid;
        }
    });
}

}  // namespace tw
