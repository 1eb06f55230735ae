#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "base/sat.h"
#include "commands/jq/eval.h"
#include "commands/jq/value_ops.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

using Outputs = JqResult<JqOutputs>;

JqEvalError message_error(std::string text) { return JqEvalError::message(std::move(text)); }

// The first output of the one argument, evaluated on the input.
JqResult<JsonValue> argument_value(JqContext& c, std::span<const JqNode> arguments, const JsonValue& input,
                                   std::string_view label) {
    auto outputs = jq_eval(c, *arguments[0], input);
    if (!outputs) return std::unexpected(std::move(outputs.error()));
    return jq_first_value(std::move(*outputs), label);
}

JqOutputs one(JsonValue v) {
    JqOutputs out;
    out.push_back(std::move(v));
    return out;
}

Outputs length_of(JqContext& c, const JsonValue& input) {
    switch (input.kind()) {
    case JsonKind::Null: return jq_emit_one(c, JsonValue::number("0"));
    case JsonKind::False:
    case JsonKind::True:
        return std::unexpected(message_error(fmt::format("length is not defined for {}", jq_type_name(input))));
    case JsonKind::Number: {
        if (const auto i = jq_parse_integer(input.text())) {
            auto n = jq_integer_to_number(*i < 0 ? -*i : *i);
            if (!n) return std::unexpected(message_error(std::move(n.error())));
            return jq_emit_one(c, std::move(*n));
        }
        const auto f = jq_float_reading(input.text());
        if (!f) return std::unexpected(message_error("numeric absolute value overflow"));
        return jq_emit_one(c, JsonValue::number(jq_float_text(std::fabs(*f))));
    }
    case JsonKind::String: return jq_emit_one(c, JsonValue::number(std::to_string(utf8_char_count(input.text()))));
    case JsonKind::Array: return jq_emit_one(c, JsonValue::number(std::to_string(input.items().size())));
    case JsonKind::Object: return jq_emit_one(c, JsonValue::number(std::to_string(input.members().size())));
    }
    return JqOutputs{};
}

// Charges `values` new values holding `bytes` bytes of text before a builtin builds them.
bool charge_build(JqContext& c, std::uint64_t values, std::uint64_t bytes) {
    return c.sys.charge_cpu(sat_add(values, bytes)) &&
           c.sys.charge_memory(sat_add(sat_mul(values, sizeof(JsonValue)), bytes));
}

Outputs split_string(JqContext& c, const std::string& s, const std::string& sep) {
    JsonArray pieces;
    const auto piece = [&](std::size_t from, std::size_t to) {
        if (!charge_build(c, 1, to - from)) return false;
        pieces.push_back(JsonValue::string(s.substr(from, to - from)));
        return true;
    };
    const auto exhausted = [] { return std::unexpected(JqEvalError::exhausted()); };
    if (sep.empty()) {
        if (!piece(0, 0)) return exhausted();
        std::size_t pos = 0;
        while (pos < s.size()) {
            std::size_t next = pos + 1;
            while (next < s.size() && !utf8_char_start(s[next])) ++next;
            if (!piece(pos, next)) return exhausted();
            pos = next;
        }
        if (!piece(0, 0)) return exhausted();
        return one(JsonValue::array(std::move(pieces)));
    }
    std::size_t start = 0;
    for (;;) {
        // memmem finds the separator in time linear in both lengths.
        const void* found = memmem(s.data() + start, s.size() - start, sep.data(), sep.size());
        if (found == nullptr) break;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - s.data());
        if (!piece(start, at)) return exhausted();
        start = at + sep.size();
    }
    if (!piece(start, s.size())) return exhausted();
    return one(JsonValue::array(std::move(pieces)));
}

// Charges the comparisons of sorting n items: n times the bit length of n.
bool charge_sort(JqContext& c, std::size_t n) {
    return c.sys.charge_cpu(sat_mul(n, static_cast<std::uint64_t>(std::bit_width(n))));
}

Outputs sort_by(JqContext& c, std::span<const JqNode> arguments, const JsonValue& input) {
    if (arguments.empty()) return std::unexpected(message_error("sort_by requires an expression"));
    if (!input.is_array()) return std::unexpected(message_error("sort_by input must be an array"));
    const JsonArray& items = input.items();
    std::vector<JqOutputs> keys(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        for (const JqNode& argument : arguments) {
            auto outputs = jq_eval(c, *argument, items[i]);
            if (!outputs) return outputs;
            for (JsonValue& v : *outputs) keys[i].push_back(std::move(v));
        }
    }
    if (!charge_sort(c, items.size())) return std::unexpected(JqEvalError::exhausted());
    std::vector<std::size_t> order(items.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return jq_compare_lists(keys[a], keys[b]) < 0; });
    if (!charge_build(c, items.size(), 0)) return std::unexpected(JqEvalError::exhausted());
    JsonArray sorted;
    sorted.reserve(items.size());
    for (std::size_t i : order) sorted.push_back(items[i]);
    return one(JsonValue::array(std::move(sorted)));
}

Outputs keys_of(JqContext& c, const JsonValue& input, bool sorted) {
    JsonArray keys;
    if (input.is_array()) {
        if (!charge_build(c, input.items().size(), 0)) return std::unexpected(JqEvalError::exhausted());
        keys.reserve(input.items().size());
        for (std::size_t i = 0; i < input.items().size(); ++i) keys.push_back(JsonValue::number(std::to_string(i)));
    } else if (input.is_object()) {
        std::vector<std::string_view> names;
        names.reserve(input.members().size());
        for (const auto& member : input.members()) names.push_back(member.first);
        if (sorted) {
            if (!charge_sort(c, names.size())) return std::unexpected(JqEvalError::exhausted());
            std::sort(names.begin(), names.end());
        }
        std::uint64_t bytes = 0;
        for (std::string_view name : names) bytes = sat_add(bytes, name.size());
        if (!charge_build(c, names.size(), bytes)) return std::unexpected(JqEvalError::exhausted());
        keys.reserve(names.size());
        for (std::string_view name : names) keys.push_back(JsonValue::string(std::string(name)));
    } else {
        return std::unexpected(message_error("keys input must be array or object"));
    }
    return one(JsonValue::array(std::move(keys)));
}

bool has(const JsonValue& input, const JsonValue& b) {
    if (input.is_array() && b.is_number()) {
        const auto i = parse_decimal_u64(b.text());
        return i && *i < input.items().size();
    }
    if (input.is_object() && b.is_string()) return input.members().find(b.text()) != nullptr;
    return false;
}

Outputs to_entries(JqContext& c, const JsonValue& input) {
    if (!input.is_object()) return std::unexpected(message_error("to_entries input must be an object"));
    // Per member: the entry, its two members and their keys, and the object around them.
    constexpr std::uint64_t kEntryBytes = 2 * sizeof(JsonObject::Member) + sizeof(JsonObject) + 64;
    std::uint64_t bytes = 0;
    for (const auto& member : input.members()) bytes = sat_add(bytes, sat_add(member.first.size(), kEntryBytes));
    if (!charge_build(c, input.members().size(), bytes)) return std::unexpected(JqEvalError::exhausted());
    JsonArray entries;
    entries.reserve(input.members().size());
    for (const auto& [key, value] : input.members()) {
        JsonObject entry;
        entry.set("key", JsonValue::string(key));
        entry.set("value", value);
        entries.push_back(JsonValue::object(std::move(entry)));
    }
    return one(JsonValue::array(std::move(entries)));
}

// The work of one step of `add`: the sizes of the texts, arrays or objects it joins.
std::uint64_t add_work(const JsonValue& v) {
    if (v.is_string()) return v.text().size();
    if (v.is_array()) return v.items().size();
    if (v.is_object()) return v.members().size();
    return 0;
}

Outputs add_all(JqContext& c, const JsonValue& input) {
    if (!input.is_array()) return std::unexpected(message_error("add input must be an array"));
    JsonValue sum;
    for (const JsonValue& e : input.items()) {
        if (!c.sys.charge_cpu(sat_add(1, sat_add(add_work(sum), add_work(e)))))
            return std::unexpected(JqEvalError::exhausted());
        auto next = jq_add(sum, e);
        if (!next) return std::unexpected(message_error(std::move(next.error())));
        sum = std::move(*next);
    }
    return one(std::move(sum));
}

Outputs to_number(const JsonValue& input) {
    if (input.is_number()) return one(input);
    if (!input.is_string()) return std::unexpected(message_error("tonumber input must be a string or number"));
    auto v = json_read_one(input.text());
    if (!v || !v->is_number())
        return std::unexpected(message_error(fmt::format("cannot parse {} as number", jq_quoted(input.text()))));
    return one(std::move(*v));
}

}  // namespace

JqResult<void> jq_check_arity(std::string_view name, std::size_t got, std::size_t expected) {
    if (got == expected) return {};
    return std::unexpected(message_error(fmt::format("{} expects {} argument(s), got {}", name, expected, got)));
}

JqResult<JsonValue> jq_first_value(JqOutputs outputs, std::string_view label) {
    if (outputs.empty()) return std::unexpected(message_error(fmt::format("{} produced no value", label)));
    return std::move(outputs.front());
}

std::optional<bool> jq_contains(const JsonValue& a, const JsonValue& b, const JqWorkCharge& charge) {
    if (a.is_string() && b.is_string()) {
        const std::string& hay = a.text();
        const std::string& needle = b.text();
        if (!charge(sat_add(hay.size(), needle.size()))) return std::nullopt;
        // memmem finds a substring in time linear in both lengths.
        return needle.empty() || memmem(hay.data(), hay.size(), needle.data(), needle.size()) != nullptr;
    }
    if (a.is_array() && b.is_array()) {
        for (const JsonValue& needle : b.items()) {
            bool found = false;
            for (const JsonValue& e : a.items()) {
                if (!charge(1)) return std::nullopt;
                const auto inside = jq_contains(e, needle, charge);
                if (!inside) return std::nullopt;
                if (*inside) {
                    found = true;
                    break;
                }
            }
            if (!found) return false;
        }
        return true;
    }
    if (a.is_object() && b.is_object()) {
        for (const auto& [key, value] : b.members()) {
            if (!charge(1)) return std::nullopt;
            const JsonValue* mine = a.members().find(key);
            if (mine == nullptr) return false;
            const auto inside = jq_contains(*mine, value, charge);
            if (!inside || !*inside) return inside;
        }
        return true;
    }
    return jq_values_equal(a, b);
}

bool jq_contains(const JsonValue& a, const JsonValue& b) {
    return *jq_contains(a, b, [](std::uint64_t) { return true; });
}

JqResult<JqOutputs> jq_call_builtin(JqContext& c, const std::string& name, std::span<const JqNode> arguments,
                                    const JsonValue& input) {
    const std::size_t n = arguments.size();
    const auto arity = [&](std::size_t expected) { return jq_check_arity(name, n, expected); };
    if (name == "select") {
        if (auto e = arity(1); !e) return std::unexpected(std::move(e.error()));
        auto outputs = jq_eval(c, *arguments[0], input);
        if (!outputs) return outputs;
        if (jq_any_truthy(*outputs)) return one(input);
        return JqOutputs{};
    }
    if (name == "length") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        return length_of(c, input);
    }
    if (name == "split") {
        if (auto e = arity(1); !e) return std::unexpected(std::move(e.error()));
        auto sep = argument_value(c, arguments, input, "split separator");
        if (!sep) return std::unexpected(std::move(sep.error()));
        if (!input.is_string()) return std::unexpected(message_error("split input must be a string"));
        if (!sep->is_string()) return std::unexpected(message_error("split separator must be a string"));
        return split_string(c, input.text(), sep->text());
    }
    if (name == "sort_by") return sort_by(c, arguments, input);
    if (name == "contains") {
        if (auto e = arity(1); !e) return std::unexpected(std::move(e.error()));
        auto b = argument_value(c, arguments, input, "contains argument");
        if (!b) return std::unexpected(std::move(b.error()));
        const auto found = jq_contains(input, *b, [&c](std::uint64_t units) { return c.sys.charge_cpu(units); });
        if (!found) return std::unexpected(JqEvalError::exhausted());
        return one(JsonValue::boolean(*found));
    }
    if (name == "tonumber") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        return to_number(input);
    }
    if (name == "keys" || name == "keys_unsorted") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        return keys_of(c, input, name == "keys");
    }
    if (name == "values") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        if (input.is_null()) return JqOutputs{};
        return one(input);
    }
    if (name == "type") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        return one(JsonValue::string(std::string(jq_type_name(input))));
    }
    if (name == "has") {
        if (auto e = arity(1); !e) return std::unexpected(std::move(e.error()));
        auto b = argument_value(c, arguments, input, "has argument");
        if (!b) return std::unexpected(std::move(b.error()));
        return one(JsonValue::boolean(has(input, *b)));
    }
    if (name == "to_entries") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        return to_entries(c, input);
    }
    if (name == "add") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        return add_all(c, input);
    }
    return std::unexpected(JqEvalError::unsupported(fmt::format("unsupported function {}", jq_quoted(name))));
}

}  // namespace tw
