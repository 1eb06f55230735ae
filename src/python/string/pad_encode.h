// The str methods that widen or transcode: ljust, rjust, center, zfill, expandtabs, encode and
// translate, and the encoding-argument rules shared with bytes.decode. Widths count code points.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "python/string/text.h"

namespace tw::py {

enum class PadMode : std::uint8_t { Left, Right, Center };  // ljust, rjust, center
// `fill` must hold exactly one code point (TypeError otherwise); a negative width counts as 0.
PyResult<std::string> str_pad(Charges& charges, StrText text, std::int64_t width, std::string_view fill, PadMode mode);
PyResult<std::string> str_zfill(Charges& charges, StrText text, std::int64_t width);
PyResult<std::string> str_expandtabs(Charges& charges, std::string_view text, std::int64_t tabsize);

enum class ErrorHandler : std::uint8_t { Strict, Ignore, Replace, BackslashReplace, XmlCharRefReplace };
// LookupError "unknown error handler name '{}'"; xmlcharrefreplace only when encoding.
PyResult<ErrorHandler> parse_error_handler(std::string_view name, bool for_encode);
// ASCII lowercase with every "_" turned into "-".
std::string normalize_encoding(std::string_view name);

enum class Codec : std::uint8_t { Utf8, Ascii, Latin1 };
// ValueError "unknown text encoding" for names outside the supported codecs.
PyResult<Codec> lookup_codec(std::string_view normalized);

// str.encode with the caller's encoding and error-handler names.
PyResult<std::string> str_encode(Charges& charges, std::string_view text, std::string_view encoding,
                                 std::string_view errors);

// What a translation table gives for one code point.
struct TranslateKeep {};
struct TranslateDelete {};
struct TranslateText { std::string text; };
struct TranslateInt { std::int64_t value; bool in_i64 = true; };  // an int or bool item
struct TranslateOther {};                                           // any other value
using TranslateItem = std::variant<TranslateKeep, TranslateDelete, TranslateText, TranslateInt, TranslateOther>;

class TranslateTable {
public:
    virtual PyResult<TranslateItem> lookup(char32_t c) = 0;

protected:
    ~TranslateTable() = default;
};
PyResult<std::string> str_translate(Charges& charges, std::string_view text, TranslateTable& table);

// The text of a code point in an encode error: as it is, or \u{hex} when it is not printable or
// is a combining mark.
std::string encode_error_character(char32_t c);

}  // namespace tw::py
