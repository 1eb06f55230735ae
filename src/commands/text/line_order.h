// Ordering the lines of one buffer by their bytes, as views into it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tw {

// A line by its place in its buffer: offset and size (without its separator). `key` is scratch
// for the ordering (its cached bytes); its value afterwards is unspecified.
struct LineAt {
    std::uint64_t key = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// Orders `lines`, views into `text`, ascending by their bytes as unsigned values (a line that is
// a prefix of another comes first). Lines that compare equal are equal byte for byte, so the
// order among them cannot show. An in-place radix sort on the lines' bytes with eight bytes
// cached per line, and a comparison sort for small groups; the work is about the number of lines
// times the bytes that tell them apart.
void order_lines_by_bytes(std::string_view text, std::span<LineAt> lines);

}  // namespace tw
