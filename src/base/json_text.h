// The JSON string literal of a text.
#pragma once

#include <string>
#include <string_view>

namespace tw {

// Appends `text` between double quotes: `"` and `\` escaped with a backslash, the control
// characters U+0000 to U+001F as \b \t \n \f \r or \u00XX (lowercase hex), every other byte as it
// is (so UTF-8 text stays UTF-8, and `/` and U+007F are not escaped).
void append_json_quoted(std::string& out, std::string_view text);

}  // namespace tw
