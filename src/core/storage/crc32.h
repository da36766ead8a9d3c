// CRC-32 as used by zlib and IEEE 802.3 (reflected polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, final complement). The write-ahead log protects every record with it.
#pragma once

#include <cstdint>
#include <span>

namespace qorel {

// Returns the CRC of `crc`'s data followed by `data`. Start with the default 0; feeding a
// message in pieces gives the same result as feeding it whole:
// crc32(b, crc32(a)) == crc32(a followed by b).
std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

}  // namespace qorel
