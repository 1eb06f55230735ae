#include "python/front/text_forms.h"

#include <charconv>
#include <cmath>
#include <string>

#include <fmt/format.h>

namespace tw {

// Python's repr of a float: the shortest digits that read back, positional notation for
// decimal exponents from -4 to 15, scientific otherwise.
std::string py_float_repr(double v) {
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v < 0 ? "-inf" : "inf";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
    std::string sign;
    if (!s.empty() && s[0] == '-') {
        sign = "-";
        s.remove_prefix(1);
    }
    auto epos = s.find('e');
    std::string digits;
    for (char c : s.substr(0, epos))
        if (c != '.')
            digits += c;
    int exp = std::stoi(std::string(s.substr(epos + 1)));
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out;
    if (exp >= -4 && exp < 16) {
        if (exp < 0) {
            out = "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
        } else if (static_cast<std::size_t>(exp) + 1 >= digits.size()) {
            out = digits + std::string(static_cast<std::size_t>(exp) + 1 - digits.size(), '0') + ".0";
        } else {
            out = digits.substr(0, static_cast<std::size_t>(exp) + 1) + "." + digits.substr(static_cast<std::size_t>(exp) + 1);
        }
    } else {
        out = digits.substr(0, 1);
        if (digits.size() > 1)
            out += "." + digits.substr(1);
        out += fmt::format("e{}{:02}", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
    }
    return sign + out;
}

std::string py_quote_text(std::string_view text, bool bytes) {
    bool has_single = text.find('\'') != std::string_view::npos;
    bool has_double = text.find('"') != std::string_view::npos;
    char q = has_single && !has_double ? '"' : '\'';
    std::string out;
    if (bytes)
        out += 'b';
    out += q;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == static_cast<unsigned char>(q) || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f || (bytes && c >= 0x80)) {
            out += fmt::format("\\x{:02x}", c);
        } else if (!bytes && c == 0xC2 && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) <= 0xA0 || static_cast<unsigned char>(text[i + 1]) == 0xAD)) {
            // U+0080..U+00A0 and U+00AD are not printable: escaped by their code point.
            out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    out += q;
    return out;
}


}  // namespace tw
