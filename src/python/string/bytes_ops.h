// The methods bytes and bytearray share, over byte content: decode, hex, fromhex, find, index,
// count, startswith/endswith, join, partition, center, strip, split, splitlines, upper, lower and
// replace. The results are byte strings; whether they become bytes or bytearray values is the
// caller's (the receiver's kind).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/string/search.h"
#include "python/string/split_join.h"
#include "python/string/text.h"

namespace tw::py {

PyResult<std::string> bytes_decode(Charges& charges, std::string_view bytes, std::string_view encoding,
                                   std::string_view errors);
PyResult<std::string> bytes_hex(Charges& charges, std::string_view bytes);
PyResult<std::string> bytes_fromhex(Charges& charges, std::string_view text);

// find (-1 when absent) and index (ValueError "subsection not found").
PyResult<std::int64_t> bytes_find(Charges& charges, std::string_view hay, std::string_view sub, SearchBounds bounds,
                                  bool raise);
PyResult<std::int64_t> bytes_count(Charges& charges, std::string_view hay, std::string_view sub, SearchBounds bounds);
// startswith / endswith; a candidate of the wrong type fails when its turn comes.
PyResult<bool> bytes_affix_match(Charges& charges, std::string_view hay, std::span<const Affix> candidates,
                                 SearchBounds bounds, bool at_end);

// join: the shared joiner with the bytes' message.
inline Joiner bytes_joiner(std::string_view sep) { return Joiner(sep, "joined bytes are too large"); }
// TypeError "sequence item {}: expected a bytes-like object, {} found".
PyError bytes_join_item_error(std::uint64_t index, std::string_view type_name);

PyResult<std::array<std::string_view, 3>> bytes_partition(Charges& charges, std::string_view bytes, std::string_view sep,
                                                          bool from_right);
// `fill` must be one byte (TypeError "center() argument 2 must be a byte string of length 1").
PyResult<std::string> bytes_center(Charges& charges, std::string_view bytes, std::int64_t width, std::string_view fill);
PyResult<std::string_view> bytes_strip(Charges& charges, std::string_view bytes, std::optional<std::string_view> chars,
                                       StripSide side);
// Each part charges memory of its length + 16 before it is made.
PyResult<std::vector<std::string_view>> bytes_split(Charges& charges, std::string_view bytes,
                                                    std::optional<std::string_view> sep, std::int64_t maxsplit);
PyResult<std::vector<std::string_view>> bytes_splitlines(Charges& charges, std::string_view bytes, bool keepends);
PyResult<std::string> bytes_case(Charges& charges, std::string_view bytes, bool upper);
PyResult<std::string> bytes_replace(Charges& charges, std::string_view bytes, std::string_view old,
                                    std::string_view with, std::int64_t count);

}  // namespace tw::py
