#include "storage/graph_file.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "metadata/flat_text.h"
#include "codec.h"
#include "storage/crc32.h"
#include "storage/metadata_text.h"

namespace qorel {

namespace {

// Nodes larger than this cannot come from an index the engine built (m is at most 65535).
constexpr std::uint32_t kMaxStoredM = 65535;

// When no checksum vouches for the header (files of older saves), the neighbour lists it asks
// for may take at most this many bytes per byte of the graph and vectors files, or the floor
// if that is more. With m = 16 a node's lists take 145 bytes against at least 16 in the files
// (its record and a one-dimensional vector); a damaged m or node count asks for thousands.
constexpr std::uint64_t kUncheckedListBytesPerFileByte = 16;
constexpr std::uint64_t kUncheckedListFloor = std::uint64_t{64} << 20;

// Node records and header bytes are handed to the file in pieces of about this size.
constexpr std::size_t kChunk = 64 * 1024;

[[noreturn]] void invalid(const std::string& text) { throw QorelError::corrupt_file(text); }

}  // namespace

std::uint32_t read_layer_count(ByteReader& in, Slot s) {
    const std::uint32_t layers = in.u32();
    if (layers == 0 || layers > kMaxLevel + 1) invalid("slot " + std::to_string(s) + " has " + std::to_string(layers) + " layers");
    return layers;
}

namespace {

struct Trailer {
    SaveFingerprint print;
    std::size_t size = 0;              // bytes the trailer takes at the end of the file
    std::optional<std::uint64_t> graph_length;  // bytes covered by graph_crc (version 2 on)
    std::uint32_t graph_crc = 0;
};

void encode_trailer(const SaveFingerprint& p, std::uint64_t graph_length, std::uint32_t graph_crc,
                    std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    ByteWriter w(out);
    w.u32(kTrailerMagic);
    w.u32(kTrailerVersion);
    w.u64(p.vectors_length);
    // (no norms CRC: version 3 keeps the norms in the checked part of the graph file)
    w.u8(p.has_quantized ? 1 : 0);
    w.u64(p.quantized_length);
    w.u32(p.quantized_crc);
    w.u32(p.vectors_crc.value_or(0));
    w.u64(graph_length);
    w.u32(graph_crc);
    w.u64(p.save_id.value_or(0));
    w.u32(crc32(std::span<const std::uint8_t>(out).subspan(start)));
}

// The trailer that ends exactly where `bytes` ends, when it is intact: the current layout
// first, then the one of older saves.
std::optional<Trailer> trailer_at_end(std::span<const std::uint8_t> bytes) {
    for (std::size_t size : {kTrailerSize, kTrailerV2Size, kTrailerV1Size}) {
        if (bytes.size() < size) continue;
        const auto t = bytes.last(size);
        ByteReader in(t);
        if (in.u32() != kTrailerMagic) continue;
        const std::uint32_t version = in.u32();
        const std::size_t expected = version == 1 ? kTrailerV1Size : version == 2 ? kTrailerV2Size : kTrailerSize;
        if (version == 0 || version > kTrailerVersion || size != expected) continue;
        if (crc32(t.first(size - 4)) != ByteReader(t.last(4)).u32()) continue;
        Trailer out;
        out.size = size;
        out.print.vectors_length = in.u64();
        if (version < 3) out.print.norms_crc = in.u32();
        out.print.has_quantized = in.u8() == 1;
        out.print.quantized_length = in.u64();
        out.print.quantized_crc = in.u32();
        if (version >= 2) {
            out.print.vectors_crc = in.u32();
            out.graph_length = in.u64();
            out.graph_crc = in.u32();
        }
        if (version >= 3) out.print.save_id = in.u64();
        return out;
    }
    return std::nullopt;
}

std::uint32_t read_list_length(ByteReader& in, Slot s, std::uint32_t layer, std::uint32_t m) {
    const std::uint32_t count = in.u32();
    const std::size_t limit = layer == 0 ? 2 * std::size_t{m} : m;
    if (!in.fits(count, 4)) ByteReader::eof();
    if (count > limit) invalid("slot " + std::to_string(s) + " has " + std::to_string(count) + " neighbours");
    return count;
}

// Bytes the index will allocate for the node records ahead of `in`. Every list is stored with
// room for its limit plus one whatever the file holds in it, so with a large m a record of a
// few bytes stands for hundreds of kilobytes, and a damaged m or node count would otherwise
// drive the load into exhausting memory. Walks a copy of the cursor with the parse's checks,
// in the parse's order, so that a damaged file fails with the same text either way.
std::uint64_t node_memory(ByteReader in, std::uint32_t n, std::uint32_t m, std::uint64_t* upper_lists_out) {
    std::uint64_t upper_lists = 0;
    for (std::uint32_t s = 0; s < n; ++s) {
        const std::uint32_t layers = read_layer_count(in, s);
        upper_lists += layers - 1;
        for (std::uint32_t layer = 0; layer < layers; ++layer) in.bytes(std::size_t{read_list_length(in, s, layer, m)} * 4);
    }
    *upper_lists_out = upper_lists;
    return HnswIndex::node_record_bytes(n, upper_lists, m);
}

std::uint64_t machine_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

void check_list_memory(std::uint64_t needed, std::uint32_t n, std::uint32_t m, bool header_checked,
                       std::uint64_t file_bytes) {
    const std::string what = "graph of " + std::to_string(n) + " slots with m = " + std::to_string(m) + " needs " +
                             std::to_string(needed) + " bytes of neighbour lists, ";
    // A graph that cannot fit in this machine's memory fails here, before any of it is built,
    // rather than by running the process out of memory halfway through.
    // (a limit of this machine, not proof of damage: the same file may load on a larger one)
    if (needed > machine_memory()) throw QorelError::io(what + "more than this machine's memory");
    const std::uint64_t allowed = std::max(kUncheckedListFloor, kUncheckedListBytesPerFileByte * file_bytes);
    if (!header_checked && needed > allowed)
        invalid(what + "more than its files can account for (the header is damaged)");
}

}  // namespace

void write_metadata_record(ByteWriter& w, const MetaRecord& r) {
    w.u32(r.slot);
    w.string(r.id);
    if (r.text) {
        w.string(*r.text);
    } else {
        std::optional<std::string> text = r.metadata ? metadata_text(*r.metadata) : std::nullopt;
        w.string(text ? std::string_view(*text) : std::string_view());
    }
}

void write_graph_file(const HnswIndex& index, const std::vector<MetaRecord>& records, const SaveFingerprint& print,
                      BufferedFileWriter& out) {
    std::vector<std::uint8_t> buf;
    buf.reserve(kChunk + 4096);
    ByteWriter w(buf);
    std::uint32_t graph_crc = 0;
    std::uint64_t graph_length = 0;
    // The header, deleted slots and node records pass through the checksum on their way out.
    auto emit_checked = [&] {
        graph_crc = crc32c(buf, graph_crc);
        graph_length += buf.size();
        out.write(buf);
        buf.clear();
    };

    const auto n = static_cast<std::uint32_t>(index.node_count());
    w.u32(kGraphMagic);
    w.u32(kGraphVersion);
    w.u32(static_cast<std::uint32_t>(index.dim()));
    w.u8(static_cast<std::uint8_t>(index.metric()));
    w.u32(static_cast<std::uint32_t>(index.m()));
    w.u32(static_cast<std::uint32_t>(index.ef_construction()));
    w.u32(index.entry_point());
    w.u32(static_cast<std::uint32_t>(index.max_layer()));
    w.u32(n);
    w.u32(static_cast<std::uint32_t>(index.deleted().size()));
    for (Slot s : index.deleted()) {
        w.u32(s);
        if (buf.size() >= kChunk) emit_checked();
    }
    for (Slot s = 0; s < n; ++s) {
        index.encode_node(s, buf);
        if (buf.size() >= kChunk) emit_checked();
    }
    emit_checked();
    // The norms, inside the checked part: a damaged norm would skew every distance to its slot.
    const std::vector<float>& norms = index.norms();
    QOREL_ASSERT(norms.size() == n && print.save_id, "a graph file is written with every norm and a save id");
    for (std::size_t at = 0; at < n; at += kChunk / 4) {
        w.floats(std::span<const float>(norms).subspan(at, std::min<std::size_t>(kChunk / 4, n - at)));
        emit_checked();
    }

    w.u32(kMetadataMagic);
    w.u32(static_cast<std::uint32_t>(records.size()));
    for (const MetaRecord& r : records) {
        write_metadata_record(w, r);
        if (buf.size() >= kChunk) {
            out.write(buf);
            buf.clear();
        }
    }
    encode_trailer(print, graph_length, graph_crc, buf);
    out.write(buf);
}

namespace {

// The N node records, checked as they are read: layer counts, list lengths, and every
// neighbour a slot below N. REQUIRES: the index reserved for them.
void read_node_records(ByteReader& in, std::uint32_t n, std::uint32_t m, HnswIndex& index) {
    std::vector<Slot> list;
    for (std::uint32_t s = 0; s < n; ++s) {
        ByteReader ahead = in;
        index.load_append_node(read_layer_count(ahead, s) - 1);
        read_node_record(in, s, n, m, index, list);
    }
}

}  // namespace

void read_node_record(ByteReader& in, Slot s, std::uint32_t n, std::uint32_t m, HnswIndex& index, std::vector<Slot>& list) {
    const std::uint32_t layers = read_layer_count(in, s);
    if (layers != index.level(s) + 1) invalid("slot " + std::to_string(s) + " changed its level");
    for (std::uint32_t layer = 0; layer < layers; ++layer) {
        const std::uint32_t count = read_list_length(in, s, layer, m);
        // The list is taken whole and checked in one pass without an early exit, which the
        // compiler can vectorise; only a damaged list is searched for its first bad slot.
        const auto raw = in.bytes(std::size_t{count} * 4);
        list.resize(count);
        if (count) std::memcpy(list.data(), raw.data(), raw.size());
        Slot largest = 0;
        for (const Slot v : list) largest = std::max(largest, v);
        if (count && largest >= n) {
            const Slot bad = *std::find_if(list.begin(), list.end(), [n](Slot v) { return v >= n; });
            invalid("neighbour slot " + std::to_string(bad) + " out of range");
        }
        index.load_set_list(s, layer, list);
    }
}

namespace {

// The metadata section: one record per live id, ids checked for UTF-8. Flat texts stay where
// they lie in the file's bytes; other texts are parsed now.
void read_metadata_section(ByteReader& in, std::uint32_t n, ParsedGraph& g) {
    if (in.u32() != kMetadataMagic) invalid("bad metadata section magic");
    const std::uint32_t r = in.u32();
    // Every record takes at least 12 bytes (slot, id length, metadata length).
    if (!in.fits(r, 12)) ByteReader::eof();
    g.records.reserve(r);
    for (std::uint32_t i = 0; i < r; ++i) read_metadata_record(in, n, g);
}

}  // namespace

void read_metadata_record(ByteReader& in, std::uint32_t n, ParsedGraph& g) {
    StoredRecord rec;
    rec.slot = in.u32();
    if (rec.slot >= n) invalid("metadata record for slot " + std::to_string(rec.slot) + " out of range");
    const auto id = in.bytes(in.u32());
    rec.at = reinterpret_cast<const char*>(id.data());
    rec.id_length = static_cast<std::uint32_t>(id.size());
    if (auto bad = utf8_error_offset(rec.id())) invalid("invalid utf-8 sequence in id at byte " + std::to_string(*bad));
    g.id_bytes += id.size();
    const auto bytes = in.bytes(in.u32());
    if (!bytes.empty()) {
        // Flat texts are kept as they are, for the store to decode when a row is read; the
        // rest is parsed now.
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (scan_flat_object(text, [](const FlatMember&) {})) {
            rec.text_length = static_cast<std::uint32_t>(text.size());
            g.flat_text_bytes += text.size();
        } else {
            // Unparsable text: no metadata.
            if (std::optional<Json> value = parse_metadata_text(bytes)) {
                rec.parsed = static_cast<std::uint32_t>(g.parsed_metadata.size());
                g.parsed_metadata.push_back(std::move(*value));
            }
        }
    }
    g.records.push_back(rec);
}

ParsedGraph parse_graph_file(std::span<const std::uint8_t> bytes, std::uint64_t vectors_file_bytes) {
    ByteReader in(bytes);
    if (in.u32() != kGraphMagic) invalid("bad graph magic");
    const std::uint32_t version = in.u32();
    if (version != 2 && version != kGraphVersion) invalid("unsupported graph version: " + std::to_string(version));
    const std::uint32_t dim = in.u32();
    const std::uint8_t metric = in.u8();
    if (metric > 2) invalid("unknown metric: " + std::to_string(metric));

    // The trailer's checksum covers everything up to the metadata section; once it holds, the
    // counts below are the ones the engine wrote.
    const std::optional<Trailer> trailer = trailer_at_end(bytes);
    if (trailer && trailer->graph_length) {
        const std::uint64_t covered = *trailer->graph_length;
        if (covered < kGraphHeaderSize || covered > bytes.size() - trailer->size)
            invalid("graph trailer does not fit its file (the file is damaged)");
        if (crc32c(bytes.first(static_cast<std::size_t>(covered))) != trailer->graph_crc)
            invalid("graph checksum mismatch (the file is damaged)");
    }
    const bool header_checked = trailer && trailer->graph_length;
    // Version 3 files keep their norms under the checksum, so they need the trailer that has it.
    if (version >= 3 && !(trailer && trailer->print.save_id))
        invalid("damaged trailer at the end of the graph file");

    const std::uint32_t m = in.u32();
    const std::uint32_t ef_construction = in.u32();
    const std::uint32_t entry_point = in.u32();
    const std::uint32_t max_layer = in.u32();
    const std::uint32_t n = in.u32();
    const std::uint32_t d = in.u32();
    if (dim == 0) invalid("invalid graph header: dimension 0");
    if (m < 2 || m > kMaxStoredM) invalid("invalid graph header: m = " + std::to_string(m));
    if (max_layer > kMaxLevel) invalid("invalid graph header: max_layer = " + std::to_string(max_layer));
    if (n == 0 ? entry_point != kNoSlot : entry_point >= n)
        invalid("invalid graph header: entry point " + std::to_string(entry_point) + " of " + std::to_string(n) + " slots");

    ParsedGraph g{HnswIndex(dim, static_cast<Metric>(metric), m, ef_construction), {}, {}, 0, 0, {}, entry_point, max_layer, {}, {}};
    if (!in.fits(d, 4)) ByteReader::eof();
    g.deleted.reserve(d);
    for (std::uint32_t i = 0; i < d; ++i) {
        const Slot s = in.u32();
        if (s >= n) invalid("deleted slot " + std::to_string(s) + " out of range");
        g.deleted.insert(s);
    }
    // Every node record takes at least 8 bytes (its layer count and one list length).
    if (!in.fits(n, 8)) ByteReader::eof();
    std::uint64_t upper_lists = 0;
    check_list_memory(node_memory(in, n, m, &upper_lists), n, m, header_checked, bytes.size() + vectors_file_bytes);
    // The memory check above vouches for these sizes.
    g.index.load_reserve(n, static_cast<std::size_t>(upper_lists));
    read_node_records(in, n, m, g.index);
    if (version >= 3) {
        g.norms.emplace(n);
        in.floats(g.norms->data(), n);
    }
    if (header_checked && in.position() != *trailer->graph_length)
        invalid("graph trailer disagrees with the node records (the file is damaged)");

    read_metadata_section(in, n, g);

    if (trailer) {
        if (in.remaining() != trailer->size) invalid("graph trailer is not where the metadata section ends (the file is damaged)");
        g.print = trailer->print;
    } else if (in.remaining() >= 4 && in.u32() == kTrailerMagic) {
        // Files without a trailer may carry other bytes here, which are ignored; a trailer
        // that no longer checks out is damage, and loading past it would skip the check that
        // the vector files belong to this graph.
        invalid("damaged trailer at the end of the graph file");
    }
    return g;
}

std::optional<GraphFileSummary> peek_graph_file(Env& env, const std::string& path) {
    try {
        const std::uint64_t size = env.file_size(path);
        if (size < kGraphHeaderSize + 8 + kTrailerV1Size) return std::nullopt;
        const std::vector<std::uint8_t> head = env.read_file_range(path, 0, 12);
        ByteReader h(head);
        if (h.u32() != kGraphMagic) return std::nullopt;
        if (const std::uint32_t version = h.u32(); version != 2 && version != kGraphVersion) return std::nullopt;
        GraphFileSummary out;
        out.dim = h.u32();
        const std::size_t tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, kTrailerSize));
        const std::optional<Trailer> t = trailer_at_end(env.read_file_range(path, size - tail_size, tail_size));
        if (!t) return std::nullopt;
        out.print = t->print;
        return out;
    } catch (const QorelError&) {
        return std::nullopt;  // unreadable: it cannot be the graph to open
    }
}

}  // namespace qorel
