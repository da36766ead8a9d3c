// The record framing of the write-ahead log "wal.qorel": what a record looks like on disk,
// whatever it carries.
//
// A record is: kind byte, uint32 payload length P, P payload bytes, uint32 CRC-32 of the kind
// byte followed by the payload. The file is nothing but records, back to back. An append of
// several records begins with a Batch record (its payload: the uint64 number of records that
// follow as members); replay uses the members only once all of them are intact, so a batch
// survives a crash whole or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qorel {

enum class WalKind : std::uint8_t { Insert = 1, Delete = 2, Update = 3, Batch = 4, EnableText = 5 };

// The largest payload the log writes or accepts. A length field above it, or above the bytes
// left in the file, can only come from damage and is read as a cut-off tail; the bound keeps a
// damaged length from driving a huge allocation.
inline constexpr std::uint32_t kMaxWalPayload = 1u << 30;

// Bytes a record adds around its payload: kind, length, CRC.
inline constexpr std::size_t kWalRecordOverhead = 1 + 4 + 4;

// The payload of a Batch record: the uint64 number of member records.
inline constexpr std::uint32_t kWalBatchPayload = 8;

// The checksum a record stores after its payload.
std::uint32_t wal_record_crc(std::uint8_t kind, std::span<const std::uint8_t> payload);

// Appends the Batch record that opens a batch of `members` records.
void encode_batch_frame(std::uint64_t members, std::vector<std::uint8_t>& out);
// The member count of a Batch record's payload; nullopt when it is too short.
std::optional<std::uint64_t> decode_batch_frame(std::span<const std::uint8_t> payload);

}  // namespace qorel
