// "graph.delta": the increments added to one full save. A save that follows a full one (or
// another increment) appends one segment naming the full save's id, holding what changed since
// the previous segment: the new slot count, entry point and top layer; slots deleted; the node
// records of slots whose lists changed; norms, rows and quantized codes of new and re-vectored
// slots; id and metadata records of new slots and of slots whose metadata changed; and the
// length and CRC-32C of "vectors.bin" (new slots' rows are appended to that file in place).
// docs/file-format.md gives the layout byte by byte.
//
// A segment is whole or it is not there: a torn last segment (an interrupted append) is
// ignored, and the next writer cuts it off. A damaged segment followed by an intact one is
// damage, and nothing after the last good segment can be trusted silently: opening fails.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "hnsw/index.h"
#include "quantizer.h"
#include "storage/graph_file.h"

namespace qorel {

inline constexpr std::uint32_t kDeltaMagic = 0x544C4451;  // "QDLT"
// magic, payload length; the payload; its CRC.
inline constexpr std::size_t kSegmentOverhead = 4 + 8 + 4;

// The intact segments of a graph.delta that add to the save `base_id`.
struct DeltaScan {
    std::vector<std::span<const std::uint8_t>> payloads;
    // Bytes from the start through the last intact segment: where the next one is appended.
    std::uint64_t good_length = 0;
    // The file's first segment names another save: the whole file is left over from an earlier
    // base and adds nothing.
    bool stale = false;
    // Bytes after good_length that are no segment (an interrupted append).
    bool torn = false;
    // "vectors.bin" as the last segment records it.
    std::optional<std::pair<std::uint64_t, std::uint32_t>> vectors;
};

// Splits the file's bytes into segments and checks each one's CRC and place in the sequence.
// Throws QorelError (corrupt file) for damage: a bad segment with an intact one after it, or
// a segment out of sequence.
DeltaScan scan_delta(std::span<const std::uint8_t> bytes, std::uint64_t base_id);

// The state a loaded graph grows into as segments are applied: the graph and records in `g`,
// the norms, and the rows and codes that replace stored ones (views into the segments' bytes).
struct DeltaApply {
    ParsedGraph& g;
    std::vector<float>& norms;
    std::vector<std::pair<Slot, std::span<const std::uint8_t>>> rows;   // dim f32 each
    std::vector<std::pair<Slot, std::span<const std::uint8_t>>> codes;  // dim bytes each
    // Every segment carried the codes of its new and re-vectored slots.
    bool codes_complete = true;
};

// Applies one segment's payload (from scan_delta), checking every count and slot against the
// bytes that hold them before anything is allocated for it.
void apply_segment(std::span<const std::uint8_t> payload, DeltaApply& state);

// What one incremental save writes. The node records, norms, rows and codes are the writer's
// to fill through encode_segment's arguments.
struct SegmentInput {
    std::uint64_t base_id = 0;
    std::uint32_t sequence = 0;
    const HnswIndex* index = nullptr;
    std::vector<Slot> deleted;
    std::vector<Slot> nodes;        // slots whose node records are written
    std::vector<Slot> norm_slots;   // new and re-vectored slots
    std::vector<Slot> row_slots;    // re-vectored slots the vectors file already holds
    const ScalarQuantizer* quantizer = nullptr;  // codes of norm_slots, when set
    std::vector<MetaRecord> records;
    std::uint64_t vectors_length = 0;
    std::uint32_t vectors_crc = 0;
};

// One whole segment: header, payload and CRC.
std::vector<std::uint8_t> encode_segment(const SegmentInput& in);

}  // namespace qorel
