#include "base/case_map.h"

#include <utf8proc.h>

#include <array>
#include <cstdint>

#include "base/utf8.h"

namespace tw {

namespace {

struct SpecialCase {
    char32_t cp;
    const char* text;
};

// Unconditional mappings of one character to several (the rest is the simple mapping).
constexpr std::array<SpecialCase, 23> kSpecialUpper{{
    {0x00DF, "SS"}, {0x0149, "\u02BCN"}, {0x01F0, "J\u030C"}, {0x0390, "\u0399\u0308\u0301"},
    {0x03B0, "\u03A5\u0308\u0301"}, {0x0587, "\u0535\u0552"}, {0x1E96, "H\u0331"}, {0x1E97, "T\u0308"},
    {0x1E98, "W\u030A"}, {0x1E99, "Y\u030A"}, {0x1E9A, "A\u02BE"}, {0xFB00, "FF"}, {0xFB01, "FI"},
    {0xFB02, "FL"}, {0xFB03, "FFI"}, {0xFB04, "FFL"}, {0xFB05, "ST"}, {0xFB06, "ST"},
    {0xFB13, "\u0544\u0546"}, {0xFB14, "\u0544\u0535"}, {0xFB15, "\u0544\u053B"}, {0xFB16, "\u054E\u0546"},
    {0xFB17, "\u0544\u053D"},
}};

// The length of the valid UTF-8 sequence at text[i], 0 when there is none.
std::size_t sequence_at(std::string_view text, std::size_t i, char32_t& c) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t len = b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
    if (len == 0 || i + len > text.size() || !utf8_valid(text.substr(i, len))) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data() + i);
    c = len == 2 ? ((b & 0x1F) << 6) | (p[1] & 0x3F)
        : len == 3 ? ((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F)
                   : ((b & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    return len;
}

template <class Append>
std::string map_text(std::string_view text, Append append, bool upper) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out += static_cast<char>(upper ? (b >= 'a' && b <= 'z' ? b - 32 : b) : (b >= 'A' && b <= 'Z' ? b + 32 : b));
            ++i;
            continue;
        }
        char32_t c = 0;
        const std::size_t len = sequence_at(text, i, c);
        if (len == 0) {
            out += text[i++];
            continue;
        }
        append(out, c);
        i += len;
    }
    return out;
}

}  // namespace

char32_t unicode_simple_upper(char32_t c) {
    return static_cast<char32_t>(utf8proc_toupper(static_cast<utf8proc_int32_t>(c)));
}

char32_t unicode_simple_lower(char32_t c) {
    return static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c)));
}

void utf8_append_upper(std::string& out, char32_t c) {
    for (const SpecialCase& s : kSpecialUpper) {
        if (s.cp == c) {
            out += s.text;
            return;
        }
    }
    utf8_append(out, unicode_simple_upper(c));
}

void utf8_append_lower(std::string& out, char32_t c) {
    if (c == 0x0130) {
        out += "i\u0307";
        return;
    }
    utf8_append(out, unicode_simple_lower(c));
}

std::string utf8_to_upper(std::string_view text) { return map_text(text, utf8_append_upper, true); }
std::string utf8_to_lower(std::string_view text) { return map_text(text, utf8_append_lower, false); }

}  // namespace tw
