#include "storage/delta_file.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "codec.h"
#include "storage/crc32.h"

namespace qorel {

namespace {

[[noreturn]] void invalid(const std::string& text) { throw QorelError::corrupt_file(text); }

// The fixed fields of a payload: base id, sequence, N, entry point, top layer, the five
// counts, the codes flag, the vectors length and CRC.
constexpr std::size_t kMinPayload = 8 + 4 + 12 + 5 * 4 + 1 + 4 + 8 + 4;

// The payload of the segment that starts at `at`, when the segment is whole and its CRC holds.
std::optional<std::span<const std::uint8_t>> intact_at(std::span<const std::uint8_t> bytes, std::size_t at) {
    if (bytes.size() - at < kSegmentOverhead) return std::nullopt;
    ByteReader in(bytes.subspan(at));
    if (in.u32() != kDeltaMagic) return std::nullopt;
    const std::uint64_t length = in.u64();
    if (length > in.remaining() - 4) return std::nullopt;
    const auto payload = in.bytes(static_cast<std::size_t>(length));
    const std::uint32_t crc = in.u32();
    if (crc32c(bytes.subspan(at, 12 + payload.size())) != crc) return std::nullopt;
    return payload;
}

// Whether an intact segment starts anywhere after `at`.
bool intact_after(std::span<const std::uint8_t> bytes, std::size_t at) {
    for (std::size_t k = at + 1; k + kSegmentOverhead <= bytes.size(); ++k) {
        std::uint32_t magic;
        std::memcpy(&magic, bytes.data() + k, 4);
        if (magic == kDeltaMagic && intact_at(bytes, k)) return true;
    }
    return false;
}

}  // namespace

DeltaScan scan_delta(std::span<const std::uint8_t> bytes, std::uint64_t base_id) {
    DeltaScan out;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::optional<std::span<const std::uint8_t>> payload = intact_at(bytes, at);
        if (!payload) {
            // An append cut short leaves nothing whole behind it; anything whole there means
            // the bytes at `at` were damaged after they were written.
            if (intact_after(bytes, at)) invalid("graph.delta is damaged at byte " + std::to_string(at));
            out.torn = true;
            break;
        }
        if (payload->size() < kMinPayload) invalid("graph.delta segment at byte " + std::to_string(at) + " is too short");
        ByteReader head(*payload);
        const std::uint64_t base = head.u64();
        const std::uint32_t sequence = head.u32();
        if (base != base_id) {
            // Increments of an earlier full save that a crash kept from being deleted.
            if (at == 0) {
                out.stale = true;
                return out;
            }
            invalid("graph.delta mixes the increments of two saves");
        }
        if (sequence != out.payloads.size()) invalid("graph.delta segment " + std::to_string(sequence) + " out of sequence");
        out.payloads.push_back(*payload);
        at += kSegmentOverhead + payload->size();
        out.good_length = at;
    }
    if (!out.payloads.empty()) {
        ByteReader tail(out.payloads.back().last(12));
        const std::uint64_t length = tail.u64();
        out.vectors.emplace(length, tail.u32());
    }
    return out;
}

void apply_segment(std::span<const std::uint8_t> payload, DeltaApply& st) {
    ParsedGraph& g = st.g;
    HnswIndex& index = g.index;
    const std::size_t dim = index.dim();
    const auto m = static_cast<std::uint32_t>(index.m());
    ByteReader in(payload);
    in.u64();  // the base and the sequence, which scan_delta checked
    in.u32();
    const std::uint32_t n = in.u32();
    const std::uint32_t entry = in.u32();
    const std::uint32_t max_layer = in.u32();
    const std::size_t before = index.node_count();
    if (n < before) invalid("graph.delta shrinks the graph from " + std::to_string(before) + " to " + std::to_string(n) + " slots");
    if (n == 0 ? entry != kNoSlot : entry >= n)
        invalid("graph.delta entry point " + std::to_string(entry) + " of " + std::to_string(n) + " slots");
    if (max_layer > kMaxLevel) invalid("graph.delta max_layer = " + std::to_string(max_layer));

    const std::uint32_t deleted = in.u32();
    if (!in.fits(deleted, 4)) ByteReader::eof();
    for (std::uint32_t i = 0; i < deleted; ++i) {
        const Slot s = in.u32();
        if (s >= n) invalid("graph.delta deletes slot " + std::to_string(s) + " out of range");
        g.deleted.insert(s);
    }

    // Every node record takes at least 12 bytes (slot, layer count, one list length), and every
    // new slot has one: the nodes allocated are bounded by the segment's length.
    const std::uint32_t nodes = in.u32();
    if (!in.fits(nodes, 12)) ByteReader::eof();
    if (n - before > nodes) invalid("graph.delta lacks the node records of new slots");
    std::vector<Slot> scratch;
    for (std::uint32_t i = 0; i < nodes; ++i) {
        const Slot s = in.u32();
        if (s >= n) invalid("graph.delta node record for slot " + std::to_string(s) + " out of range");
        if (s >= index.node_count()) {
            if (s != index.node_count()) invalid("graph.delta adds slot " + std::to_string(s) + " out of order");
            ByteReader ahead = in;
            index.load_append_node(read_layer_count(ahead, s) - 1);
        }
        read_node_record(in, s, n, m, index, scratch);
    }
    if (index.node_count() != n) invalid("graph.delta lacks the node records of new slots");
    g.entry_point = entry;
    g.max_layer = max_layer;

    const std::uint32_t norms = in.u32();
    if (!in.fits(norms, 8)) ByteReader::eof();
    st.norms.resize(n, std::numeric_limits<float>::quiet_NaN());
    for (std::uint32_t i = 0; i < norms; ++i) {
        const Slot s = in.u32();
        if (s >= n) invalid("graph.delta norm for slot " + std::to_string(s) + " out of range");
        st.norms[s] = in.f32();
    }
    for (std::size_t s = before; s < n; ++s)
        if (std::isnan(st.norms[s])) invalid("graph.delta lacks the norm of slot " + std::to_string(s));

    const std::uint32_t rows = in.u32();
    if (!in.fits(rows, 4 + 4 * dim)) ByteReader::eof();
    for (std::uint32_t i = 0; i < rows; ++i) {
        const Slot s = in.u32();
        if (s >= before) invalid("graph.delta row for slot " + std::to_string(s) + " that the vectors file lacks");
        st.rows.emplace_back(s, in.bytes(4 * dim));
    }

    const bool has_codes = in.u8() == 1;
    const std::uint32_t codes = in.u32();
    if (!in.fits(codes, 4 + dim)) ByteReader::eof();
    for (std::uint32_t i = 0; i < codes; ++i) {
        const Slot s = in.u32();
        if (s >= n) invalid("graph.delta codes for slot " + std::to_string(s) + " out of range");
        st.codes.emplace_back(s, in.bytes(dim));
    }
    if (!has_codes) st.codes_complete = false;

    const std::uint32_t records = in.u32();
    if (!in.fits(records, 12)) ByteReader::eof();
    g.records.reserve(g.records.size() + records);
    for (std::uint32_t i = 0; i < records; ++i) read_metadata_record(in, n, g);

    in.u64();  // the vectors length and CRC, which scan_delta took
    in.u32();
    if (!in.at_end()) invalid("graph.delta segment has bytes after its fields");
}

std::vector<std::uint8_t> encode_segment(const SegmentInput& in) {
    const HnswIndex& index = *in.index;
    const std::size_t dim = index.dim();
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u32(kDeltaMagic);
    w.u64(0);  // the payload length, set below
    w.u64(in.base_id);
    w.u32(in.sequence);
    w.u32(static_cast<std::uint32_t>(index.node_count()));
    w.u32(index.entry_point());
    w.u32(static_cast<std::uint32_t>(index.max_layer()));
    w.u32(static_cast<std::uint32_t>(in.deleted.size()));
    for (const Slot s : in.deleted) w.u32(s);
    w.u32(static_cast<std::uint32_t>(in.nodes.size()));
    for (const Slot s : in.nodes) {
        w.u32(s);
        index.encode_node(s, out);
    }
    w.u32(static_cast<std::uint32_t>(in.norm_slots.size()));
    for (const Slot s : in.norm_slots) {
        w.u32(s);
        w.f32(index.norms()[s]);
    }
    w.u32(static_cast<std::uint32_t>(in.row_slots.size()));
    for (const Slot s : in.row_slots) {
        w.u32(s);
        w.floats({index.vector(s), dim});
    }
    w.u8(in.quantizer ? 1 : 0);
    w.u32(in.quantizer ? static_cast<std::uint32_t>(in.norm_slots.size()) : 0);
    if (in.quantizer) {
        for (const Slot s : in.norm_slots) {
            w.u32(s);
            const std::size_t at = out.size();
            out.resize(at + dim);
            in.quantizer->quantize_into(index.vector(s), out.data() + at);
        }
    }
    w.u32(static_cast<std::uint32_t>(in.records.size()));
    for (const MetaRecord& r : in.records) write_metadata_record(w, r);
    w.u64(in.vectors_length);
    w.u32(in.vectors_crc);
    const std::uint64_t length = out.size() - 12;
    std::memcpy(out.data() + 4, &length, 8);
    w.u32(crc32c(out));
    return out;
}

}  // namespace qorel
