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

// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), used the same way. Processors with
// SSE4.2 compute it with one instruction per eight bytes, so it is the checksum for whole data
// files, which every save writes and an open may have to check.
std::uint32_t crc32c(std::span<const std::uint8_t> data, std::uint32_t crc = 0);
// The same by tables alone, as processors without the instruction compute it.
std::uint32_t crc32c_portable(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

}  // namespace qorel
