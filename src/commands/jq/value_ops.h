// The meaning of jq's operators on JSON values: order, equality, addition, negation, type names,
// number texts and the size bound by which values are charged before they are stored or printed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "commands/jq/json.h"

namespace tw {

using JqInt = __int128;

// A number text that reads completely as a signed or else an unsigned 64-bit decimal integer.
std::optional<JqInt> jq_parse_integer(std::string_view text);
// The nearest double of a number text; none beyond the float range (1e400).
std::optional<double> jq_float_reading(std::string_view text);
// The text of a finite double result: shortest digits, plain from 1e-5 to below 1e16 (integral
// values with ".0"), scientific outside ("1e+16", "1.5e-7").
std::string jq_float_text(double v);
// An integer result as a number, or "integer exceeds jq's supported 64-bit range".
Result<JsonValue, std::string> jq_integer_to_number(JqInt i);

std::string_view jq_type_name(const JsonValue& v);
int jq_type_rank(const JsonValue& v);

// Negative, zero or positive.
int jq_compare(const JsonValue& a, const JsonValue& b);
int jq_compare_lists(std::span<const JsonValue> a, std::span<const JsonValue> b);
// Numbers by value as in the order (one without a float reading equals only its own text);
// other kinds by value, object members regardless of order.
bool jq_values_equal(const JsonValue& a, const JsonValue& b);

Result<JsonValue, std::string> jq_add(const JsonValue& a, const JsonValue& b);
Result<JsonValue, std::string> jq_negate(const JsonValue& v);

// An upper bound of the bytes of the value's JSON text at that indentation (0: compact) and
// nesting depth; saturating.
std::uint64_t jq_value_size_bound(const JsonValue& v, std::uint64_t indent, std::uint64_t depth);

}  // namespace tw
