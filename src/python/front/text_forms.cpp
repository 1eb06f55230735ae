#include "python/front/text_forms.h"

#include <charconv>
#include <cmath>
#include <string>

#include <fmt/format.h>

#include "python/objects/float_text.h"

namespace tw {

std::string py_float_repr(double v) { return py::py_float_repr(v); }

namespace {

// Code points Python's repr escapes in a str besides the controls: the non-printable ones.
bool str_char_escaped(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD) return true;
    if (c == 0x1680 || (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F)) return true;
    if ((c >= 0x205F && c <= 0x2064) || c == 0x3000 || c == 0xFEFF) return true;
    return false;
}

// Decodes the code point at `i` of valid UTF-8 and advances past it.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    unsigned char c = static_cast<unsigned char>(text[i++]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 0; k < extra && i < text.size(); ++k) cp = cp << 6 | (static_cast<unsigned char>(text[i++]) & 0x3F);
    return cp;
}

}  // namespace

std::string py_quote_text(std::string_view text, bool bytes) {
    bool has_single = text.find('\'') != std::string_view::npos;
    bool has_double = text.find('"') != std::string_view::npos;
    char q = has_single && !has_double ? '"' : '\'';
    std::string out;
    out.reserve(text.size() + 3);
    if (bytes)
        out += 'b';
    out += q;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t start = i;
        char32_t c = bytes ? static_cast<unsigned char>(text[i++]) : next_code_point(text, i);
        if (c == static_cast<unsigned char>(q) || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (bytes ? (c < 0x20 || c >= 0x7F) : str_char_escaped(c)) {
            if (c < 0x100)
                out += fmt::format("\\x{:02x}", static_cast<unsigned>(c));
            else if (c < 0x10000)
                out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
            else
                out += fmt::format("\\U{:08x}", static_cast<unsigned>(c));
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    out += q;
    return out;
}

}  // namespace tw
