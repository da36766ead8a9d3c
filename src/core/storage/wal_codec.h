// The payloads of the log's records: how each logged mutation is encoded into a complete record
// (wal_format.h gives the framing) and decoded back from a payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "codec.h"
#include "storage/metadata_text.h"
#include "storage/wal_format.h"
#include "types.h"

namespace qorel {

// One logged mutation. Records name vectors by id, never by slot, so a log stays valid across
// compaction.
struct WalEntry {
    struct Insert {
        std::string id;
        std::vector<float> vector;
        std::optional<Json> metadata;
        bool operator==(const Insert&) const = default;
    };
    struct Delete {
        std::string id;
        bool operator==(const Delete&) const = default;
    };
    struct Update {
        std::string id;
        std::optional<std::vector<float>> vector;
        // When set, the metadata becomes new_metadata (absent = remove it).
        bool has_metadata_change = false;
        std::optional<Json> new_metadata;
        bool operator==(const Update&) const = default;
    };
    // The full-text index is (re)built over the string member `field`, words stemmed when
    // `stem`. Names no vector: its id() is empty.
    struct EnableText {
        std::string field;
        bool stem = false;
        bool operator==(const EnableText&) const = default;
    };

    std::variant<Insert, Delete, Update, EnableText> op;

    WalEntry(Insert e) : op(std::move(e)) {}
    WalEntry(Delete e) : op(std::move(e)) {}
    WalEntry(Update e) : op(std::move(e)) {}
    WalEntry(EnableText e) : op(std::move(e)) {}

    WalKind kind() const {
        constexpr WalKind kinds[] = {WalKind::Insert, WalKind::Delete, WalKind::Update, WalKind::EnableText};
        return kinds[op.index()];
    }
    const std::string& id() const {
        static const std::string none;
        return std::visit(
            [](const auto& e) -> const std::string& {
                if constexpr (std::is_same_v<std::decay_t<decltype(e)>, EnableText>) {
                    return none;
                } else {
                    return e.id;
                }
            },
            op);
    }
    bool operator==(const WalEntry&) const = default;
};

// Inserts whose vectors lie back to back in one block: row i, the i-th run of `dim` floats,
// belongs to ids[i] and metadata[i]. A batch travels in this form from the caller to the index
// without an allocation per row; the log still holds one Insert record per row, the very bytes
// encode_record writes for that Insert.
struct InsertBlock {
    std::size_t dim = 0;
    std::vector<std::string> ids;
    std::vector<float> rows;
    std::vector<std::optional<Json>> metadata;  // one per id

    std::size_t size() const { return ids.size(); }
    std::span<const float> row(std::size_t i) const { return {rows.data() + i * dim, dim}; }
};

// ---- Encoding

// uint32 length then the compact JSON text; length 0 for no metadata.
// Throws Io when the value is nested too deeply or its text exceeds kMaxWalPayload.
void write_metadata(ByteWriter& out, const std::optional<Json>& metadata);

// Appends one complete record for `entry` to `out`. Throws Io (leaving `out` as it was) when
// the payload would exceed kMaxWalPayload or the metadata is nested too deeply: the reader
// would take such a record for damage or skip it.
void encode_record(const WalEntry& entry, std::vector<std::uint8_t>& out);
std::vector<std::uint8_t> encode_record(const WalEntry& entry);
// The Insert record of id, vector and metadata given apart (a row of an InsertBlock), with the
// same bytes and failures as encode_record.
void encode_insert(std::string_view id, std::span<const float> vector, const std::optional<Json>& metadata,
                   std::vector<std::uint8_t>& out);

// ---- Decoding. Each returns false when the field is missing, short or invalid; the cursor's
// position is then unspecified. None of them throws on malformed bytes.

// uint32 length, then that many bytes of valid UTF-8.
bool read_string(ByteReader& in, std::string& out);
// uint32 count, then count float32 values.
bool read_vector(ByteReader& in, std::vector<float>& out);
// uint32 length; 0 gives no metadata, otherwise the text must pass parse_metadata_text.
bool read_metadata(ByteReader& in, std::optional<Json>& out);

// Decodes one payload; nullopt when the kind is unknown (Batch included) or a needed field fails
// to decode. Bytes after the decoded fields are ignored.
std::optional<WalEntry> decode_payload(std::uint8_t kind, std::span<const std::uint8_t> payload);

}  // namespace qorel
