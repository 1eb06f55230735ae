// The search and trim methods of str: find/rfind/index/rindex, count, startswith/endswith,
// strip/lstrip/rstrip, partition/rpartition, removeprefix/removesuffix. Positions count code points;
// the searching runs on the UTF-8 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "python/string/text.h"

namespace tw::py {

enum class FindMode : std::uint8_t { Find, RFind, Index, RIndex };

// find, rfind (-1 when absent), index, rindex (ValueError "substring not found").
PyResult<std::int64_t> str_find(Charges& charges, StrText text, std::string_view sub, SearchBounds bounds,
                                FindMode mode);
// Non-overlapping occurrences in the window; an empty sub counts the window's positions.
PyResult<std::int64_t> str_count(Charges& charges, StrText text, std::string_view sub, SearchBounds bounds);

// startswith / endswith over candidates tried in order; `method` names the method in messages.
PyResult<bool> str_affix_match(Charges& charges, StrText text, std::span<const Affix> candidates,
                               SearchBounds bounds, bool at_end, std::string_view method);

enum class StripSide : std::uint8_t { Both, Left, Right };
// The text without the chosen sides' whitespace (no chars) or members of `chars`.
PyResult<std::string_view> str_strip(Charges& charges, std::string_view text,
                                     std::optional<std::string_view> chars, StripSide side);

// partition / rpartition: before, sep, after. Not found: (text, "", "") or ("", "", text).
// ValueError "empty separator".
PyResult<std::array<std::string_view, 3>> str_partition(std::string_view text, std::string_view sep,
                                                        bool from_right);

// removeprefix / removesuffix: the remaining text, or nothing when the affix is absent (the
// receiver itself is then the result).
std::optional<std::string_view> str_remove_affix(std::string_view text, std::string_view affix, bool suffix);

}  // namespace tw::py
