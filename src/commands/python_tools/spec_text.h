// Small text helpers of the package tools.
#pragma once

#include <string_view>

namespace tw {

// `s` without surrounding ASCII white space.
inline std::string_view trim_spec_text(std::string_view s) {
    constexpr std::string_view kSpace = " \t\n\r\f\v";
    const std::size_t first = s.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

}  // namespace tw
