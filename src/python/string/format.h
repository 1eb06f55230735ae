// The template engine of str.format and str.format_map: literal text, doubled braces and
// replacement fields "{name!conversion:spec}" where a name is an index or a whole keyword text.
// Picking the argument by keyword and formatting a field are the caller's (`FormatArguments`).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "python/string/text.h"

namespace tw::py {

class FormatArguments {
public:
    virtual std::uint64_t positional_count() const = 0;
    // The text of a field; `conversion` is 0 (none), 'r', 's' or 'a'.
    virtual PyResult<std::string> format_positional(std::uint64_t index, char32_t conversion, std::string_view spec) = 0;
    // By keyword (str.format: KeyError with the name when absent) or by mapping key (format_map).
    virtual PyResult<std::string> format_named(std::string_view name, char32_t conversion, std::string_view spec) = 0;

protected:
    ~FormatArguments() = default;
};

// The expanded text; its length is charged as memory at the end.
PyResult<std::string> str_format(Charges& charges, std::string_view tmpl, FormatArguments& args);

}  // namespace tw::py
