#include "storage/recovery.h"

#include "storage/crc32.h"

namespace qorel {

namespace {

// How well a graph file's trailer matches the vectors file. Trailers of older saves fingerprint
// only the length and the norms, which equal files of another save can share (a compaction
// that keeps the count of unit-length vectors, say); the whole-file checksum settles it.
enum class Match { None, Norms, Whole };

Match match(const std::optional<GraphFileSummary>& graph, std::span<const std::uint8_t> vectors,
            std::optional<std::uint32_t>& whole_crc) {
    if (!graph || !vectors_match_quickly(graph->print, vectors, graph->dim)) return Match::None;
    if (!graph->print.vectors_crc) return Match::Norms;
    if (!whole_crc) whole_crc = crc32c(vectors);
    return *whole_crc == *graph->print.vectors_crc ? Match::Whole : Match::None;
}

}  // namespace

GraphChoice settle_interrupted_save(const Storage& storage, bool must_move) {
    const std::string tmp = temporary_path(storage.graph_path);
    const GraphChoice in_place{storage.graph_path, false};
    if (!file_exists(tmp) || !file_exists(storage.vectors_path)) return in_place;

    const MappedFile vectors = MappedFile::open(storage.vectors_path);
    std::optional<std::uint32_t> whole_crc;
    const Match current = match(peek_graph_file(storage.graph_path), vectors.bytes(), whole_crc);
    const Match pending = match(peek_graph_file(tmp), vectors.bytes(), whole_crc);
    if (current == Match::Whole || (current == Match::Norms && pending != Match::Whole)) {
        // graph.tmp comes from a save that stopped before it replaced the vectors. Removing it
        // only spares later opens this check, so a failure to do so is of no consequence.
        try {
            remove_file_if_exists(tmp);
        } catch (const QorelError&) {
        }
        return in_place;
    }
    if (pending == Match::None) return in_place;  // nothing to recover; the loader says what is wrong

    try {
        rename_file(tmp, storage.graph_path);
    } catch (const QorelError&) {
        if (must_move) throw;
        return {tmp, true};
    }
    try {
        sync_directory(storage.directory);
    } catch (const QorelError&) {
        // The rename is done; a save syncs the directory before it relies on it.
        if (must_move) throw;
    }
    return in_place;
}

std::optional<GraphChoice> locate_database(const Storage& storage) {
    GraphChoice choice = settle_interrupted_save(storage, false);
    if (!file_exists(choice.graph_path) || !file_exists(storage.vectors_path)) return std::nullopt;
    return choice;
}

}  // namespace qorel
