// The data files of a database directory: "graph.qorel" (configuration, deleted slots,
// adjacency, ids and metadata), "vectors.bin" (every slot's vector, then every norm) and
// "vectors.sq8" (quantizer parameters and codes). Writers for each, and the loader that turns
// them back into a ready HnswIndex plus the stored id and metadata records.
//
// Every count read from a file is checked against the bytes that remain before anything is
// allocated, and every slot number against the node count; since the index keeps every list at
// room for its limit, the list storage the node records call for is checked against the
// machine's memory before any node is built. Format violations are I/O errors with fixed texts
// ("failed to fill whole buffer", "bad graph magic", ...).
//
// Consistency across files: the three files are replaced one rename at a time, so a crash in
// between can leave files of two different saves. The graph file therefore ends with a short
// trailer (after the metadata records, where readers ignore bytes) that fingerprints the
// vectors and quantized files written by the same save. The loader checks it; when the
// vectors file belongs to a newer save whose graph never reached its place, the complete
// graph.tmp of that save is used instead, and a quantized file of another save is ignored.
// Graph files without the trailer are loaded as they are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hnsw/index.h"
#include "storage/files.h"
#include "types.h"

namespace qorel {

// The data-file paths of a directory; built by joining names, touching no file.
struct Storage {
    std::string graph_path;
    std::string vectors_path;
    std::string quantized_path;

    static Storage make(const std::string& directory);
};

std::string join_path(const std::string& directory, std::string_view name);

// The temporary name of a data file: its extension replaced by "tmp".
std::string temporary_path(const std::string& path);

// The unit in which the graph file stores ids and metadata.
struct MetaRecord {
    Slot slot;
    std::string id;
    std::optional<Json> metadata;
};

inline constexpr std::uint32_t kGraphMagic = 0x48535747;     // "GWSH"
inline constexpr std::uint32_t kGraphVersion = 2;
inline constexpr std::uint32_t kMetadataMagic = 0x4D455441;  // "ATEM"
inline constexpr std::uint32_t kTrailerMagic = 0x52504651;   // "QFPR"

// What one save wrote to the two vector files, recorded in its graph file's trailer.
struct SaveFingerprint {
    std::uint64_t vectors_length = 0;
    std::uint32_t norms_crc = 0;  // CRC-32 of the norm section of "vectors.bin"
    bool has_quantized = false;
    std::uint64_t quantized_length = 0;
    std::uint32_t quantized_crc = 0;  // CRC-32 of the whole "vectors.sq8"
};

// "vectors.bin": all vectors of the store (every slot), then every norm. Fills the vectors
// part of `print`.
void write_vectors_file(const HnswIndex& index, BufferedFileWriter& out, SaveFingerprint& print);

// "vectors.sq8": quantizer parameters, then the codes. Fills the quantized part of `print`.
void write_quantized_file(const ScalarQuantizer& quantizer, const std::vector<std::uint8_t>& codes,
                          BufferedFileWriter& out, SaveFingerprint& print);

// Header, deleted slots and every node's lists, each read under its lock.
void save_graph(const HnswIndex& index, BufferedFileWriter& out);

// The metadata section and the save's trailer; follows save_graph in the same file.
void write_metadata_section(const std::vector<MetaRecord>& records, const SaveFingerprint& print,
                            BufferedFileWriter& out);

struct LoadedStorage {
    HnswIndex index;
    std::vector<MetaRecord> records;
};

// Loads a directory whose "graph.qorel" and "vectors.bin" exist: the vectors stay memory-
// mapped (only the norms are copied), "vectors.sq8" is installed when present and fits.
// Throws QorelError (Io) on every failure; nothing stays mapped then.
LoadedStorage load_storage(const Storage& storage);

}  // namespace qorel
