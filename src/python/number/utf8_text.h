// Reading valid UTF-8 (str values are always valid) as code points, for the number texts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace tw::py {

// The code point starting at byte i and its length in bytes.
inline std::pair<char32_t, std::size_t> utf8_code_point_at(std::string_view t, std::size_t i) {
    const auto c = static_cast<unsigned char>(t[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
    for (std::size_t k = 1; k < n && i + k < t.size(); ++k) cp = cp << 6 | (t[i + k] & 0x3F);
    return {cp, n};
}

inline std::u32string utf8_code_points(std::string_view t) {
    std::u32string out;
    out.reserve(t.size());
    for (std::size_t i = 0; i < t.size();) {
        auto [cp, n] = utf8_code_point_at(t, i);
        out.push_back(cp);
        i += n;
    }
    return out;
}

}  // namespace tw::py
