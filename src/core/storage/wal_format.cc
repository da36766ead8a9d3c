#include "storage/wal_format.h"

#include "codec.h"
#include "storage/crc32.h"

namespace qorel {

std::uint32_t wal_record_crc(std::uint8_t kind, std::span<const std::uint8_t> payload) {
    return crc32(payload, crc32(std::span<const std::uint8_t>(&kind, 1)));
}

void encode_batch_frame(std::uint64_t members, std::vector<std::uint8_t>& out) {
    ByteWriter w(out);
    const auto kind = static_cast<std::uint8_t>(WalKind::Batch);
    w.u8(kind);
    w.u32(kWalBatchPayload);
    const std::size_t payload_at = out.size();
    w.u64(members);
    w.u32(wal_record_crc(kind, std::span<const std::uint8_t>(out.data() + payload_at, kWalBatchPayload)));
}

std::optional<std::uint64_t> decode_batch_frame(std::span<const std::uint8_t> payload) {
    ByteReader in(payload);
    if (in.remaining() < 8) return std::nullopt;
    return in.u64();
}

}  // namespace qorel
