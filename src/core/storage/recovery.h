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

// Settles the directory, then finds its stored database: nullopt when "graph.qorel" or
// "vectors.bin" does not exist. A failure to look at them other than their absence is thrown.
std::optional<GraphChoice> locate_database(const Storage& storage);

}  // namespace qorel
