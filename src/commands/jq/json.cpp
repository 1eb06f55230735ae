#include "commands/jq/json.h"

#include <fmt/format.h>

#include <cstring>

#include "base/json_text.h"
#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"

namespace tw {

// ---- values ----

JsonValue JsonValue::boolean(bool b) {
    JsonValue v;
    v.kind_ = b ? JsonKind::True : JsonKind::False;
    return v;
}

JsonValue JsonValue::number(std::string text) {
    JsonValue v;
    v.kind_ = JsonKind::Number;
    v.data_ = std::move(text);
    return v;
}

JsonValue JsonValue::string(std::string text) {
    JsonValue v;
    v.kind_ = JsonKind::String;
    v.data_ = std::move(text);
    return v;
}

JsonValue JsonValue::array(JsonArray items) {
    JsonValue v;
    v.kind_ = JsonKind::Array;
    v.data_ = std::make_shared<const JsonArrayData>(JsonArrayData{std::move(items), 0});
    return v;
}

JsonValue JsonValue::object(JsonObject members) {
    JsonValue v;
    v.kind_ = JsonKind::Object;
    v.data_ = std::make_shared<const JsonObject>(std::move(members));
    return v;
}

const JsonArray& JsonValue::items() const { return std::get<std::shared_ptr<const JsonArrayData>>(data_)->items; }

const JsonObject& JsonValue::members() const { return *std::get<std::shared_ptr<const JsonObject>>(data_); }

std::uint64_t& JsonValue::bound_cache() const {
    if (kind_ == JsonKind::Array) return std::get<std::shared_ptr<const JsonArrayData>>(data_)->bound;
    if (kind_ == JsonKind::Object) return std::get<std::shared_ptr<const JsonObject>>(data_)->bound;
    panic("bound_cache of a scalar JSON value");
}

// ---- objects ----

namespace {

constexpr std::size_t kIndexFrom = 16;  // objects with more members than this keep a hash index
constexpr std::size_t npos = static_cast<std::size_t>(-1);

std::size_t key_hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

}  // namespace

std::size_t JsonObject::find_index(std::string_view key) const {
    if (slots_.empty()) {
        for (std::size_t i = 0; i < members_.size(); ++i)
            if (members_[i].first == key) return i;
        return npos;
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = key_hash(key) & mask;; s = (s + 1) & mask) {
        const std::uint32_t slot = slots_[s];
        if (slot == 0) return npos;
        if (members_[slot - 1].first == key) return slot - 1;
    }
}

const JsonValue* JsonObject::find(std::string_view key) const {
    const std::size_t i = find_index(key);
    return i == npos ? nullptr : &members_[i].second;
}

void JsonObject::rebuild_index() {
    std::size_t capacity = 64;
    while (capacity < members_.size() * 2) capacity *= 2;
    slots_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        std::size_t s = key_hash(members_[i].first) & mask;
        while (slots_[s] != 0) s = (s + 1) & mask;
        slots_[s] = static_cast<std::uint32_t>(i + 1);
    }
}

void JsonObject::set(std::string key, JsonValue value) {
    const std::size_t i = find_index(key);
    if (i != npos) {
        members_[i].second = std::move(value);
        return;
    }
    members_.emplace_back(std::move(key), std::move(value));
    if (members_.size() <= kIndexFrom) return;
    if (slots_.empty() || members_.size() * 2 > slots_.size()) {
        rebuild_index();
        return;
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = key_hash(members_.back().first) & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = static_cast<std::uint32_t>(members_.size());
}

// ---- reader ----

std::string JsonReadError::text() const { return fmt::format("{} at line {} column {}", reason, line, column); }

namespace {

constexpr int kMaxDepth = 128;  // the 128th nested level fails
// Host bytes a value costs beyond its text, as charged while reading. Elements and members are
// gathered on scratch stacks and then moved into containers of their exact size, so each slot and
// each key is held twice for a while: a value slot is charged twice, a member twice its key.
constexpr std::uint64_t kValueCost = 2 * sizeof(JsonValue);
constexpr std::uint64_t kContainerCost = 96;  // the shared block and the container's own fields
constexpr std::uint64_t kMemberCost = 2 * sizeof(std::string);
constexpr std::uint64_t kChargeStep = 64 * 1024;

bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Reader {
public:
    Reader(std::string_view text, const JsonReadMeter* meter)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), meter_(meter) {}

    JsonReadFailure failure;

    bool at_end() {
        skip_ws();
        return p_ == end_;
    }

    // One value after optional white space.
    bool value(JsonValue& out) {
        skip_ws();
        if (p_ == end_) return fail_at("EOF while parsing a value", p_);
        switch (*p_) {
        case 'n': return ident("null", out, JsonValue());
        case 't': return ident("true", out, JsonValue::boolean(true));
        case 'f': return ident("false", out, JsonValue::boolean(false));
        case '"': {
            std::string s;
            if (!string(s)) return false;
            if (!account(kValueCost + s.size())) return false;
            out = JsonValue::string(std::move(s));
            return true;
        }
        case '[': return array(out);
        case '{': return object(out);
        default:
            if (*p_ == '-' || is_digit(*p_)) return number(out);
            return fail_at("expected value", p_);
        }
    }

    // After a value of a sequence that is not a string, array or object: what may follow it.
    bool scalar_end_ok() const {
        if (p_ == end_) return true;
        const char c = *p_;
        return is_ws(c) || c == '"' || c == ',' || c == ':' || c == '[' || c == ']' || c == '{' || c == '}';
    }

    bool fail_at(std::string_view reason, const char* at) {
        failure.stop = JsonReadStop::Error;
        failure.error.reason = reason;
        std::size_t line = 1;
        const char* line_start = begin_;
        for (const char* q = begin_; q < at; ++q)
            if (*q == '\n') {
                ++line;
                line_start = q + 1;
            }
        failure.error.line = line;
        failure.error.column = static_cast<std::size_t>(at - line_start) + (at < end_ ? 1 : 0);
        return false;
    }

    const char* pos() const { return p_; }

private:
    void skip_ws() {
        while (p_ != end_ && is_ws(*p_)) ++p_;
    }

    bool account(std::uint64_t bytes) {
        if (meter_ == nullptr) return true;
        used_ = sat_add(used_, bytes);
        if (used_ <= credit_) return true;
        const std::uint64_t step = std::max(used_ - credit_, kChargeStep);
        if (!meter_->charge_memory(step)) {
            failure.stop = JsonReadStop::Exhausted;
            return false;
        }
        credit_ = sat_add(credit_, step);
        return true;
    }

    bool ident(std::string_view word, JsonValue& out, JsonValue v) {
        for (char w : word) {
            if (p_ == end_) return fail_at("EOF while parsing a value", p_);
            if (*p_ != w) return fail_at("expected ident", p_);
            ++p_;
        }
        if (!account(kValueCost)) return false;
        out = std::move(v);
        return true;
    }

    bool number(JsonValue& out) {
        const char* start = p_;
        if (*p_ == '-') {
            ++p_;
            if (p_ == end_) return fail_at("EOF while parsing a value", p_);
        }
        if (!is_digit(*p_)) return fail_at("invalid number", p_);
        if (*p_ == '0') {
            ++p_;
            if (p_ != end_ && is_digit(*p_)) return fail_at("invalid number", p_);
        } else {
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (p_ == end_) return fail_at("EOF while parsing a value", p_);
            if (!is_digit(*p_)) return fail_at("invalid number", p_);
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_) return fail_at("EOF while parsing a value", p_);
            if (!is_digit(*p_)) return fail_at("invalid number", p_);
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        const auto len = static_cast<std::size_t>(p_ - start);
        if (!account(kValueCost + (len > 15 ? len : 0))) return false;
        out = JsonValue::number(std::string(start, len));
        return true;
    }

    bool hex4(std::uint32_t& n) {
        if (end_ - p_ < 4) {
            p_ = end_;
            return fail_at("EOF while parsing a string", p_);
        }
        n = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = hex_value(*p_);
            if (h < 0) return fail_at("invalid escape", p_);
            n = n * 16 + static_cast<std::uint32_t>(h);
            ++p_;
        }
        return true;
    }

    // A string literal at the opening quote; its decoded bytes into `s`.
    bool string(std::string& s) {
        ++p_;
        for (;;) {
            const char* run = p_;
            while (p_ != end_) {
                const auto c = static_cast<unsigned char>(*p_);
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++p_;
            }
            if (p_ != run) {
                const std::string_view piece(run, static_cast<std::size_t>(p_ - run));
                if (!utf8_valid(piece)) return invalid_utf8(piece, run);
                s.append(piece);
            }
            if (p_ == end_) return fail_at("EOF while parsing a string", p_);
            const char c = *p_;
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c != '\\') return fail_at("control character (\\u0000-\\u001F) found while parsing a string", p_);
            ++p_;
            if (p_ == end_) return fail_at("EOF while parsing a string", p_);
            const char e = *p_++;
            switch (e) {
            case '"': s += '"'; break;
            case '\\': s += '\\'; break;
            case '/': s += '/'; break;
            case 'b': s += '\b'; break;
            case 'f': s += '\f'; break;
            case 'n': s += '\n'; break;
            case 'r': s += '\r'; break;
            case 't': s += '\t'; break;
            case 'u': {
                std::uint32_t n = 0;
                if (!hex4(n)) return false;
                if (n >= 0xDC00 && n <= 0xDFFF) return fail_at("lone leading surrogate in hex escape", p_ - 1);
                if (n >= 0xD800 && n <= 0xDBFF) {
                    if (p_ == end_ || *p_ != '\\') {
                        if (p_ == end_) return fail_at("EOF while parsing a string", p_);
                        return fail_at("unexpected end of hex escape", p_);
                    }
                    ++p_;
                    if (p_ == end_) return fail_at("EOF while parsing a string", p_);
                    if (*p_ != 'u') return fail_at("unexpected end of hex escape", p_);
                    ++p_;
                    std::uint32_t n2 = 0;
                    if (!hex4(n2)) return false;
                    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail_at("lone leading surrogate in hex escape", p_ - 1);
                    n = (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
                }
                utf8_append(s, static_cast<char32_t>(n));
                break;
            }
            default: return fail_at("invalid escape", p_ - 1);
            }
        }
    }

    // Points the error at the first byte of `piece` that does not begin valid UTF-8.
    bool invalid_utf8(std::string_view piece, const char* run) {
        std::size_t ok = 0;
        while (ok < piece.size()) {
            std::size_t n = 1;
            const auto b = static_cast<unsigned char>(piece[ok]);
            if (b >= 0xF0) n = 4;
            else if (b >= 0xE0) n = 3;
            else if (b >= 0xC0) n = 2;
            if (ok + n > piece.size() || !utf8_valid(piece.substr(ok, n))) break;
            ok += n;
        }
        return fail_at("invalid unicode code point", run + ok);
    }

    bool enter(const char* at) {
        if (--depth_left_ == 0) return fail_at("recursion limit exceeded", at);
        return true;
    }

    // Elements and members are gathered on shared scratch stacks and moved into containers of
    // their exact size once complete.
    bool array(JsonValue& out) {
        if (!enter(p_)) return false;
        ++p_;
        const std::size_t base = value_stack_.size();
        skip_ws();
        if (p_ == end_) return fail_at("EOF while parsing a list", p_);
        if (*p_ != ']') {
            for (;;) {
                JsonValue v;  // nested containers grow the stacks while it is read
                if (!value(v)) return false;
                value_stack_.push_back(std::move(v));
                skip_ws();
                if (p_ == end_) return fail_at("EOF while parsing a list", p_);
                if (*p_ == ']') break;
                if (*p_ != ',') return fail_at("expected `,` or `]`", p_);
                ++p_;
                skip_ws();
                if (p_ == end_) return fail_at("EOF while parsing a value", p_);
                if (*p_ == ']') return fail_at("trailing comma", p_);
            }
        }
        ++p_;
        ++depth_left_;
        if (!account(kValueCost + kContainerCost)) return false;
        const auto first = value_stack_.begin() + static_cast<std::ptrdiff_t>(base);
        JsonArray items(std::make_move_iterator(first), std::make_move_iterator(value_stack_.end()));
        value_stack_.erase(first, value_stack_.end());
        out = JsonValue::array(std::move(items));
        return true;
    }

    bool object(JsonValue& out) {
        if (!enter(p_)) return false;
        ++p_;
        const std::size_t base = member_stack_.size();
        skip_ws();
        if (p_ == end_) return fail_at("EOF while parsing an object", p_);
        if (*p_ != '}') {
            for (;;) {
                if (*p_ != '"') return fail_at("key must be a string", p_);
                std::string key;
                if (!string(key)) return false;
                skip_ws();
                if (p_ == end_) return fail_at("EOF while parsing an object", p_);
                if (*p_ != ':') return fail_at("expected `:`", p_);
                ++p_;
                JsonValue v;
                if (!value(v)) return false;
                if (!account(kMemberCost + key.size())) return false;
                member_stack_.emplace_back(std::move(key), std::move(v));
                skip_ws();
                if (p_ == end_) return fail_at("EOF while parsing an object", p_);
                if (*p_ == '}') break;
                if (*p_ != ',') return fail_at("expected `,` or `}`", p_);
                ++p_;
                skip_ws();
                if (p_ == end_) return fail_at("EOF while parsing a value", p_);
                if (*p_ == '}') return fail_at("trailing comma", p_);
            }
        }
        ++p_;
        ++depth_left_;
        if (!account(kValueCost + kContainerCost)) return false;
        JsonObject members;
        members.reserve(member_stack_.size() - base);
        for (std::size_t i = base; i < member_stack_.size(); ++i)
            members.set(std::move(member_stack_[i].first), std::move(member_stack_[i].second));
        member_stack_.resize(base);
        out = JsonValue::object(std::move(members));
        return true;
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    const JsonReadMeter* meter_;
    std::uint64_t used_ = 0;
    std::uint64_t credit_ = 0;
    int depth_left_ = kMaxDepth;
    std::vector<JsonValue> value_stack_;
    std::vector<JsonObject::Member> member_stack_;
};

}  // namespace

Result<void, JsonReadFailure> json_read_sequence(std::string_view text, std::vector<JsonValue>& out,
                                                 const JsonReadMeter* meter) {
    Reader r(text, meter);
    while (!r.at_end()) {
        JsonValue v;
        if (!r.value(v)) return std::unexpected(std::move(r.failure));
        const bool scalar = !v.is_string() && !v.is_array() && !v.is_object();
        out.push_back(std::move(v));
        if (scalar && !r.scalar_end_ok()) {
            r.fail_at("trailing characters", r.pos());
            return std::unexpected(std::move(r.failure));
        }
    }
    return {};
}

Result<JsonValue, JsonReadError> json_read_one(std::string_view text) {
    Reader r(text, nullptr);
    JsonValue v;
    if (!r.value(v)) return std::unexpected(std::move(r.failure.error));
    if (!r.at_end()) {
        r.fail_at("trailing characters", r.pos());
        return std::unexpected(std::move(r.failure.error));
    }
    return v;
}

// ---- writer ----

void json_write_string(std::string& out, std::string_view text) { append_json_quoted(out, text); }

namespace {

void newline_indent(std::string& out, unsigned indent, std::size_t level) {
    out += '\n';
    out.append(indent * level, ' ');
}

void write_value(std::string& out, const JsonValue& v, unsigned indent, std::size_t level) {
    switch (v.kind()) {
    case JsonKind::Null: out += "null"; return;
    case JsonKind::False: out += "false"; return;
    case JsonKind::True: out += "true"; return;
    case JsonKind::Number: out += v.text(); return;
    case JsonKind::String: json_write_string(out, v.text()); return;
    case JsonKind::Array: {
        const JsonArray& items = v.items();
        if (items.empty()) {
            out += "[]";
            return;
        }
        out += '[';
        bool first = true;
        for (const JsonValue& item : items) {
            if (!first) out += ',';
            first = false;
            if (indent != 0) newline_indent(out, indent, level + 1);
            write_value(out, item, indent, level + 1);
        }
        if (indent != 0) newline_indent(out, indent, level);
        out += ']';
        return;
    }
    case JsonKind::Object: {
        const JsonObject& members = v.members();
        if (members.empty()) {
            out += "{}";
            return;
        }
        out += '{';
        bool first = true;
        for (const auto& [key, value] : members) {
            if (!first) out += ',';
            first = false;
            if (indent != 0) newline_indent(out, indent, level + 1);
            json_write_string(out, key);
            out += indent != 0 ? ": " : ":";
            write_value(out, value, indent, level + 1);
        }
        if (indent != 0) newline_indent(out, indent, level);
        out += '}';
        return;
    }
    }
}

}  // namespace

void json_write(std::string& out, const JsonValue& value, unsigned indent) { write_value(out, value, indent, 0); }

}  // namespace tw
