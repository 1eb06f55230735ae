// printf-style formatting of str (text % values): flags, decimal width and precision, and the
// conversions s r a d i u x X o f F e E g G c. What a value is, its str and repr, and the lookup
// of a key in the right operand are the caller's (`PercentArguments`).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/bigint.h"
#include "python/heap/value.h"
#include "python/string/text.h"

namespace tw::py {

class PercentArguments {
public:
    // The right operand subscripted with a key; the caller checks nothing else.
    virtual PyResult<Value> lookup_key(std::string_view key) = 0;
    // The right operand is a str or a tuple (then a key is refused: "format requires a mapping").
    virtual bool operand_is_str_or_tuple() const = 0;
    virtual PyResult<std::string> to_str(Value v) = 0;
    virtual PyResult<std::string> repr(Value v) = 0;
    virtual std::string type_name(Value v) = 0;
    // The value as an integer when it is an int or bool.
    virtual PyResult<std::optional<tw::BigInt>> integer(Value v) = 0;
    // The text of a str value.
    virtual PyResult<std::optional<std::string>> str_text(Value v) = 0;
    // The value as a float when it is a real number (int, bool, float, __float__ or __index__);
    // nothing when it is not one.
    virtual PyResult<std::optional<double>> real(Value v) = 0;

protected:
    ~PercentArguments() = default;
};

// `args` are the tuple's items, or the right operand alone when it is not a tuple.
PyResult<std::string> str_percent_format(Charges& charges, std::string_view tmpl, std::span<const Value> args,
                                         PercentArguments& host);

// The float text of a format specification: the one seam to the number formatting of floats.
PyResult<std::string> format_float_spec(double value, std::string_view spec);

}  // namespace tw::py
