// The Python surface of Database in one table: each method's parameters (after self) and doc
// text, each property's doc text. The binding takes its signatures and docs from here, and the
// module exposes the table as _qorel._api so that the type stub and the README's API table are
// checked against it (tests/python/test_api_surface.py).
#pragma once

#include <cstddef>
#include <string_view>

namespace qorel::py {

struct MethodEntry {
    const char* name;
    const char* params;  // as Python shows them, without self; "" for none
    const char* doc;     // nullptr: the method has no doc text (its __doc__ is None)
};

// In the class's method order (help() lists them so).
inline constexpr MethodEntry kMethods[] = {
    {"__init__", "path, dim=None, metric=None, m=None, ef_construction=None, quantize=False, checkpoint=1.0, read_only=False", nullptr},
    {"add", "id, vector, metadata=None", nullptr},
    {"upsert", "id, vector, metadata=None", "Add or update a vector."},
    {"add_many", "ids, vectors, metadatas=None", nullptr},
    {"search", "vector, k=10, ef_search=None, where_filter=None, max_distance=None",
     "Search for the k nearest neighbors.\n"
     "Returns list of SearchResult objects with .id, .distance, .metadata attributes.\n"
     "`where_filter`: optional dict like {\"field\": \"value\"} or {\"field\": {\"$ne\": \"value\"}}\n"
     "`max_distance`: optional float \xE2\x80\x94 discard results beyond this distance."},
    {"search_many", "vectors, k=10, ef_search=None, where_filter=None, max_distance=None",
     "Search multiple queries in parallel. Returns list of list of SearchResult.\n"
     "`where_filter`: optional metadata filter (same syntax as search).\n"
     "`max_distance`: optional float \xE2\x80\x94 discard results beyond this distance."},
    {"search_text", "query, k=10, where_filter=None",
     "Keyword search: the k rows whose indexed text field best matches any word of the query,\n"
     "by BM25 (k1 1.2, b 0.75), best first; distance is the negated score (lower is better).\n"
     "Needs enable_text_index; `where_filter` as in search."},
    {"search_text_many", "queries, k=10, where_filter=None",
     "search_text for each query, in parallel. Returns list of list of SearchResult."},
    {"search_hybrid", "vector, query, k=10, where_filter=None, *, ef_search=None, weight=0.5, rrf_k=60, candidates=None",
     "Vector and keyword search fused by reciprocal rank: each row scores\n"
     "weight / (rrf_k + vector rank) + (1 - weight) / (rrf_k + keyword rank), ranks from 1,\n"
     "each search asked for `candidates` hits (default max(k, 50)); distance is the negated\n"
     "fused score. `where_filter` applies to both searches."},
    {"search_hybrid_many", "vectors, queries, k=10, where_filter=None, *, ef_search=None, weight=0.5, rrf_k=60, candidates=None",
     "search_hybrid for each (vector, query) pair, in parallel."},
    {"get", "id", nullptr},
    {"delete", "id", nullptr},
    {"delete_many", "ids", nullptr},
    {"update", "id, vector=None, metadata=None", nullptr},
    {"upsert_many", "ids, vectors, metadatas=None",
     "Batch upsert \xE2\x80\x94 inserts new vectors, updates existing ones."},
    {"count", "where_filter=None", "Count vectors matching a filter, or all vectors if no filter."},
    {"ids", "", nullptr},
    {"save", "",
     "Write the data files and empty the log, so that opening replays nothing.\n"
     "Writes also save on their own (a checkpoint) once replaying the log would take about\n"
     "`checkpoint` seconds, the constructor's argument: 1.0 by default, None or 0 for never.\n"
     "It is the handle's own setting, not stored. A failed checkpoint warns (RuntimeWarning);\n"
     "the write succeeded, stays in the log, and the next write tries again."},
    {"compact", "",
     "Rebuild the index with only live vectors, reclaiming deleted slots.\n"
     "Call this after many deletes to reduce memory usage and disk size."},
    {"enable_quantized_search", "",
     "Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal\n"
     "with full-precision re-ranking. Automatically enabled when quantize=True is set."},
    {"disable_quantized_search", "", "Disable quantized search."},
    {"enable_text_index", "field, *, stem=False",
     "Index the string member `field` of every row's metadata for search_text and\n"
     "search_hybrid, words stemmed (English) when `stem`. Kept up to date by every write and\n"
     "saved with the database; calling it again with other arguments replaces the index."},
    {"refresh", "",
     "Move a read-only database to the newest state its writer has saved or logged.\n"
     "Searches running meanwhile in other threads see the old state or the new one.\n"
     "Does nothing on a writable database, which always has its newest state."},
    {"stats", "",
     "Get graph-level statistics for diagnostics.\n"
     "Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,\n"
     "max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,\n"
     "memory_quantized_bytes, uses_brute_force, uses_quantized_search, wal_bytes,\n"
     "wal_replay_seconds, last_checkpoint, text_field."},
    {"check", "",
     "Check the stored files against the checksums their save recorded (the whole vectors\n"
     "file included), the log's records, and the graph (every live vector reachable, every\n"
     "list within its bounds). Returns a list of dicts with keys name, ok, detail."},
    {"__enter__", "", nullptr},
    {"__exit__", "_exc_type=None, _exc_val=None, _exc_tb=None", nullptr},
    {"__len__", "", nullptr},
    {"__contains__", "id", nullptr},
};
inline constexpr std::size_t kMethodCount = std::size(kMethods);

struct PropertyEntry {
    const char* name;
    const char* doc;  // nullptr: no doc text
};

// In the class's property order.
inline constexpr PropertyEntry kProperties[] = {
    {"quantized_search", "Whether quantized search is currently enabled."},
    {"deleted_count", "Number of deleted slots that haven't been reclaimed."},
    {"total_slots", "Total allocated slots (active + deleted)."},
    {"dim", nullptr},
    {"metric", nullptr},
    {"read_only", "Whether the database was opened with read_only=True."},
    {"text_index", "The full-text index's settings as {\"field\": ..., \"stem\": ...}, or None."},
};

// kMethodCount for a name the table lacks.
constexpr std::size_t method_index(std::string_view name) {
    for (std::size_t i = 0; i < kMethodCount; ++i)
        if (name == kMethods[i].name) return i;
    return kMethodCount;
}

constexpr const PropertyEntry* property_entry(std::string_view name) {
    for (const PropertyEntry& p : kProperties)
        if (name == p.name) return &p;
    return nullptr;
}

}  // namespace qorel::py
