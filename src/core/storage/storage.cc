#include "storage/storage.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <tuple>

#include "codec.h"
#include "distance.h"
#include "storage/crc32.h"

namespace qorel {

namespace {

[[noreturn]] void invalid(const std::string& text) { throw QorelError::corrupt_file(text); }

std::span<const std::uint8_t> as_bytes(const void* p, std::size_t n) {
    return {static_cast<const std::uint8_t*>(p), n};
}

void write_durably(BufferedFileWriter& out) {
    out.sync();
    out.close();
}

// The whole file copied into memory, as a MappedFile that keeps the file open while it lives.
MappedFile read_whole(Env& env, const std::string& path) {
    struct Held {
        std::unique_ptr<ReadableFile> file;
        std::vector<std::uint8_t> bytes;
    };
    auto held = std::make_shared<Held>();
    held->file = env.open_readable(path);
    if (!held->file) throw QorelError::io_errno(ENOENT);
    const FileId id = held->file->id();
    const std::uint64_t size = held->file->size();
    if (size > std::numeric_limits<std::size_t>::max() / 2) throw QorelError::io("file too large to read");
    held->bytes.resize(static_cast<std::size_t>(size));
    held->bytes.resize(held->file->read_at(0, held->bytes.data(), held->bytes.size()));
    if (held->bytes.empty()) return MappedFile(nullptr, 0, nullptr, id);
    const std::uint8_t* data = held->bytes.data();
    const std::size_t length = held->bytes.size();
    return MappedFile(data, length, std::move(held), id);
}

}  // namespace

std::string join_path(const std::string& directory, std::string_view name) {
    if (directory.empty()) return std::string(name);
    std::string out = directory;
    if (out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

Storage Storage::make(Env& env, const std::string& directory) {
    return {join_path(directory, "graph.qorel"), join_path(directory, "vectors.bin"),
            join_path(directory, "vectors.sq8"), directory.empty() ? std::string(".") : directory, &env,
            join_path(directory, "graph.delta")};
}

std::string temporary_path(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ".tmp";
    return path.substr(0, dot) + ".tmp";
}

void write_vectors_file(const HnswIndex& index, BufferedFileWriter& out, SaveFingerprint& print) {
    const VectorStore& store = index.vectors();
    const auto vectors = as_bytes(store.data(), store.count() * 4);
    out.write(vectors);
    print.vectors_length = vectors.size();
    print.norms_crc = 0;
    print.vectors_crc = crc32c(vectors);
}

QuantizedImage::QuantizedImage(const ScalarQuantizer& quantizer, std::span<const float> rows)
    : quantizer_(quantizer), rows_(rows) {
    quantizer.save(head_);
}

template <class Take>
void QuantizedImage::each_block(Take&& take) const {
    constexpr std::size_t kBlockRows = 4096;
    const std::size_t dim = quantizer_.dim;
    const std::size_t rows = rows_.size() / dim;
    std::vector<std::uint8_t> block(std::min(rows, kBlockRows) * dim);
    for (std::size_t r = 0; r < rows; r += kBlockRows) {
        const std::size_t count = std::min(kBlockRows, rows - r);
        for (std::size_t i = 0; i < count; ++i) quantizer_.quantize_into(rows_.data() + (r + i) * dim, block.data() + i * dim);
        take(std::span<const std::uint8_t>(block.data(), count * dim));
    }
}

void QuantizedImage::fill(SaveFingerprint& print) const {
    print.has_quantized = true;
    print.quantized_length = head_.size() + rows_.size();
    std::uint32_t crc = crc32(head_);
    each_block([&](std::span<const std::uint8_t> codes) { crc = crc32(codes, crc); });
    print.quantized_crc = crc;
}

void QuantizedImage::write(BufferedFileWriter& out) const {
    out.write(head_);
    each_block([&](std::span<const std::uint8_t> codes) { out.write(codes); });
}

std::optional<std::uint64_t> vector_file_slots(std::uint64_t bytes, std::uint64_t dim) {
    const std::uint64_t per_slot = 4 * (dim + 1);
    if (bytes % per_slot != 0) return std::nullopt;
    return bytes / per_slot;
}

bool vectors_match_quickly(const SaveFingerprint& print, std::span<const std::uint8_t> vectors, std::size_t dim) {
    // Rows only, which may be followed by rows of a later increment.
    if (print.save_id) return vectors.size() >= print.vectors_length;
    if (print.vectors_length != vectors.size()) return false;
    auto slots = vector_file_slots(vectors.size(), dim);
    if (!slots) return false;
    const std::size_t norms_at = static_cast<std::size_t>(*slots) * dim * 4;
    return crc32(vectors.subspan(norms_at)) == print.norms_crc;
}

namespace {

// A save's id: random, so that the increments of one save are never taken for another's (a
// directory restored from a copy, say), never 0.
std::uint64_t fresh_save_id() {
    std::random_device device;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t id = (std::uint64_t{device()} << 32 | device()) ^ (now * 0x9E3779B97F4A7C15ull);
    return id ? id : 1;
}

}  // namespace

IncrementBase save_storage(const Storage& storage, const HnswIndex& index, const std::vector<MetaRecord>& records,
                           const ScalarQuantizer* quantizer, bool& between_files) {
    const std::string graph_tmp = temporary_path(storage.graph_path);
    const std::string vectors_tmp = temporary_path(storage.vectors_path);
    Env& env = *storage.env;
    SaveFingerprint print;
    print.save_id = fresh_save_id();
    std::uint64_t graph_bytes = 0;
    {
        BufferedFileWriter out(env, vectors_tmp, BufferedFileWriter::Mode::Truncate);
        write_vectors_file(index, out, print);
        write_durably(out);
    }
    std::optional<QuantizedImage> image;
    if (quantizer) {
        image.emplace(*quantizer, index.vectors().all());
        image->fill(print);
    }
    {
        BufferedFileWriter out(env, graph_tmp, BufferedFileWriter::Mode::Truncate);
        write_graph_file(index, records, print, out);
        out.flush();
        graph_bytes = out.file_size();
        write_durably(out);
    }
    // Once "vectors.bin" is replaced, graph.tmp is the only graph that describes it until it
    // is renamed in turn; its name must not be lost to a crash in between.
    env.sync_directory(storage.directory);

    between_files = true;
    env.rename_file(vectors_tmp, storage.vectors_path);
    if (image) {
        BufferedFileWriter out(env, vectors_tmp, BufferedFileWriter::Mode::Truncate);
        image->write(out);
        write_durably(out);
        env.rename_file(vectors_tmp, storage.quantized_path);
    } else {
        try {
            env.remove_file_if_exists(storage.quantized_path);
        } catch (const QorelError&) {
            // A quantized file that cannot be deleted is ignored: the graph's fingerprint does
            // not name it, so the loader will not use it.
        }
    }
    env.rename_file(graph_tmp, storage.graph_path);
    try {
        if (env.file_exists(storage.delta_path)) env.remove_file(storage.delta_path);
    } catch (const QorelError&) {
        // Its segments name the save before, so no open applies them to this one.
    }
    // The caller deletes the log next: the renames must be on disk before it.
    env.sync_directory(storage.directory);
    between_files = false;

    IncrementBase base;
    base.save_id = *print.save_id;
    base.slots = index.node_count();
    base.vectors_length = print.vectors_length;
    base.vectors_crc = *print.vectors_crc;
    base.base_bytes = graph_bytes + print.vectors_length + print.quantized_length;
    if (quantizer) base.quantizer = *quantizer;
    return base;
}

void save_increment(const Storage& storage, const HnswIndex& index, std::span<const std::uint8_t> segment,
                    IncrementBase& base) {
    Env& env = *storage.env;
    const std::size_t n = index.node_count();
    const std::size_t dim = index.dim();
    std::uint32_t crc = base.vectors_crc;
    if (n > base.slots) {
        // New rows go after the recorded ones, over whatever an interrupted save left there,
        // and are durable before any segment names them.
        const auto rows = as_bytes(index.vector(static_cast<Slot>(base.slots)), (n - base.slots) * dim * 4);
        BufferedFileWriter out(env, storage.vectors_path, BufferedFileWriter::Mode::Append);
        if (out.file_size() != base.vectors_length) out.truncate(base.vectors_length);
        out.write(rows);
        crc = crc32c(rows, crc);
        write_durably(out);
    }
    // The first segment of a base starts the file afresh (what was there names another save).
    const bool fresh = base.delta_length == 0;
    {
        BufferedFileWriter out(env, storage.delta_path,
                               fresh ? BufferedFileWriter::Mode::Truncate : BufferedFileWriter::Mode::Append);
        if (!fresh && out.file_size() != base.delta_length) out.truncate(base.delta_length);
        out.write(segment);
        write_durably(out);
    }
    // The caller deletes the log next: a new file's name must be on disk before it.
    if (fresh) env.sync_directory(storage.directory);
    base.segments += 1;
    base.slots = n;
    base.vectors_length = std::uint64_t{n} * dim * 4;
    base.vectors_crc = crc;
    base.delta_length += segment.size();
}

std::optional<DescribedVectors> described_vectors(const Storage& storage, const GraphFileSummary& summary) {
    if (!summary.print.save_id || !summary.print.vectors_crc) return std::nullopt;
    DescribedVectors out{summary.print.vectors_length, *summary.print.vectors_crc};
    try {
        if (!storage.env->file_exists(storage.delta_path)) return out;
        const std::vector<std::uint8_t> bytes = storage.env->read_file(storage.delta_path);
        const DeltaScan scan = scan_delta(bytes, *summary.print.save_id);
        if (scan.vectors) out = {scan.vectors->first, scan.vectors->second};
    } catch (const QorelError&) {
        // A damaged graph.delta fails the open that loads it; the base is what it adds to.
    }
    return out;
}

namespace {

// Room a loaded vectors region keeps for rows added before the next save: as much again as the
// file, at least kMinRegionRoom; a file above kRegionRoomCap gets only the minimum.
constexpr std::size_t kMinRegionRoom = std::size_t{1} << 30;
constexpr std::uint64_t kRegionRoomCap = std::uint64_t{1} << 40;


// A saved file of rows, or its first `length` bytes, mapped privately with room for as many
// rows again.
std::unique_ptr<PrivateRegion> map_with_room(Env& env, const std::string& path,
                                             std::uint64_t length = std::numeric_limits<std::uint64_t>::max()) {
    const std::uint64_t bytes = std::min(env.file_size(path), length);
    const std::size_t room = bytes > kRegionRoomCap ? std::size_t{0} : static_cast<std::size_t>(bytes);
    return env.map_private(path, room + std::max(room, kMinRegionRoom), length);
}

}  // namespace

std::unique_ptr<PrivateRegion> map_vectors_region(const Storage& storage, std::uint64_t length) {
    return map_with_room(*storage.env, storage.vectors_path, length);
}

namespace {

// Installs "vectors.sq8" when it is the one the graph's save wrote, with the codes of `n`
// slots (the base's first, then `changed` over them). Returns its quantizer.
std::optional<ScalarQuantizer> load_quantized_file(const Storage& storage, const ParsedGraph& g, HnswIndex& index,
                                                   std::size_t base_n,
                                                   const std::vector<std::pair<Slot, std::span<const std::uint8_t>>>* changed) {
    Env& env = *storage.env;
    const std::size_t dim = index.dim();
    const std::size_t n = index.node_count();
    if (!env.file_exists(storage.quantized_path)) return std::nullopt;
    // Mapped like the vectors: the codes stay the page cache's until written.
    std::unique_ptr<PrivateRegion> region = map_with_room(env, storage.quantized_path);
    const std::span<const std::uint8_t> bytes(region->data(), region->size());
    const bool from_this_save = !g.print || (g.print->has_quantized && g.print->quantized_length == bytes.size() &&
                                             g.print->quantized_crc == crc32(bytes));
    if (!from_this_save) return std::nullopt;
    std::size_t used = 0;
    ScalarQuantizer q = ScalarQuantizer::load(bytes, &used);
    if (q.dim != dim) invalid("vectors.sq8 has dimension " + std::to_string(q.dim) + ", the graph " + std::to_string(dim));
    const std::size_t codes = bytes.size() - used;
    if (codes % dim != 0 || codes / dim < base_n)
        invalid("vectors.sq8 holds " + std::to_string(codes) + " code bytes for " + std::to_string(base_n) + " slots");
    CodeStore kept = CodeStore::in_region(std::move(region), base_n * dim, used);
    if (changed) {
        // Slots the increments added follow the base's; codes they changed are written over.
        if (n > base_n) kept.extend((n - base_n) * dim);
        for (const auto& [slot, code] : *changed) std::memcpy(kept.mutable_row(slot, dim), code.data(), dim);
    }
    index.load_quantized(q, std::move(kept));
    return q;
}

}  // namespace

namespace {

// Files of the current format: the base graph with its norms, the increments of graph.delta
// that name its save applied in order, and only the prefix of "vectors.bin" they describe.
LoadedStorage load_current(const Storage& storage, MappedFile graph) {
    Env& env = *storage.env;
    const std::uint64_t vectors_bytes = env.file_size(storage.vectors_path);
    ParsedGraph g = parse_graph_file(graph.bytes(), vectors_bytes);
    const SaveFingerprint& print = *g.print;  // version 3 files have the trailer
    const std::size_t dim = g.index.dim();
    const std::size_t base_n = g.index.node_count();
    std::vector<float> norms = std::move(*g.norms);

    IncrementBase base;
    base.save_id = *print.save_id;
    base.slots = base_n;
    base.vectors_length = print.vectors_length;
    base.vectors_crc = print.vectors_crc.value_or(0);
    base.base_bytes = graph.size() + print.vectors_length + print.quantized_length;

    LoadedStorage out{HnswIndex(dim, g.index.metric(), g.index.m(), g.index.ef_construction()), MappedFile(), {}, {}, 0,
                      0, FileId{}, std::nullopt, 0, MappedFile(), std::nullopt};
    DeltaApply st{g, norms, {}, {}, true};
    if (env.file_exists(storage.delta_path)) {
        MappedFile delta = read_whole(env, storage.delta_path);
        out.delta_file = delta.id();
        out.delta_length = delta.size();
        const DeltaScan scan = scan_delta(delta.bytes(), base.save_id);
        if (!scan.stale) {
            for (const auto& payload : scan.payloads) apply_segment(payload, st);
            base.segments = static_cast<std::uint32_t>(scan.payloads.size());
            base.delta_length = scan.good_length;
            if (scan.vectors) std::tie(base.vectors_length, base.vectors_crc) = *scan.vectors;
        }
        out.delta = std::move(delta);
    }
    const std::size_t n = g.index.node_count();
    base.slots = n;
    if (base.vectors_length != std::uint64_t{n} * dim * 4)
        invalid("the graph records " + std::to_string(base.vectors_length) + " bytes of vectors for " + std::to_string(n) +
                " slots of dimension " + std::to_string(dim));
    if (vectors_bytes < base.vectors_length)
        invalid("vectors.bin holds " + std::to_string(vectors_bytes) + " bytes, the graph records " +
                std::to_string(base.vectors_length) + " (a save was interrupted)");

    // Only the recorded prefix is mapped: rows past it are an interrupted save's, which the next
    // save cuts off, and a mapping over them would fault once they are gone.
    std::unique_ptr<PrivateRegion> region = map_vectors_region(storage, base.vectors_length);
    if (region->size() < base.vectors_length) invalid("vectors.bin is shorter than the graph records");
    out.vectors_file = region->id();
    for (const auto& [slot, row] : st.rows) {
        std::memcpy(region->data() + std::size_t{slot} * dim * 4, row.data(), row.size());
        base.rows_in_segments.push_back(slot);
    }
    std::sort(base.rows_in_segments.begin(), base.rows_in_segments.end());
    base.rows_in_segments.erase(std::unique(base.rows_in_segments.begin(), base.rows_in_segments.end()),
                                base.rows_in_segments.end());
    // Reading every row to compare the CRC would cost the whole file in memory: a few rows'
    // norms against the recorded ones tell a vectors file of another save (or none) cheaply.
    // The tolerance allows for another machine summing the squares in another order.
    const auto* rows = reinterpret_cast<const float*>(region->data());
    for (const std::size_t s : {std::size_t{0}, n / 2, n - 1}) {
        if (n == 0) break;
        const float stored = norms[s];
        const float found = vector_norm({rows + s * dim, dim});
        // Rows read from damaged files may hold NaN or infinite values: their norms match as
        // such.
        const bool same = found == stored || (std::isnan(found) && std::isnan(stored)) ||
                          std::fabs(found - stored) <= 1e-3f * std::max(1.0f, std::fabs(stored));
        if (!same)
            invalid("vectors.bin does not belong to graph.qorel (a save was interrupted)");
    }
    VectorStore store = n ? VectorStore::in_region(std::move(region), n * dim) : VectorStore();
    g.index.load_finish(std::move(store), std::move(norms), std::move(g.deleted), g.entry_point, g.max_layer);
    if (st.codes_complete) base.quantizer = load_quantized_file(storage, g, g.index, base_n, &st.codes);
    // What was read is what the files hold: only later changes are the next save's.
    g.index.forget_changes();

    out.index = std::move(g.index);
    out.graph = std::move(graph);
    out.records = std::move(g.records);
    out.parsed_metadata = std::move(g.parsed_metadata);
    out.id_bytes = g.id_bytes;
    out.flat_text_bytes = g.flat_text_bytes;
    out.increments = std::move(base);
    return out;
}

}  // namespace

LoadedStorage load_storage(const Storage& storage, const std::string& graph_path) {
    // Mapped rather than read: the parse reads each byte once, and ids and metadata texts are
    // taken from the mapping without first copying the whole file into fresh memory. Pages are
    // left to fault in as the parse reaches them (the kernel maps a run of cached pages per
    // fault), which costs less than populating the whole mapping up front.
    Env& env = *storage.env;
    // graph.tmp is written in place by a save (truncated, then filled) once the last one is
    // settled, so it is copied rather than mapped: a mapping of a file cut short under it
    // would fault. It is the graph only after an interrupted save.
    MappedFile graph = graph_path == storage.graph_path ? env.map_file(graph_path) : read_whole(env, graph_path);
    if (graph.size() >= kGraphHeaderSize) {
        ByteReader head(graph.bytes().subspan(4, 4));
        if (head.u32() >= 3) return load_current(storage, std::move(graph));
    }
    // The vectors stay in the file's pages until written.
    std::unique_ptr<PrivateRegion> region = map_vectors_region(storage);
    const std::span<const std::uint8_t> file(region->data(), region->size());
    ParsedGraph g = parse_graph_file(graph.bytes(), file.size());
    const std::size_t dim = g.index.dim();

    // A graph.tmp that belongs to "vectors.bin" was moved into place before this load (see
    // recovery.h); a mismatch left now is not one a save can produce.
    if (g.print && !vectors_match_quickly(*g.print, file, dim))
        invalid("vectors.bin does not belong to graph.qorel (a save was interrupted)");
    const FileId vectors_file = region->id();

    const std::size_t n = g.index.node_count();
    auto slots = vector_file_slots(file.size(), dim);
    if (!slots) invalid("vectors.bin length " + std::to_string(file.size()) + " is not whole slots of dimension " + std::to_string(dim));
    if (*slots < n) invalid("vectors.bin holds " + std::to_string(*slots) + " slots, the graph " + std::to_string(n));

    // Only the slots the graph knows are used: a longer file comes from a later save.
    const auto* floats = reinterpret_cast<const float*>(file.data());
    std::vector<float> norms(n);
    if (n) std::memcpy(norms.data(), floats + *slots * dim, n * 4);
    VectorStore store = n ? VectorStore::in_region(std::move(region), n * dim) : VectorStore();
    g.index.load_finish(std::move(store), std::move(norms), std::move(g.deleted), g.entry_point, g.max_layer);
    load_quantized_file(storage, g, g.index, n, nullptr);
    LoadedStorage out{std::move(g.index), std::move(graph), std::move(g.records), std::move(g.parsed_metadata),
                      g.id_bytes, g.flat_text_bytes, vectors_file, std::nullopt, 0, MappedFile(), std::nullopt};
    return out;
}

}  // namespace qorel
