// The data files of a database directory: "graph.qorel" (configuration, deleted slots,
// adjacency, ids and metadata; its codec is graph_file.h), "vectors.bin" (every slot's vector,
// then every norm) and "vectors.sq8" (quantizer parameters and codes). The writers of the
// vector files, the save that replaces all three, and the loader that turns them back into a
// ready HnswIndex plus the stored id and metadata records.
//
// Consistency across files: the files are replaced one rename at a time, so a process killed
// in between leaves files of two saves. The graph file's trailer therefore fingerprints the
// vector files written by the same save, and a save orders its steps so that some graph file
// always describes "vectors.bin": graph.tmp is complete and durable before "vectors.bin" is
// replaced, and from then until graph.tmp is renamed over "graph.qorel" it is the graph of the
// directory. recovery.h finds it there and moves it into place. A quantized file of another
// save is ignored: the codes are only a traversal aid.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hnsw/index.h"
#include "quantizer.h"
#include "storage/delta_file.h"
#include "storage/files.h"
#include "storage/graph_file.h"
#include "types.h"

namespace qorel {

// The data-file paths of a directory and the Env they live in; built by joining names,
// touching no file. The Env is not owned: the database keeps it alive.
struct Storage {
    std::string graph_path;
    std::string vectors_path;
    std::string quantized_path;
    std::string directory;
    Env* env = nullptr;
    std::string delta_path;  // "graph.delta" (delta_file.h)

    static Storage make(Env& env, const std::string& directory);
};

std::string join_path(const std::string& directory, std::string_view name);

// The temporary name of a data file: its extension replaced by "tmp".
std::string temporary_path(const std::string& path);

// "vectors.bin": all vectors of the store (every slot). Fills the vectors part of `print`
// from the bytes as they are written.
void write_vectors_file(const HnswIndex& index, BufferedFileWriter& out, SaveFingerprint& print);

// "vectors.sq8" for one save: the parameters, then the codes of `rows` under them. The codes
// are made a block at a time, once for the print the graph file records and again as they are
// written, so that a save never holds a second copy of them all. Keeps a reference to both.
class QuantizedImage {
public:
    QuantizedImage(const ScalarQuantizer& quantizer, std::span<const float> rows);
    // Fills the quantized part of `print`.
    void fill(SaveFingerprint& print) const;
    void write(BufferedFileWriter& out) const;

private:
    // Calls `take` with the codes of each block of rows, in order.
    template <class Take>
    void each_block(Take&& take) const;

    std::vector<std::uint8_t> head_;
    const ScalarQuantizer& quantizer_;
    std::span<const float> rows_;
};

// Slots held by a vectors file of `bytes` bytes for this dimension, or nullopt when the length
// is not whole slots (vector and norm).
std::optional<std::uint64_t> vector_file_slots(std::uint64_t bytes, std::uint64_t dim);

// True when the vectors file's length and norm section are the ones `print` records: the
// check every open makes, which reads the norms only.
bool vectors_match_quickly(const SaveFingerprint& print, std::span<const std::uint8_t> vectors, std::size_t dim);

// What the files on disk hold, as the writer that saved or opened them knows it: the full
// save that increments add to, and where its increments stand.
struct IncrementBase {
    std::uint64_t save_id = 0;
    std::uint32_t segments = 0;        // in graph.delta
    std::size_t slots = 0;             // N as recorded
    std::uint64_t vectors_length = 0;  // of "vectors.bin" as recorded, and its CRC-32C
    std::uint32_t vectors_crc = 0;
    std::uint64_t delta_length = 0;    // bytes of graph.delta in use (0: start it afresh)
    std::uint64_t base_bytes = 0;      // of the three files the full save wrote
    // The quantizer of the full save's "vectors.sq8": increments code new rows with it.
    std::optional<ScalarQuantizer> quantizer;
    // Slots whose rows the segments hold over stale ones of "vectors.bin", sorted.
    std::vector<Slot> rows_in_segments;
};

// Writes the directory's data files for one consistent snapshot (the codes of the index's rows
// under `quantizer`, when there is one, into "vectors.sq8"): vectors.tmp and graph.tmp
// first (synced, with the directory), then "vectors.bin", "vectors.sq8" (or its removal when
// `quantizer` is null; a failure to remove is ignored) and "graph.qorel" by renames, then
// syncs the directory. `between_files` is set while "vectors.bin" may be newer than
// "graph.qorel"; when this throws with it set, graph.tmp may be the directory's graph, and
// the next save must settle the directory (recovery.h) before it writes graph.tmp again.
// Returns what the save wrote, for the increments that follow it; "graph.delta", whose
// increments belong to the save before, is deleted (a failure to delete is ignored: its
// segments name that save).
IncrementBase save_storage(const Storage& storage, const HnswIndex& index, const std::vector<MetaRecord>& records,
                           const ScalarQuantizer* quantizer, bool& between_files);

// An incremental save: appends the rows of slots base.slots .. N - 1 to "vectors.bin" at the
// recorded length (cutting off any tail an interrupted save left there), syncs it, then appends
// `segment` (encode_segment, with the vectors length and CRC those rows give) to graph.delta
// at its recorded length, and syncs that. `base` is updated once everything is durable. On a
// throw the files may hold an unrecorded tail, which the next open ignores and the next
// incremental save cuts off.
void save_increment(const Storage& storage, const HnswIndex& index, std::span<const std::uint8_t> segment,
                    IncrementBase& base);

// The first bytes of "vectors.bin" that a graph file of the current format and the increments
// of graph.delta that name its save describe: their length and CRC-32C. nullopt for graph
// files of the older format.
struct DescribedVectors {
    std::uint64_t length = 0;
    std::uint32_t crc = 0;
};
std::optional<DescribedVectors> described_vectors(const Storage& storage, const GraphFileSummary& summary);

struct LoadedStorage {
    HnswIndex index;
    // The graph file, mapped: what the records' views point into.
    MappedFile graph;
    std::vector<StoredRecord> records;
    std::vector<Json> parsed_metadata;  // see ParsedGraph
    std::size_t id_bytes = 0;
    std::size_t flat_text_bytes = 0;
    // The "vectors.bin" mapped (the graph's is graph.id()).
    FileId vectors_file;
    // The graph.delta read (none when absent), its length as read, and its bytes, which the
    // records of its segments point into.
    std::optional<FileId> delta_file;
    std::uint64_t delta_length = 0;
    MappedFile delta;
    // Where the increments stand, for a writer: nullopt for files of the older format, which
    // the next save replaces whole.
    std::optional<IncrementBase> increments;
};

// The saved vectors file in a private region with room for as many rows again (at least
// 1 GiB of address space) to be added before the next save without moving them.
// Only the first `length` bytes of the file are mapped when it is longer (rows appended by an
// interrupted save, which a later save may cut off).
std::unique_ptr<PrivateRegion> map_vectors_region(const Storage& storage,
                                                  std::uint64_t length = std::numeric_limits<std::uint64_t>::max());

// Loads the graph file at `graph_path` ("graph.qorel", or graph.tmp when recovery could not
// move it into place) with "vectors.bin": both files are memory-mapped, the vectors privately,
// and they stay so (only the norms are copied), so that rows cost the process memory only once
// written; "vectors.sq8" is installed when present and from the same save.
// Throws QorelError (Io) on every failure; nothing stays mapped then.
LoadedStorage load_storage(const Storage& storage, const std::string& graph_path);
inline LoadedStorage load_storage(const Storage& storage) { return load_storage(storage, storage.graph_path); }

}  // namespace qorel
