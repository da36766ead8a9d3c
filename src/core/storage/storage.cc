#include "storage/storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

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
            join_path(directory, "vectors.sq8"), directory.empty() ? std::string(".") : directory, &env};
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
    const auto& norm_values = index.norms();
    const auto norms = as_bytes(norm_values.data(), norm_values.size() * 4);
    out.write(vectors);
    out.write(norms);
    print.vectors_length = vectors.size() + norms.size();
    print.norms_crc = crc32(norms);
    print.vectors_crc = crc32c(norms, crc32c(vectors));
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
    if (print.vectors_length != vectors.size()) return false;
    auto slots = vector_file_slots(vectors.size(), dim);
    if (!slots) return false;
    const std::size_t norms_at = static_cast<std::size_t>(*slots) * dim * 4;
    return crc32(vectors.subspan(norms_at)) == print.norms_crc;
}

void save_storage(const Storage& storage, const HnswIndex& index, const std::vector<MetaRecord>& records,
                  const ScalarQuantizer* quantizer, bool& between_files) {
    const std::string graph_tmp = temporary_path(storage.graph_path);
    const std::string vectors_tmp = temporary_path(storage.vectors_path);
    Env& env = *storage.env;
    SaveFingerprint print;
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
    // The caller deletes the log next: the renames must be on disk before it.
    env.sync_directory(storage.directory);
    between_files = false;
}

namespace {

// Room a loaded vectors region keeps for rows added before the next save: as much again as the
// file, at least kMinRegionRoom; a file above kRegionRoomCap gets only the minimum.
constexpr std::size_t kMinRegionRoom = std::size_t{1} << 30;
constexpr std::uint64_t kRegionRoomCap = std::uint64_t{1} << 40;


// A saved file of rows mapped privately with room for as many rows again.
std::unique_ptr<PrivateRegion> map_with_room(Env& env, const std::string& path) {
    const std::uint64_t bytes = env.file_size(path);
    const std::size_t room = bytes > kRegionRoomCap ? std::size_t{0} : static_cast<std::size_t>(bytes);
    return env.map_private(path, room + std::max(room, kMinRegionRoom));
}

}  // namespace

std::unique_ptr<PrivateRegion> map_vectors_region(const Storage& storage) {
    return map_with_room(*storage.env, storage.vectors_path);
}

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

    if (env.file_exists(storage.quantized_path)) {
        // Mapped like the vectors: the codes stay the page cache's until written.
        std::unique_ptr<PrivateRegion> codes_region = map_with_room(env, storage.quantized_path);
        const std::span<const std::uint8_t> bytes(codes_region->data(), codes_region->size());
        const bool from_this_save = !g.print || (g.print->has_quantized && g.print->quantized_length == bytes.size() &&
                                                 g.print->quantized_crc == crc32(bytes));
        if (from_this_save) {
            std::size_t used = 0;
            ScalarQuantizer q = ScalarQuantizer::load(bytes, &used);
            if (q.dim != dim) invalid("vectors.sq8 has dimension " + std::to_string(q.dim) + ", the graph " + std::to_string(dim));
            const std::size_t codes = bytes.size() - used;
            if (codes % dim != 0 || codes / dim < n)
                invalid("vectors.sq8 holds " + std::to_string(codes) + " code bytes for " + std::to_string(n) + " slots");
            g.index.load_quantized(std::move(q), CodeStore::in_region(std::move(codes_region), n * dim, used));
        }
    }
    return LoadedStorage{std::move(g.index), std::move(graph), std::move(g.records), std::move(g.parsed_metadata),
                         g.id_bytes, g.flat_text_bytes, vectors_file};
}

}  // namespace qorel
