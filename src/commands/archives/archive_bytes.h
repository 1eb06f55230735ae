// Little-endian field readers and the CRC-32 that the archive formats share.
#pragma once

#include <zlib.h>

#include <cstdint>

#include "base/bytes.h"

namespace tw {

// The little-endian 16- and 32-bit fields at `at`; the caller has checked the bounds.
inline std::uint32_t read_le16(BytesView b, std::size_t at) {
    return static_cast<unsigned char>(b[at]) | (std::uint32_t(static_cast<unsigned char>(b[at + 1])) << 8);
}
inline std::uint32_t read_le32(BytesView b, std::size_t at) { return read_le16(b, at) | (read_le16(b, at + 2) << 16); }

// The CRC-32 of gzip and ZIP members.
inline std::uint32_t crc32_of(BytesView data) {
    return static_cast<std::uint32_t>(
        crc32_z(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

}  // namespace tw
