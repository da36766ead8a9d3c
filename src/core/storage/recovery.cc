#include "storage/recovery.h"

#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/crc32.h"

namespace qorel {

namespace {

// How well a graph file's trailer matches the vectors file. Trailers of older saves fingerprint
// only the length and the norms, which equal files of another save can share (a compaction
// that keeps the count of unit-length vectors, say); the whole-file checksum settles it.
enum class Match { None, Norms, Whole };

// `pending` is graph.tmp, which a full save writes for the vectors file it is about to rename
// into place: it describes that file whole, never one that increments grew afterwards.
Match match(const Storage& storage, const std::optional<GraphFileSummary>& graph, std::span<const std::uint8_t> vectors,
            std::optional<std::uint32_t>& whole_crc, bool pending) {
    if (!graph) return Match::None;
    // Files of the current format describe a prefix of "vectors.bin" (increments append rows in
    // place): a prefix whose CRC matches holds the very bytes the graph describes.
    if (const std::optional<DescribedVectors> described = described_vectors(storage, *graph)) {
        if (vectors.size() < described->length || (pending && vectors.size() != described->length)) return Match::None;
        return crc32c(vectors.first(static_cast<std::size_t>(described->length))) == described->crc ? Match::Whole
                                                                                                     : Match::None;
    }
    if (!vectors_match_quickly(graph->print, vectors, graph->dim)) return Match::None;
    if (!graph->print.vectors_crc) return Match::Norms;
    if (!whole_crc) whole_crc = crc32c(vectors);
    return *whole_crc == *graph->print.vectors_crc ? Match::Whole : Match::None;
}

// What graph.tmp is to the directory.
enum class TmpGraph {
    Irrelevant,  // absent, or nothing to recover from it (the loader says what is wrong, if anything)
    Stale,       // from a save that stopped before it replaced the vectors
    Current,     // the graph of "vectors.bin": a save stopped between its renames
};

TmpGraph judge_graph_tmp(const Storage& storage) {
    const std::string tmp = temporary_path(storage.graph_path);
    Env& env = *storage.env;
    if (!env.file_exists(tmp) || !env.file_exists(storage.vectors_path)) return TmpGraph::Irrelevant;

    const MappedFile vectors = env.map_file(storage.vectors_path);
    std::optional<std::uint32_t> whole_crc;
    const Match current = match(storage, peek_graph_file(env, storage.graph_path), vectors.bytes(), whole_crc, false);
    const Match pending = match(storage, peek_graph_file(env, tmp), vectors.bytes(), whole_crc, true);
    if (current == Match::Whole || (current == Match::Norms && pending != Match::Whole)) return TmpGraph::Stale;
    return pending == Match::None ? TmpGraph::Irrelevant : TmpGraph::Current;
}

}  // namespace

GraphChoice settle_interrupted_save(const Storage& storage, bool must_move) {
    const std::string tmp = temporary_path(storage.graph_path);
    const GraphChoice in_place{storage.graph_path, false};
    Env& env = *storage.env;
    switch (judge_graph_tmp(storage)) {
        case TmpGraph::Irrelevant: return in_place;
        case TmpGraph::Stale:
            // Removing it only spares later opens this check, so a failure to do so is of no
            // consequence.
            try {
                env.remove_file_if_exists(tmp);
            } catch (const QorelError&) {
            }
            return in_place;
        case TmpGraph::Current: break;
    }
    try {
        env.rename_file(tmp, storage.graph_path);
    } catch (const QorelError&) {
        if (must_move) throw;
        return {tmp, true};
    }
    try {
        env.sync_directory(storage.directory);
    } catch (const QorelError&) {
        // The rename is done; a save syncs the directory before it relies on it.
        if (must_move) throw;
    }
    return in_place;
}

GraphChoice choose_graph(const Storage& storage) {
    if (judge_graph_tmp(storage) == TmpGraph::Current) return {temporary_path(storage.graph_path), true};
    return {storage.graph_path, false};
}

DirectoryFiles look_at_files(const Storage& storage, const std::string& wal_path) {
    Env& env = *storage.env;
    return {env.file_id(storage.graph_path), env.file_id(temporary_path(storage.graph_path)),
            env.file_id(storage.vectors_path), env.file_id(wal_path), env.file_id(storage.delta_path)};
}

namespace {

std::string listed(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += i + 1 == names.size() ? " and " : ", ";
        out += names[i];
    }
    return out + (names.size() == 1 ? " is" : " are");
}

[[noreturn]] void incomplete(const Storage& storage, const std::vector<std::string_view>& missing,
                             const std::vector<std::string_view>& present, std::string_view note = {}) {
    throw QorelError::corrupt_data("incomplete database at '" + storage.directory + "': " + listed(missing) +
                                   " missing (" + listed(present) + " present" + std::string(note) + ")");
}

}  // namespace

bool stored_database_exists(const Storage& storage) {
    // Sources of a save's renames before their targets: graph.tmp becomes "graph.qorel",
    // vectors.tmp "vectors.bin" and then "vectors.sq8".
    Env& env = *storage.env;
    const bool graph_tmp = env.file_exists(temporary_path(storage.graph_path));
    const bool vectors_tmp = env.file_exists(temporary_path(storage.vectors_path));
    const bool vectors = env.file_exists(storage.vectors_path);
    const bool quantized = env.file_exists(storage.quantized_path);
    const bool graph = env.file_exists(storage.graph_path);
    if (vectors && (graph || graph_tmp)) return true;
    // graph.tmp is written only while vectors.tmp or "vectors.bin" exists, and "vectors.sq8"
    // only after "vectors.bin" does.
    if (!graph && !vectors && !quantized && (!graph_tmp || vectors_tmp)) return false;

    std::vector<std::string_view> missing, present;
    const std::pair<bool, std::string_view> files[] = {{graph, "graph.qorel"},     {vectors, "vectors.bin"},
                                                       {graph_tmp, "graph.tmp"},   {quantized, "vectors.sq8"},
                                                       {vectors_tmp, "vectors.tmp"}};
    for (std::size_t i = 0; i < std::size(files); ++i) {
        if (files[i].first) {
            present.push_back(files[i].second);
        } else if (i < 2) {
            missing.push_back(files[i].second);
        }
    }
    incomplete(storage, missing, present);
}

std::optional<GraphChoice> locate_database(const Storage& storage, bool settle) {
    if (!stored_database_exists(storage)) return std::nullopt;
    GraphChoice choice = settle ? settle_interrupted_save(storage, false) : choose_graph(storage);
    // "vectors.bin" with a graph.tmp of another save, and no "graph.qorel".
    if (!storage.env->file_exists(choice.graph_path))
        incomplete(storage, {"graph.qorel"}, {"vectors.bin", "graph.tmp"}, "; graph.tmp does not describe vectors.bin");
    return choice;
}

}  // namespace qorel
