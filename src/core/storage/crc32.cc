#include "crc32.h"

#include <array>
#include <cstring>

namespace qorel {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// Slicing-by-8: table k maps a byte to the CRC contribution of that byte followed by k zero
// bytes, so eight input bytes are folded in with eight look-ups and no data-dependent branch.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    }
    return t;
}

constexpr Tables kTables = make_tables();

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc) {
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    std::uint32_t c = ~crc;
    while (n >= 8) {
        std::uint32_t lo;
        std::uint32_t hi;
        std::memcpy(&lo, p, 4);  // the host is little-endian (see codec.h)
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^ kTables[5][(lo >> 16) & 0xFFu] ^
            kTables[4][lo >> 24] ^ kTables[3][hi & 0xFFu] ^ kTables[2][(hi >> 8) & 0xFFu] ^
            kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n-- > 0) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFFu];
    return ~c;
}

}  // namespace qorel
