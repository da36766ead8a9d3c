#include "storage/storage.h"

#include <unistd.h>

#include <cstring>
#include <limits>
#include <memory>
#include <unordered_set>

#include "storage/codec.h"
#include "storage/crc32.h"
#include "storage/wal.h"

namespace qorel {

namespace {

// Nodes larger than this cannot come from an index the engine built (m is at most 65535).
constexpr std::uint32_t kMaxStoredM = 65535;

[[noreturn]] void invalid(const std::string& text) { throw QorelError::io(text); }

void put_u32(BufferedFileWriter& out, std::uint32_t v) { out.write(&v, 4); }

std::span<const std::uint8_t> as_bytes(const void* p, std::size_t n) {
    return {static_cast<const std::uint8_t*>(p), n};
}

std::uint32_t read_layer_count(ByteReader& in, Slot s) {
    const std::uint32_t layers = in.u32();
    if (layers == 0 || layers > kMaxLevel + 1) invalid("slot " + std::to_string(s) + " has " + std::to_string(layers) + " layers");
    return layers;
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
std::uint64_t node_memory(ByteReader in, std::uint32_t n, std::uint32_t m) {
    std::uint64_t upper_lists = 0;
    for (std::uint32_t s = 0; s < n; ++s) {
        const std::uint32_t layers = read_layer_count(in, s);
        upper_lists += layers - 1;
        for (std::uint32_t layer = 0; layer < layers; ++layer) in.bytes(std::size_t{read_list_length(in, s, layer, m)} * 4);
    }
    // A layer-0 list (2m + 2 words), its lock byte, the level byte and the first-block index;
    // an upper list (m + 2 words) and its lock byte.
    const std::uint64_t per_node = (2 * std::uint64_t{m} + 2) * 4 + 1 + 1 + 4;
    const std::uint64_t per_upper_list = (std::uint64_t{m} + 2) * 4 + 1;
    return n * per_node + upper_lists * per_upper_list;
}

std::uint64_t machine_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

// The graph file parsed into an index without vectors, plus its records and trailer.
struct ParsedGraph {
    HnswIndex index;
    std::vector<MetaRecord> records;
    std::unordered_set<Slot> deleted;
    Slot entry_point = kNoSlot;
    std::size_t max_layer = 0;
    std::optional<SaveFingerprint> print;
};

ParsedGraph parse_graph(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    if (in.u32() != kGraphMagic) invalid("bad graph magic");
    const std::uint32_t version = in.u32();
    if (version != kGraphVersion) invalid("unsupported graph version: " + std::to_string(version));
    const std::uint32_t dim = in.u32();
    const std::uint8_t metric = in.u8();
    if (metric > 2) invalid("unknown metric: " + std::to_string(metric));
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

    ParsedGraph g{HnswIndex(dim, static_cast<Metric>(metric), m, ef_construction), {}, {}, entry_point, max_layer, {}};
    if (!in.fits(d, 4)) ByteReader::eof();
    g.deleted.reserve(d);
    for (std::uint32_t i = 0; i < d; ++i) {
        const Slot s = in.u32();
        if (s >= n) invalid("deleted slot " + std::to_string(s) + " out of range");
        g.deleted.insert(s);
    }
    // Every node record takes at least 8 bytes (its layer count and one list length).
    if (!in.fits(n, 8)) ByteReader::eof();
    // A graph that cannot fit in this machine's memory fails here, before any of it is built,
    // rather than by running the process out of memory halfway through.
    const std::uint64_t needed = node_memory(in, n, m);
    if (needed > machine_memory())
        invalid("graph of " + std::to_string(n) + " slots with m = " + std::to_string(m) + " needs " + std::to_string(needed) +
                " bytes of neighbour lists, more than this machine's memory");
    std::vector<Slot> list;
    for (std::uint32_t s = 0; s < n; ++s) {
        const std::uint32_t layers = read_layer_count(in, s);
        g.index.load_append_node(layers - 1);
        for (std::uint32_t layer = 0; layer < layers; ++layer) {
            const std::uint32_t count = read_list_length(in, s, layer, m);
            list.resize(count);
            for (std::uint32_t i = 0; i < count; ++i) {
                list[i] = in.u32();
                if (list[i] >= n) invalid("neighbour slot " + std::to_string(list[i]) + " out of range");
            }
            g.index.load_set_list(s, layer, list);
        }
    }

    if (in.u32() != kMetadataMagic) invalid("bad metadata section magic");
    const std::uint32_t r = in.u32();
    // Every record takes at least 12 bytes (slot, id length, metadata length).
    if (!in.fits(r, 12)) ByteReader::eof();
    g.records.reserve(r);
    for (std::uint32_t i = 0; i < r; ++i) {
        MetaRecord rec;
        rec.slot = in.u32();
        if (rec.slot >= n) invalid("metadata record for slot " + std::to_string(rec.slot) + " out of range");
        const std::uint32_t id_len = in.u32();
        auto id = in.bytes(id_len);
        rec.id.assign(id.begin(), id.end());
        if (auto bad = utf8_error_offset(rec.id)) invalid("invalid utf-8 sequence in id at byte " + std::to_string(*bad));
        const std::uint32_t meta_len = in.u32();
        if (meta_len) rec.metadata = parse_metadata_text(in.bytes(meta_len));  // unparsable text: no metadata
        g.records.push_back(std::move(rec));
    }

    // The save's trailer, when this graph file has one (older files end here).
    if (in.remaining() >= 4) {
        const std::size_t start = in.position();
        if (in.u32() == kTrailerMagic && in.remaining() >= 4 + 8 + 4 + 1 + 8 + 4 + 4) {
            SaveFingerprint p;
            in.u32();  // trailer version
            p.vectors_length = in.u64();
            p.norms_crc = in.u32();
            p.has_quantized = in.u8() == 1;
            p.quantized_length = in.u64();
            p.quantized_crc = in.u32();
            const std::size_t end = in.position();
            if (in.u32() == crc32(bytes.subspan(start, end - start))) g.print = p;
        }
    }
    return g;
}

// Slots held by a vectors file of `bytes` bytes for this dimension, or nullopt when the length
// is not whole slots (vector and norm).
std::optional<std::uint64_t> vector_file_slots(std::uint64_t bytes, std::uint64_t dim) {
    const std::uint64_t per_slot = 4 * (dim + 1);
    if (bytes % per_slot != 0) return std::nullopt;
    return bytes / per_slot;
}

bool vectors_match(const SaveFingerprint& p, const MappedFile& map, std::size_t dim) {
    if (p.vectors_length != map.size()) return false;
    auto slots = vector_file_slots(map.size(), dim);
    if (!slots) return false;
    const std::size_t norms_at = static_cast<std::size_t>(*slots) * dim * 4;
    return crc32(map.bytes().subspan(norms_at)) == p.norms_crc;
}

}  // namespace

std::string join_path(const std::string& directory, std::string_view name) {
    if (directory.empty()) return std::string(name);
    std::string out = directory;
    if (out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

Storage Storage::make(const std::string& directory) {
    return {join_path(directory, "graph.qorel"), join_path(directory, "vectors.bin"),
            join_path(directory, "vectors.sq8")};
}

std::string temporary_path(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ".tmp";
    return path.substr(0, dot) + ".tmp";
}

void write_vectors_file(const HnswIndex& index, BufferedFileWriter& out, SaveFingerprint& print) {
    const VectorStore& store = index.vectors();
    out.write(store.data(), store.float_count() * 4);
    const auto& norms = index.norms();
    out.write(norms.data(), norms.size() * 4);
    print.vectors_length = (store.float_count() + norms.size()) * 4;
    print.norms_crc = crc32(as_bytes(norms.data(), norms.size() * 4));
}

void write_quantized_file(const ScalarQuantizer& quantizer, const std::vector<std::uint8_t>& codes,
                          BufferedFileWriter& out, SaveFingerprint& print) {
    std::vector<std::uint8_t> head;
    quantizer.save(head);
    out.write(head);
    out.write(codes);
    print.has_quantized = true;
    print.quantized_length = head.size() + codes.size();
    print.quantized_crc = crc32(codes, crc32(head));
}

void save_graph(const HnswIndex& index, BufferedFileWriter& out) {
    const auto n = static_cast<std::uint32_t>(index.node_count());
    put_u32(out, kGraphMagic);
    put_u32(out, kGraphVersion);
    put_u32(out, static_cast<std::uint32_t>(index.dim()));
    const auto metric = static_cast<std::uint8_t>(index.metric());
    out.write(&metric, 1);
    put_u32(out, static_cast<std::uint32_t>(index.m()));
    put_u32(out, static_cast<std::uint32_t>(index.ef_construction()));
    put_u32(out, index.entry_point());
    put_u32(out, static_cast<std::uint32_t>(index.max_layer()));
    put_u32(out, n);
    put_u32(out, static_cast<std::uint32_t>(index.deleted().size()));
    for (Slot s : index.deleted()) put_u32(out, s);
    for (Slot s = 0; s < n; ++s) {
        const std::size_t layers = index.level(s) + 1;
        put_u32(out, static_cast<std::uint32_t>(layers));
        for (std::size_t layer = 0; layer < layers; ++layer) {
            const std::vector<Slot> list = index.neighbours(s, layer);
            put_u32(out, static_cast<std::uint32_t>(list.size()));
            out.write(list.data(), list.size() * 4);
        }
    }
}

void write_metadata_section(const std::vector<MetaRecord>& records, const SaveFingerprint& print,
                            BufferedFileWriter& out) {
    put_u32(out, kMetadataMagic);
    put_u32(out, static_cast<std::uint32_t>(records.size()));
    for (const MetaRecord& r : records) {
        put_u32(out, r.slot);
        put_u32(out, static_cast<std::uint32_t>(r.id.size()));
        out.write(r.id.data(), r.id.size());
        // Absent metadata, and metadata that cannot be serialised, are written as length 0.
        std::optional<std::string> text = r.metadata ? metadata_text(*r.metadata) : std::nullopt;
        put_u32(out, text ? static_cast<std::uint32_t>(text->size()) : 0);
        if (text) out.write(text->data(), text->size());
    }
    std::vector<std::uint8_t> t;
    ByteWriter w(t);
    w.u32(kTrailerMagic);
    w.u32(1);
    w.u64(print.vectors_length);
    w.u32(print.norms_crc);
    w.u8(print.has_quantized ? 1 : 0);
    w.u64(print.quantized_length);
    w.u32(print.quantized_crc);
    w.u32(crc32(t));
    out.write(t);
}

LoadedStorage load_storage(const Storage& storage) {
    std::vector<std::uint8_t> graph_bytes = read_file(storage.graph_path);
    auto map = std::make_shared<MappedFile>(MappedFile::open(storage.vectors_path));
    ParsedGraph g = parse_graph(graph_bytes);
    std::vector<std::uint8_t>().swap(graph_bytes);
    std::size_t dim = g.index.dim();

    if (g.print && !vectors_match(*g.print, *map, dim)) {
        // The vectors file is not the one this graph was saved with: a save stopped between its
        // renames. Its complete graph.tmp, when it matches, describes the newer files.
        const std::string tmp = temporary_path(storage.graph_path);
        bool recovered = false;
        if (path_exists(tmp)) {
            try {
                ParsedGraph newer = parse_graph(read_file(tmp));
                if (newer.print && newer.index.dim() == dim && vectors_match(*newer.print, *map, dim)) {
                    g = std::move(newer);
                    recovered = true;
                }
            } catch (const QorelError&) {
            }
        }
        if (!recovered) invalid("vectors.bin does not belong to graph.qorel (a save was interrupted)");
    }

    const std::size_t n = g.index.node_count();
    auto slots = vector_file_slots(map->size(), dim);
    if (!slots) invalid("vectors.bin length " + std::to_string(map->size()) + " is not whole slots of dimension " + std::to_string(dim));
    if (*slots < n) invalid("vectors.bin holds " + std::to_string(*slots) + " slots, the graph " + std::to_string(n));

    // Only the slots the graph knows are used: a longer file comes from a later save.
    const auto* floats = reinterpret_cast<const float*>(map->data());
    std::vector<float> norms(n);
    if (n) std::memcpy(norms.data(), floats + *slots * dim, n * 4);
    VectorStore store = n ? VectorStore::mapped(map, floats, n * dim, n * dim) : VectorStore();
    map.reset();
    g.index.load_finish(std::move(store), std::move(norms), std::move(g.deleted), g.entry_point, g.max_layer);

    if (path_exists(storage.quantized_path)) {
        std::vector<std::uint8_t> bytes = read_file(storage.quantized_path);
        const bool from_this_save = !g.print || (g.print->has_quantized && g.print->quantized_length == bytes.size() &&
                                                 g.print->quantized_crc == crc32(bytes));
        if (from_this_save) {
            std::size_t used = 0;
            ScalarQuantizer q = ScalarQuantizer::load(bytes, &used);
            if (q.dim != dim) invalid("vectors.sq8 has dimension " + std::to_string(q.dim) + ", the graph " + std::to_string(dim));
            const std::size_t codes = bytes.size() - used;
            if (codes % dim != 0 || codes / dim < n)
                invalid("vectors.sq8 holds " + std::to_string(codes) + " code bytes for " + std::to_string(n) + " slots");
            std::vector<std::uint8_t> kept(bytes.begin() + static_cast<std::ptrdiff_t>(used),
                                           bytes.begin() + static_cast<std::ptrdiff_t>(used + n * dim));
            g.index.load_quantized(std::move(q), std::move(kept));
        }
        // A quantized file left by another save is ignored: the codes are only a traversal aid.
    }
    return LoadedStorage{std::move(g.index), std::move(g.records)};
}

}  // namespace qorel
