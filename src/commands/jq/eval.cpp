#include "commands/jq/eval.h"

#include <fmt/format.h>

#include <charconv>

#include "base/sat.h"
#include "base/stack.h"
#include "commands/jq/value_ops.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::uint64_t kValueOverhead = 32;

using Outputs = JqResult<JqOutputs>;

JqEvalError message_error(std::string text) { return JqEvalError::message(std::move(text)); }

// A number text read as a signed 64-bit integer; other texts count as 0.
std::int64_t index_integer(std::string_view text) {
    std::int64_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return 0;
    return v;
}

JsonValue index_value(const JsonValue& target, const JsonValue& index) {
    if (target.is_array() && index.is_number()) {
        const JsonArray& items = target.items();
        std::int64_t i = index_integer(index.text());
        const auto n = static_cast<std::int64_t>(items.size());
        if (i < 0) i += n;
        if (i >= 0 && i < n) return items[static_cast<std::size_t>(i)];
        return {};
    }
    if (target.is_object() && index.is_string()) {
        const JsonValue* v = target.members().find(index.text());
        return v != nullptr ? *v : JsonValue();
    }
    return {};
}

// The byte offset of character `chars` of valid UTF-8 `text` (its size at the end).
std::size_t char_offset(std::string_view text, std::size_t chars) {
    std::size_t pos = 0;
    while (chars > 0 && pos < text.size()) {
        ++pos;
        while (pos < text.size() && !utf8_char_start(text[pos])) ++pos;
        --chars;
    }
    return pos;
}

Outputs eval_node(JqContext& c, const JqAst& node, const JsonValue& input);

Outputs eval_infix(JqContext& c, const JqAst& node, const JsonValue& input) {
    auto left = jq_eval(c, *node.children[0], input);
    if (!left) return left;
    auto right = jq_eval(c, *node.children[1], input);
    if (!right) return right;
    JqOutputs out;
    for (const JsonValue& l : *left) {
        for (const JsonValue& r : *right) {
            JsonValue v;
            switch (node.op) {
            case JqInfixOp::Eq: v = JsonValue::boolean(jq_values_equal(l, r)); break;
            case JqInfixOp::Ne: v = JsonValue::boolean(!jq_values_equal(l, r)); break;
            case JqInfixOp::Lt: v = JsonValue::boolean(jq_compare(l, r) < 0); break;
            case JqInfixOp::Le: v = JsonValue::boolean(jq_compare(l, r) <= 0); break;
            case JqInfixOp::Gt: v = JsonValue::boolean(jq_compare(l, r) > 0); break;
            case JqInfixOp::Ge: v = JsonValue::boolean(jq_compare(l, r) >= 0); break;
            case JqInfixOp::And: v = JsonValue::boolean(l.truthy() && r.truthy()); break;
            case JqInfixOp::Or: v = JsonValue::boolean(l.truthy() || r.truthy()); break;
            case JqInfixOp::Add: {
                auto sum = jq_add(l, r);
                if (!sum) return std::unexpected(message_error(std::move(sum.error())));
                v = std::move(*sum);
                break;
            }
            }
            if (auto e = jq_emit(c, out, std::move(v)); !e) return std::unexpected(std::move(e.error()));
        }
    }
    return out;
}

Outputs eval_object(JqContext& c, const JqAst& node, const JsonValue& input) {
    JqOutputs candidates{JsonValue::object({})};
    for (std::size_t m = 0; m < node.children.size(); ++m) {
        auto values = jq_eval(c, *node.children[m], input);
        if (!values) return values;
        JqOutputs next;
        for (const JsonValue& candidate : candidates) {
            for (const JsonValue& v : *values) {
                JsonObject o = candidate.members();
                o.bound = 0;
                o.set(node.keys[m], v);
                if (auto e = jq_emit(c, next, JsonValue::object(std::move(o))); !e)
                    return std::unexpected(std::move(e.error()));
            }
        }
        candidates = std::move(next);
    }
    return candidates;
}

Outputs eval_node(JqContext& c, const JqAst& node, const JsonValue& input) {
    using Kind = JqAst::Kind;
    switch (node.kind) {
    case Kind::Identity: return jq_emit_one(c, input);
    case Kind::Literal: return jq_emit_one(c, node.value);
    case Kind::Variable: {
        const auto it = c.variables.find(node.name);
        if (it == c.variables.end()) return std::unexpected(message_error(fmt::format("undefined variable ${}", node.name)));
        return jq_emit_one(c, it->second);
    }
    case Kind::Field: {
        auto targets = jq_eval(c, *node.children[0], input);
        if (!targets) return targets;
        JqOutputs out;
        for (const JsonValue& t : *targets) {
            JsonValue v;
            if (t.is_object()) {
                if (const JsonValue* member = t.members().find(node.name)) v = *member;
            } else if (!t.is_null()) {
                return std::unexpected(
                    message_error(fmt::format("cannot index {} with {}", jq_type_name(t), jq_quoted(node.name))));
            }
            if (auto e = jq_emit(c, out, std::move(v)); !e) return std::unexpected(std::move(e.error()));
        }
        return out;
    }
    case Kind::Index: {
        auto indexes = jq_eval(c, *node.children[1], input);
        if (!indexes) return indexes;
        auto targets = jq_eval(c, *node.children[0], input);
        if (!targets) return targets;
        JqOutputs out;
        for (const JsonValue& t : *targets)
            for (const JsonValue& i : *indexes)
                if (auto e = jq_emit(c, out, index_value(t, i)); !e) return std::unexpected(std::move(e.error()));
        return out;
    }
    case Kind::Slice: {
        auto targets = jq_eval(c, *node.children[0], input);
        if (!targets) return targets;
        JqOutputs out;
        for (const JsonValue& t : *targets) {
            JsonValue v;
            if (t.is_string()) {
                const std::string& s = t.text();
                const JqRange r = jq_slice_range(utf8_char_count(s), node.start, node.end);
                const std::size_t from = char_offset(s, r.from);
                const std::size_t to = from + char_offset(std::string_view(s).substr(from), r.to - r.from);
                v = JsonValue::string(s.substr(from, to - from));
            } else if (t.is_array()) {
                const JsonArray& items = t.items();
                const JqRange r = jq_slice_range(items.size(), node.start, node.end);
                if (!c.sys.charge_memory(sat_mul(r.to - r.from, sizeof(JsonValue))))
                    return std::unexpected(JqEvalError::exhausted());
                v = JsonValue::array(JsonArray(items.begin() + static_cast<std::ptrdiff_t>(r.from),
                                               items.begin() + static_cast<std::ptrdiff_t>(r.to)));
            } else {
                return std::unexpected(message_error("slice input must be array or string"));
            }
            if (auto e = jq_emit(c, out, std::move(v)); !e) return std::unexpected(std::move(e.error()));
        }
        return out;
    }
    case Kind::Iterate: {
        auto targets = jq_eval(c, *node.children[0], input);
        if (!targets) return targets;
        JqOutputs out;
        for (const JsonValue& t : *targets) {
            if (t.is_array()) {
                for (const JsonValue& item : t.items())
                    if (auto e = jq_emit(c, out, item); !e) return std::unexpected(std::move(e.error()));
            } else if (t.is_object()) {
                for (const auto& member : t.members())
                    if (auto e = jq_emit(c, out, member.second); !e) return std::unexpected(std::move(e.error()));
            } else {
                return std::unexpected(message_error(fmt::format("cannot iterate over {}", jq_type_name(t))));
            }
        }
        return out;
    }
    case Kind::Pipe: {
        auto left = jq_eval(c, *node.children[0], input);
        if (!left) return left;
        JqOutputs out;
        for (const JsonValue& l : *left) {
            auto right = jq_eval(c, *node.children[1], l);
            if (!right) return right;
            if (auto e = jq_emit_all(c, out, std::move(*right)); !e) return std::unexpected(std::move(e.error()));
        }
        return out;
    }
    case Kind::ArrayConstruct: {
        JqOutputs items;
        for (const JqNode& element : node.children) {
            auto values = jq_eval(c, *element, input);
            if (!values) return values;
            if (auto e = jq_emit_all(c, items, std::move(*values)); !e) return std::unexpected(std::move(e.error()));
        }
        return jq_emit_one(c, JsonValue::array(std::move(items)));
    }
    case Kind::ObjectConstruct: return eval_object(c, node, input);
    case Kind::Call: return jq_call_builtin(c, node.name, node.children, input);
    case Kind::If: {
        auto condition = jq_eval(c, *node.children[0], input);
        if (!condition) return condition;
        return jq_eval(c, *node.children[jq_any_truthy(*condition) ? 1 : 2], input);
    }
    case Kind::Infix: return eval_infix(c, node, input);
    case Kind::Negate: {
        auto operands = jq_eval(c, *node.children[0], input);
        if (!operands) return operands;
        JqOutputs out;
        for (const JsonValue& v : *operands) {
            auto negated = jq_negate(v);
            if (!negated) return std::unexpected(message_error(std::move(negated.error())));
            if (auto e = jq_emit(c, out, std::move(*negated)); !e) return std::unexpected(std::move(e.error()));
        }
        return out;
    }
    }
    return JqOutputs{};
}

}  // namespace

bool jq_charge_value(JqContext& context, const JsonValue& value) {
    const std::uint64_t bound = jq_value_size_bound(value, 0, 0);
    return context.sys.charge_cpu(1) && context.sys.charge_memory(sat_add(bound, kValueOverhead));
}

JqResult<void> jq_emit(JqContext& context, JqOutputs& list, JsonValue value) {
    if (!jq_charge_value(context, value)) return std::unexpected(JqEvalError::exhausted());
    list.push_back(std::move(value));
    return {};
}

JqResult<JqOutputs> jq_emit_one(JqContext& context, JsonValue value) {
    JqOutputs out;
    if (auto e = jq_emit(context, out, std::move(value)); !e) return std::unexpected(std::move(e.error()));
    return out;
}

JqResult<void> jq_emit_all(JqContext& context, JqOutputs& list, JqOutputs values) {
    if (list.empty()) list.reserve(values.size());
    for (JsonValue& v : values)
        if (auto e = jq_emit(context, list, std::move(v)); !e) return e;
    return {};
}

bool jq_any_truthy(std::span<const JsonValue> values) {
    for (const JsonValue& v : values)
        if (v.truthy()) return true;
    return false;
}

JqRange jq_slice_range(std::size_t length, std::optional<std::int64_t> start, std::optional<std::int64_t> end) {
    const auto n = static_cast<std::int64_t>(length);
    const auto clamp = [n](std::optional<std::int64_t> bound, std::int64_t absent) -> std::int64_t {
        if (!bound) return absent;
        if (*bound < 0) {
            const std::int64_t v = sat_add(n, *bound);
            return v > 0 ? v : 0;
        }
        return std::min(*bound, n);
    };
    const std::int64_t s = clamp(start, 0);
    const std::int64_t e = clamp(end, n);
    return {static_cast<std::size_t>(std::min(s, e)), static_cast<std::size_t>(e)};
}

JqResult<JqOutputs> jq_eval(JqContext& context, const JqAst& node, const JsonValue& input) {
    if (context.depth >= kJqMaxDepth)
        return std::unexpected(
            message_error(fmt::format("expression nesting exceeds the {}-level limit", kJqMaxDepth)));
    ++context.depth;
    struct Leave {
        std::size_t& depth;
        ~Leave() { --depth; }
    } leave{context.depth};
    if (!context.sys.charge_cpu(1)) return std::unexpected(JqEvalError::exhausted());
    return with_stack_headroom([&] { return eval_node(context, node, input); });
}

}  // namespace tw
