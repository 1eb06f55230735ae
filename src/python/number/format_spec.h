// The format-specification mini-language of Python ("[[fill]align][sign][z][#][0][width]
// [grouping][.precision[grouping]][type]") and the __format__ of int, bool, float, complex and
// str. There is no locale: 'n' is 'd' for integers and 'g' for floats. Widths count code points.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "base/bigint.h"
#include "python/heap/error.h"

namespace tw::py {

struct FormatError {
    std::string message;
    std::string_view exception = "ValueError";  // "ValueError", "OverflowError" or "TypeError"
    PyError to_py_error() const { return PyError::exception(exception, message); }
};
template <class T>
using FormatResult = std::expected<T, FormatError>;

struct FormatSpec {
    enum Align : std::uint8_t { Left = 0, Right = 1, Center = 2, AfterSign = 3 };
    enum Sign : std::uint8_t { Plus = 0, Minus = 1, Space = 2 };
    enum Grouping : std::uint8_t { Comma = 0, Underscore = 1, NoGrouping = 2 };

    std::optional<char32_t> fill;
    std::optional<Align> align;
    std::optional<Sign> sign;
    bool z = false;
    bool alternate = false;
    bool zero = false;
    std::uint64_t width = 0;
    Grouping grouping = NoGrouping;
    bool has_precision = false;
    std::uint64_t precision = 0;
    Grouping fraction_grouping = NoGrouping;
    std::optional<char32_t> type;

    // `default_type`: 'd' for integers, 's' for strings, none for floats and complex numbers.
    static FormatResult<FormatSpec> parse(std::string_view spec, std::string_view type_name,
                                          std::optional<char32_t> default_type);
};

// Widths and precisions above this are refused like an overflowing number, so that no spec can
// ask for more text than the machine can hold.
inline constexpr std::uint64_t kMaxFormatWidth = (std::uint64_t(1) << 31) - 1;

// `type_name` is "int" or "bool".
FormatResult<std::string> format_integer(const tw::BigInt& value, std::string_view spec, std::string_view type_name);
FormatResult<std::string> format_float(double value, std::string_view spec);
FormatResult<std::string> format_complex(double re, double im, std::string_view spec);
FormatResult<std::string> py_format_str(std::string_view text, std::string_view spec);

// The shortest text of |x| that reads back as x: repr mode ("1.0") or complex-part mode ("1").
std::string float_shortest_text(double x, bool part_mode);

}  // namespace tw::py
