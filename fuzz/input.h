// The fuzzer's bytes as text, split in two at the first `separator`: what comes before it (the
// pattern, script or patch) and what follows (the text it works on, empty without separator).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace tw::fuzz {

inline std::pair<std::string_view, std::string_view> split_input(const std::uint8_t* data, std::size_t size,
                                                                 char separator) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const std::size_t at = all.find(separator);
    if (at == std::string_view::npos) return {all, {}};
    return {all.substr(0, at), all.substr(at + 1)};
}

}  // namespace tw::fuzz
