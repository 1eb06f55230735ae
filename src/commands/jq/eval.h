// Evaluation of a jq syntax tree on one input: the complete, ordered list of its outputs, every
// node and every stored value charged to the machine's budgets.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"
#include "commands/jq/filter.h"
#include "commands/jq/json.h"

namespace tw {

class SyscallContext;
using Syscalls = SyscallContext;

using JqVariables = std::map<std::string, JsonValue, std::less<>>;
using JqOutputs = std::vector<JsonValue>;

struct JqEvalError {
    enum class Kind : std::uint8_t { Message, Unsupported, Exhausted };
    Kind kind = Kind::Message;
    std::string text;

    static JqEvalError message(std::string text) { return {Kind::Message, std::move(text)}; }
    static JqEvalError unsupported(std::string text) { return {Kind::Unsupported, std::move(text)}; }
    static JqEvalError exhausted() { return {Kind::Exhausted, {}}; }
};

template <class T>
using JqResult = Result<T, JqEvalError>;

struct JqContext {
    Syscalls& sys;
    const JqVariables& variables;
    std::size_t depth = 0;
};

JqResult<JqOutputs> jq_eval(JqContext& context, const JqAst& node, const JsonValue& input);

// Appends one value after charging one work unit and its compact size bound plus 32 bytes.
JqResult<void> jq_emit(JqContext& context, JqOutputs& list, JsonValue value);
JqResult<JqOutputs> jq_emit_one(JqContext& context, JsonValue value);
JqResult<void> jq_emit_all(JqContext& context, JqOutputs& list, JqOutputs values);
// Charges a value as jq_emit does, without storing it.
bool jq_charge_value(JqContext& context, const JsonValue& value);

bool jq_any_truthy(std::span<const JsonValue> values);

struct JqRange {
    std::size_t from = 0;
    std::size_t to = 0;
};
JqRange jq_slice_range(std::size_t length, std::optional<std::int64_t> start, std::optional<std::int64_t> end);

JqResult<JqOutputs> jq_call_builtin(JqContext& context, const std::string& name, std::span<const JqNode> arguments,
                                    const JsonValue& input);

// "NAME expects N argument(s), got M" unless `got` is `expected`.
JqResult<void> jq_check_arity(std::string_view name, std::size_t got, std::size_t expected);
// The first of an argument's outputs, or "LABEL produced no value".
JqResult<JsonValue> jq_first_value(JqOutputs outputs, std::string_view label);

// jq's containment test: substrings, elements contained in some element, members contained by
// key; other values by equality.
bool jq_contains(const JsonValue& a, const JsonValue& b);
// The same, charging `charge` for the work before doing it: a unit per element or member looked
// at, the two lengths for a substring search. Nothing when a charge is refused.
using JqWorkCharge = std::function<bool(std::uint64_t)>;
std::optional<bool> jq_contains(const JsonValue& a, const JsonValue& b, const JqWorkCharge& charge);

}  // namespace tw
