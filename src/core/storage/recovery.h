// Settling a directory after an interrupted save. A save writes graph.tmp before it replaces
// "vectors.bin" and renames graph.tmp over "graph.qorel" last (storage.h), so after a crash
// or an I/O error in between, graph.tmp rather than "graph.qorel" may be the graph of
// "vectors.bin". Settling decides which one is, by the fingerprints in their trailers, and
// moves graph.tmp into place when it is the one, so that the recovery is permanent before any
// later save writes graph.tmp again. A graph.tmp that describes other vectors is stale and is
// removed, which keeps later opens on the fast path.
//
// The decision reads the whole of "vectors.bin" to compare its checksum, which happens only
// when a graph.tmp is present, that is after a save failed or was killed.
#pragma once

#include <optional>
#include <string>

#include "storage/storage.h"

namespace qorel {

struct GraphChoice {
    // The graph file to load: "graph.qorel", or graph.tmp when it belongs to "vectors.bin"
    // but could not be moved into place (a read-only directory, say).
    std::string graph_path;
    // graph.tmp still has to be moved over "graph.qorel" before the next save.
    bool pending = false;
};

// Settles the directory (see above). With `must_move`, a failure to move graph.tmp into place
// is thrown; otherwise it is reported as pending and graph.tmp is the file to load.
GraphChoice settle_interrupted_save(const Storage& storage, bool must_move);

// The decision of settle_interrupted_save, changing nothing: graph.tmp (pending) when it is
// the graph of "vectors.bin", else "graph.qorel". For a reader, which must not change the
// directory of a writer that may be in the middle of a save.
GraphChoice choose_graph(const Storage& storage);

// The files a reader's view is made of, as the directory names them at one moment (none where
// a name is missing). Saves replace files by rename and never bring a replaced file back, and
// a file's id is not reused while the reader holds it open or mapped: a reader that finds the
// names the same after it read as before, each still leading to the file it holds, read files
// that were in the directory together, and a log that was never deleted meanwhile.
// "vectors.sq8" is left out: the graph's fingerprint of it already refuses one of another save.
struct DirectoryFiles {
    std::optional<FileId> graph;
    std::optional<FileId> graph_tmp;
    std::optional<FileId> vectors;
    std::optional<FileId> wal;
    // Increments are appended in place: its length tells a reader whether one was added.
    std::optional<FileId> delta;
    bool operator==(const DirectoryFiles&) const = default;
};
DirectoryFiles look_at_files(const Storage& storage, const std::string& wal_path);

// Whether a database is stored in the directory, decided from which data files exist: the
// files are only looked at (stat), never read or changed, so this may run before the
// directory is locked. The files a save can leave, killed at any step, are: "graph.qorel" and
// "vectors.bin" (with any temporary file beside them), or "vectors.bin" with graph.tmp as its
// graph. False when no save ever got as far as replacing a file: no data file at all, or only
// vectors.tmp, or vectors.tmp and graph.tmp, from a first save stopped before its renames (the
// log, which a save deletes last, still holds those changes). Any other combination shows that
// a database was stored there and has lost files since (a partial copy or restore); creating a
// database there would replace the files that remain, so it is thrown as QorelError
// (CorruptData) naming the missing files. A failure to look other than absence is thrown too.
// Renames of a save running beside it cannot make it see files missing: each file is looked
// at before the name it is renamed to.
bool stored_database_exists(const Storage& storage);

// Finds the directory's stored database (see stored_database_exists; nullopt when there is
// none) and settles it (without `settle`, only decides as choose_graph). A "vectors.bin" left
// with no graph that describes it is thrown as QorelError (CorruptData).
std::optional<GraphChoice> locate_database(const Storage& storage, bool settle = true);

}  // namespace qorel
