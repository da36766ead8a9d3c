// The graph file, "graph.qorel", and its temporary twin graph.tmp: the one codec for its header,
// deleted slots, node records, metadata section and trailer, used by save, open and the
// recovery after an interrupted save. docs/file-format.md gives the layout byte by byte.
//
// The trailer ties the file to the vector files written by the same save (their lengths and
// checksums) and carries a checksum of the header, deleted slots and node records, so that a
// damaged count in them is refused before it can size an allocation. The metadata section is
// outside that checksum on purpose: a damaged metadata text only costs its record the metadata.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "codec.h"
#include "hnsw/index.h"
#include "storage/files.h"
#include "types.h"

namespace qorel {

// The unit in which the graph file stores ids and metadata, as a save writes it.
struct MetaRecord {
    Slot slot;
    std::string id;
    std::optional<Json> metadata = std::nullopt;
    // A row never decoded since it was read, written back as its stored text in place of
    // `metadata`.
    std::optional<std::string_view> text = std::nullopt;

    bool has_metadata() const { return metadata.has_value() || text.has_value(); }
};

// A record as an open reads it: views into the graph file's bytes, so that reading 100,000
// records allocates nothing per record. Flat metadata (see metadata/flat_text.h) stays as its
// text for the reader to decode when it needs to; anything else is parsed at once into
// ParsedGraph::parsed_metadata.
struct StoredRecord {
    static constexpr std::uint32_t kNone = UINT32_MAX;

    Slot slot;
    std::uint32_t parsed = kNone;  // index into parsed_metadata, or kNone
    // The id's first byte; the record's text follows the id after its 4-byte length. One
    // pointer and two lengths keep a record at 24 bytes, where two views would take 40.
    const char* at = nullptr;
    std::uint32_t id_length = 0;
    std::uint32_t text_length = 0;  // of a flat metadata text; 0 when there is none

    std::string_view id() const { return {at, id_length}; }
    std::string_view text() const { return text_length ? std::string_view(at + id_length + 4, text_length) : std::string_view(); }
    bool has_text() const { return text_length != 0; }
    bool has_metadata() const { return has_text() || parsed != kNone; }
};

inline constexpr std::uint32_t kGraphMagic = 0x48535747;     // "GWSH"
// Version 3 keeps the norms after the node records; version 2 (older saves, still read) kept
// them at the end of "vectors.bin".
inline constexpr std::uint32_t kGraphVersion = 3;
inline constexpr std::uint32_t kMetadataMagic = 0x4D455441;  // "ATEM"
inline constexpr std::uint32_t kTrailerMagic = 0x52504651;   // "QFPR"
// Trailer versions and their sizes. Version 1 (older saves) lacks the whole-vectors checksum
// and the graph checksum, version 2 the save id; both are still read.
inline constexpr std::uint32_t kTrailerVersion = 3;
inline constexpr std::size_t kTrailerV1Size = 37;
inline constexpr std::size_t kTrailerV2Size = 53;
inline constexpr std::size_t kTrailerSize = 57;
// Header bytes before the deleted slots.
inline constexpr std::size_t kGraphHeaderSize = 37;

// What one save wrote to the two vector files, recorded in its graph file's trailer.
struct SaveFingerprint {
    std::uint64_t vectors_length = 0;
    std::uint32_t norms_crc = 0;  // CRC-32 of the norm section of "vectors.bin"
    // CRC-32C of the whole "vectors.bin"; absent in trailers of older saves.
    std::optional<std::uint32_t> vectors_crc;
    bool has_quantized = false;
    std::uint64_t quantized_length = 0;
    std::uint32_t quantized_crc = 0;  // CRC-32 of the whole "vectors.sq8"
    // A random number naming the save (version 3 on): the increments of graph.delta name the
    // save they add to. Files with one keep the norms in the graph file, and "vectors.bin" is
    // rows only and may grow in place past vectors_length.
    std::optional<std::uint64_t> save_id;

    bool operator==(const SaveFingerprint&) const = default;
};

// Writes the whole graph file: header, deleted slots, every node's lists (each read under its
// lock), the norms, the metadata section and the trailer recording `print` (which must carry
// a save id). The graph checksum in the
// trailer is taken from the bytes as they are written.
void write_graph_file(const HnswIndex& index, const std::vector<MetaRecord>& records, const SaveFingerprint& print,
                      BufferedFileWriter& out);

// A graph file parsed into an index without vectors, plus its records and trailer. The
// records' views point into the bytes that were parsed: they live as long as those.
struct ParsedGraph {
    HnswIndex index;
    std::vector<StoredRecord> records;
    // Metadata of records that is not flat, parsed (a record whose text does not parse has none).
    std::vector<Json> parsed_metadata;
    // Bytes of all records' ids, and of their flat texts, together.
    std::size_t id_bytes = 0;
    std::size_t flat_text_bytes = 0;
    std::unordered_set<Slot> deleted;
    Slot entry_point = kNoSlot;
    std::size_t max_layer = 0;
    std::optional<SaveFingerprint> print;
    // Every slot's norm, from files that keep them (version 3).
    std::optional<std::vector<float>> norms;
};

// One id and metadata record as the metadata section stores it (absent metadata, and metadata
// that cannot be serialised, as length 0).
void write_metadata_record(ByteWriter& w, const MetaRecord& r);
// One id and metadata record, read from `in` and checked as the metadata section's are (slot
// below n, id UTF-8), appended to g's records. Shared with graph.delta's records.
void read_metadata_record(ByteReader& in, std::uint32_t n, ParsedGraph& g);
// One node record for slot `s` into `index` (whose node s exists with the record's level),
// checked as the graph file's are. Throws on damage.
void read_node_record(ByteReader& in, Slot s, std::uint32_t n, std::uint32_t m, HnswIndex& index, std::vector<Slot>& scratch);
// The layer count of a node record, checked.
std::uint32_t read_layer_count(ByteReader& in, Slot s);

// Parses a whole graph file. `vectors_file_bytes` is the length of the vectors file it is
// opened with: when no trailer checksum vouches for the header, the neighbour lists the
// header asks for must stay within a small multiple of the two files' sizes. Every format
// violation is thrown as an I/O error with a fixed text.
ParsedGraph parse_graph_file(std::span<const std::uint8_t> bytes, std::uint64_t vectors_file_bytes);

// The parts of a graph file that decide which save it belongs to, read without loading it:
// its dimension and its trailer. nullopt when the file is not a graph file or has no intact
// trailer (a file cut short while it was written, or one from before trailers existed).
struct GraphFileSummary {
    std::uint32_t dim = 0;
    SaveFingerprint print;
};
std::optional<GraphFileSummary> peek_graph_file(Env& env, const std::string& path);

}  // namespace qorel
