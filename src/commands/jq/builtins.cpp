#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "commands/jq/eval.h"
#include "commands/jq/value_ops.h"
#include "commands/util/text.h"

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

JsonValue split_string(const std::string& s, const std::string& sep) {
    JsonArray pieces;
    if (sep.empty()) {
        pieces.push_back(JsonValue::string({}));
        std::size_t pos = 0;
        while (pos < s.size()) {
            std::size_t next = pos + 1;
            while (next < s.size() && !utf8_char_start(s[next])) ++next;
            pieces.push_back(JsonValue::string(s.substr(pos, next - pos)));
            pos = next;
        }
        pieces.push_back(JsonValue::string({}));
        return JsonValue::array(std::move(pieces));
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = s.find(sep, start);
        if (at == std::string::npos) break;
        pieces.push_back(JsonValue::string(s.substr(start, at - start)));
        start = at + sep.size();
    }
    pieces.push_back(JsonValue::string(s.substr(start)));
    return JsonValue::array(std::move(pieces));
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
    std::vector<std::size_t> order(items.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return jq_compare_lists(keys[a], keys[b]) < 0; });
    JsonArray sorted;
    sorted.reserve(items.size());
    for (std::size_t i : order) sorted.push_back(items[i]);
    return one(JsonValue::array(std::move(sorted)));
}

Outputs keys_of(const JsonValue& input, bool sorted) {
    JsonArray keys;
    if (input.is_array()) {
        keys.reserve(input.items().size());
        for (std::size_t i = 0; i < input.items().size(); ++i) keys.push_back(JsonValue::number(std::to_string(i)));
    } else if (input.is_object()) {
        std::vector<std::string_view> names;
        names.reserve(input.members().size());
        for (const auto& member : input.members()) names.push_back(member.first);
        if (sorted) std::sort(names.begin(), names.end());
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

Outputs to_entries(const JsonValue& input) {
    if (!input.is_object()) return std::unexpected(message_error("to_entries input must be an object"));
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

Outputs add_all(const JsonValue& input) {
    if (!input.is_array()) return std::unexpected(message_error("add input must be an array"));
    JsonValue sum;
    for (const JsonValue& e : input.items()) {
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

bool jq_contains(const JsonValue& a, const JsonValue& b) {
    if (a.is_string() && b.is_string()) return a.text().find(b.text()) != std::string::npos;
    if (a.is_array() && b.is_array()) {
        for (const JsonValue& needle : b.items()) {
            const auto& hay = a.items();
            if (std::none_of(hay.begin(), hay.end(), [&](const JsonValue& e) { return jq_contains(e, needle); }))
                return false;
        }
        return true;
    }
    if (a.is_object() && b.is_object()) {
        for (const auto& [key, value] : b.members()) {
            const JsonValue* mine = a.members().find(key);
            if (mine == nullptr || !jq_contains(*mine, value)) return false;
        }
        return true;
    }
    return jq_values_equal(a, b);
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
        return one(split_string(input.text(), sep->text()));
    }
    if (name == "sort_by") return sort_by(c, arguments, input);
    if (name == "contains") {
        if (auto e = arity(1); !e) return std::unexpected(std::move(e.error()));
        auto b = argument_value(c, arguments, input, "contains argument");
        if (!b) return std::unexpected(std::move(b.error()));
        return one(JsonValue::boolean(jq_contains(input, *b)));
    }
    if (name == "tonumber") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        return to_number(input);
    }
    if (name == "keys" || name == "keys_unsorted") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        return keys_of(input, name == "keys");
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
        return to_entries(input);
    }
    if (name == "add") {
        if (auto e = arity(0); !e) return std::unexpected(std::move(e.error()));
        return add_all(input);
    }
    return std::unexpected(JqEvalError::unsupported(fmt::format("unsupported function {}", jq_quoted(name))));
}

}  // namespace tw
