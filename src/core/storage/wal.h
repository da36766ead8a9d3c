// The write-ahead log "wal.qorel": the record format, its encoder and decoders, the reading
// phase of replay and the appending writer.
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
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "files.h"
#include "codec.h"
#include "types.h"

namespace qorel {

enum class WalKind : std::uint8_t { Insert = 1, Delete = 2, Update = 3, Batch = 4 };

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

    std::variant<Insert, Delete, Update> op;

    WalEntry(Insert e) : op(std::move(e)) {}
    WalEntry(Delete e) : op(std::move(e)) {}
    WalEntry(Update e) : op(std::move(e)) {}

    WalKind kind() const { return static_cast<WalKind>(op.index() + 1); }
    const std::string& id() const {
        return std::visit([](const auto& e) -> const std::string& { return e.id; }, op);
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

// The largest payload the log writes or accepts. A length field above it, or above the bytes
// left in the file, can only come from damage and is read as a cut-off tail; the bound keeps a
// damaged length from driving a huge allocation.
inline constexpr std::uint32_t kMaxWalPayload = 1u << 30;

// Bytes a record adds around its payload: kind, length, CRC.
inline constexpr std::size_t kWalRecordOverhead = 1 + 4 + 4;

// The payload of a Batch record: the uint64 number of member records.
inline constexpr std::uint32_t kWalBatchPayload = 8;

// ---- Encoding

// Metadata nested deeper than this (containers within containers; {} is depth 1) is neither
// written nor read back. The JSON library serialises, compares and copies values recursively,
// so an unbounded depth coming from a damaged file would overflow the stack later on; the bound
// is far beyond anything Python's json module builds with its default recursion limit.
inline constexpr std::size_t kMaxMetadataDepth = 1000;

// The compact JSON text under which metadata is stored, or nullopt when the value is nested
// deeper than kMaxMetadataDepth. Strings that are not valid UTF-8 (the JSON library refuses to
// serialise them) have each bad byte replaced by U+FFFD, so the text always parses back. The
// graph file's metadata section should use the same text.
std::optional<std::string> metadata_text(const Json& value);

// Parses stored metadata text; nullopt when it is not JSON or is nested too deeply.
std::optional<Json> parse_metadata_text(std::span<const std::uint8_t> text);

// uint32 length then the compact JSON text; length 0 for no metadata.
// Throws Io when the value is nested too deeply or its text exceeds kMaxWalPayload.
void write_metadata(ByteWriter& out, const std::optional<Json>& metadata);

// Appends one complete record for `entry` to `out`. Throws Io (leaving `out` as it was) when
// the payload would exceed kMaxWalPayload or the metadata is nested too deeply: the reader
// would take such a record for damage or skip it.
void encode_record(const WalEntry& entry, std::vector<std::uint8_t>& out);
std::vector<std::uint8_t> encode_record(const WalEntry& entry);
// Appends the Batch record that opens a batch of `members` records.
void encode_batch_frame(std::uint64_t members, std::vector<std::uint8_t>& out);
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
// The member count of a Batch record's payload; nullopt when it is too short.
std::optional<std::uint64_t> decode_batch_frame(std::span<const std::uint8_t> payload);

// The offset of the first byte that does not belong to a well-formed UTF-8 sequence (overlong
// forms, surrogates and code points above U+10FFFF are ill-formed), or nullopt when the whole
// text is valid.
std::optional<std::size_t> utf8_error_offset(std::string_view text);

// ---- Reading a log

// How the bytes after the last intact record came to be there.
enum class WalTail : std::uint8_t {
    None,     // there are none: the records run to the end
    Torn,     // one record or batch cut short by the end, nothing intact after the cut: an
              // interrupted append
    Damaged,  // a checksum mismatch, an impossible length, a Batch record inside a batch or
              // without a count, or intact records after the cut
};

struct WalReadResult {
    std::vector<WalEntry> entries;  // in file order, members of an unfinished batch left out
    // Offset just past the last intact record outside a batch, or the last member of a complete
    // batch: where the next record belongs. A batch cut short or damaged ends the good bytes
    // before its Batch record. Intact records that were skipped (unknown kind, undecodable
    // payload) count as good bytes.
    std::uint64_t good_length = 0;
    // Bytes looked at: the whole input (the file's length when it was opened).
    std::uint64_t total_length = 0;
    WalTail tail = WalTail::None;
};

// Reads records front to back. A record cut short by the end of the bytes, or with an
// impossible length, or whose CRC does not match, ends the log: nothing from it on is used, nor
// anything of the batch it belongs to.
WalReadResult parse_wal(std::span<const std::uint8_t> bytes);

// parse_wal over the file at `path`, read through an 8 KiB buffer. A missing file holds no
// records; failures to open, measure or read it are thrown as Io.
WalReadResult read_wal(const std::string& path);

// The first offset at or after `from` where a complete record of a known kind with a matching
// CRC begins, or nullopt. This is how intact records are found again behind damage.
std::optional<std::uint64_t> find_intact_record(std::span<const std::uint8_t> bytes, std::uint64_t from);

// ---- Appending

// The writer side of the log: appends records to the file at `path`, opening it lazily.
// REQUIRES: the caller serialises every call (the database's log mutex).
//
// Each append hands its records to the operating system before returning, so they survive a
// crash of the process; there is no fsync, so an operating-system crash may lose the tail.
// An append that fails leaves no trace: the file is cut back to where the append began (or,
// should even that fail, before the next record is written), so a failed call is a failed call
// after a restart too, and no torn bytes hide later records.
class Wal {
public:
    explicit Wal(std::string path);
    Wal(const Wal&) = delete;
    Wal& operator=(const Wal&) = delete;
    ~Wal() = default;  // closes the file; the buffer is always empty between appends

    // Encodes and writes the records in order, as one unit. Throws Io on encode, open, truncate
    // or write failure, with none of the records left in the file.
    void append(std::span<const WalEntry> entries);
    void append(const WalEntry& entry) { append(std::span<const WalEntry>(&entry, 1)); }
    // The block's rows as Insert records, in order, as one unit, encoded one at a time.
    void append(const InsertBlock& block);

    // Cuts the records of the last successful append back out of the file, for a caller that
    // could not apply them. Never throws: should the cut fail, it is made before the next append.
    // REQUIRES: no append since, and none that failed.
    void undo_last_append() noexcept;

    // Reads the log for replay (read_wal) and arranges for whatever follows its intact records
    // to be cut off before the next append. Bytes the reader stopped at because of damage may
    // hide intact records, so they are first copied to the next free "<path>.damaged-N" (an
    // existing file is never overwritten) and the log is cut at once. When that copy cannot be
    // made now (a read-only directory), the log is left whole and the copy is made before the
    // cut, by the first append; an append whose copy fails throws and cuts nothing.
    WalReadResult read_for_replay();

    // The side file the damaged bytes were copied to by the last read_for_replay, if any.
    const std::optional<std::string>& kept_damage() const { return kept_damage_; }

    // Replay found the intact records to end at `good_length`: if the file is longer when the
    // writer next opens it, the damaged tail is cut off first, so that new records are not
    // written after bytes that would end the next replay before them.
    void set_truncate_before_append(std::uint64_t good_length);

    // Closes the file; the next append opens it again (creating it if it was removed
    // meanwhile). Damage read_for_replay could not copy aside is tried once more first. Never
    // throws: nothing is buffered between appends.
    void close_writer() noexcept;

    const std::string& path() const { return path_; }

private:
    void open_writer();
    // Cuts the file back to end_ after a failed append; never throws.
    void roll_back() noexcept;
    // Copies the bytes from damaged_from_ on to a new side file, then forgets the offset.
    void keep_damaged_tail();
    // Writes `count` records, encode(i, scratch_) producing the i-th, as one unit: more than
    // one behind a Batch record.
    template <class Encode>
    void append_records(std::size_t count, Encode&& encode);

    std::string path_;
    std::optional<BufferedFileWriter> writer_;
    // Where the next opening of the file must cut it, if it is longer.
    std::optional<std::uint64_t> truncate_to_;
    // Start of damaged bytes that must be copied aside before the file is cut.
    std::optional<std::uint64_t> damaged_from_;
    std::optional<std::string> kept_damage_;
    // File length after the last record known to be complete (valid while writer_ is open).
    std::uint64_t end_ = 0;
    // Where the last successful append began.
    std::uint64_t last_start_ = 0;
    // Reused encoding buffer, so appends do not allocate in the steady state.
    std::vector<std::uint8_t> scratch_;
};

}  // namespace qorel
