// Database: the engine's handle on one database directory. It owns the HNSW index with its
// vectors, the maps between caller ids and slots, the per-slot metadata and the paths of the
// data files. Every component sits behind its own reader-writer lock.
//
// Locks, in the order they are taken: a thread holding one takes only locks further down,
// so no cycle can form. clang's -Wthread-safety checks the annotated parts of it
// (scripts/check_thread_safety.sh); debug and sanitizer builds catch a second read of one
// RwLock by the same thread (db/rwlock.h).
//
//   open-registry entry mutex  db/open_registry.cc: one directory's open or close; held while
//                              the directory lock is taken and the database opened
//   refresh_mutex_             a read-only database's refresh(), from its look at the files
//                              to its swap (read-only databases take no save gate, and the
//                              log mutex only to replay)
//   save_gate_                 RwLock: mutations shared from their log append until memory
//                              changed, save() and checkpoint() exclusively
//   wal_mutex_                 the writer's turn: every mutation, save and replay
//   id_to_slot_                Guarded (RwLock)
//   index_                     Guarded (RwLock)
//     top_mutex                hnsw/insert.cc: a batch insertion's entry point and top layer,
//                              taken under index_ exclusively, held while a tall node links
//   slot_to_id_                Guarded (RwLock)
//   metadata_                  Guarded (RwLock)
//   metadata_index_            Guarded (RwLock)
//   text_index_                Guarded (RwLock): the full-text index, beside the metadata
//                              index and built on first use like it
//
// Leaf locks: held for a few instructions, never while taking any other lock.
//   per-list spinlocks         hnsw/spinlock.h, one per neighbour list: under index_ (and
//                              under top_mutex while a tall node links); one list at a time
//   decode_mutex_              metadata/metadata_store.h: first decode of a stored text,
//                              under metadata_ shared
//   NumberOrder::rebuilding    metadata/metadata_index.h: a field's number order, rebuilt
//                              under metadata_index_ shared
//   PlanCache::mutex_          db/plan_cache.h: the planner's kept filter plans, under
//                              metadata_index_ shared
//   Registry::mutex            db/open_registry.cc: the map of open directories
//   HeldLocks::mutex           storage/dir_lock.cc: this process's directory-lock descriptors
// The fork handlers take Registry::mutex and HeldLocks::mutex together across fork(), in the
// order the handlers were installed; no other thread ever waits while holding one of them, so
// either order is safe.
//
// Writers take turns: every mutation holds the log mutex from its checks against the stored ids,
// through its log append, until its change is in memory, and its change reaches memory through
// apply(), the function replay uses too. So the log's order is the order in which changes were
// applied, a record's vector and metadata arrive together, and a reopened database holds what
// the running one held (LevelDB's writers queue for its log and memtable the same way). Writers
// were serialised by the index lock already; the turn adds only the log append to that. Readers
// of the id map are held up only by changes to the map itself, and compaction, which holds
// id_to_slot exclusively from its snapshot to its swap, keeps mutations out meanwhile.
//
// The save gate: every mutation holds it shared from its log append until its change is in
// memory, and save holds it exclusively, so a save never writes files without a change whose
// record it then deletes with the log.
//
// Checkpoints: a checkpoint is a save made because the log has grown costly to replay. Every
// apply() adds the time it took (with its locks held) to an estimate of what replaying the log
// since the last save costs, since replay goes through the same apply(); the replay at open
// starts the estimate with its own time. checkpoint() saves once the estimate or the log's
// length passes the caller's policy. It is called by the writer after its own call is done, so
// it holds up others as long as a save does and no longer.
//
// A read-only database takes no lock of the directory and changes nothing in it; its mutations
// are refused before they take any lock. refresh() holds refresh_mutex_ throughout, reads the
// newest state into a database of its own holding no other lock, and swaps it in holding
// id_to_slot_, index_, slot_to_id_, metadata_, metadata_index_ and text_index_ for writing, in
// the order above, as compaction does. When only the log grew since, it applies the new records
// instead, as replay does.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.h"
#include "hnsw/index.h"
#include "id_map.h"
#include "metadata/filter.h"
#include "metadata/metadata_index.h"
#include "metadata/metadata_store.h"
#include "mutex.h"
#include "plan_cache.h"
#include "row_block.h"
#include "rwlock.h"
#include "storage/check.h"
#include "storage/storage.h"
#include "storage/wal.h"
#include "text/text_index.h"
#include "thread_annotations.h"
#include "types.h"

namespace qorel {

struct GraphChoice;  // storage/recovery.h

enum class OpenMode {
    ReadWrite,
    // Beside a writer in another process: no lock of the directory, nothing on disk created or
    // changed, every change refused (ReadOnly), refresh() to move to the newest saved state.
    ReadOnly,
};

struct DatabaseConfig {
    std::uint64_t dim = 0;
    Metric metric = Metric::Cosine;
    std::uint64_t m = 16;
    std::uint64_t ef_construction = 200;
    bool quantize = false;
};

// One search hit: copies of the slot's id and metadata, and its distance.
struct SearchResult {
    std::string id;
    float distance;
    std::optional<Json> metadata;
};

// Diagnostic statistics of the graph, read under the index lock.
struct Stats {
    std::size_t num_vectors = 0;
    std::size_t num_deleted = 0;
    std::size_t num_layers = 0;
    double avg_degree_layer0 = 0.0;
    std::size_t max_degree_layer0 = 0;
    std::size_t min_degree_layer0 = 0;
    std::size_t memory_vectors_bytes = 0;
    std::size_t memory_graph_bytes = 0;
    std::size_t memory_quantized_bytes = 0;
    bool uses_brute_force = true;
    bool uses_quantized_search = false;
    // The log: its length, and the estimate of what replaying it would take (the time its
    // changes took to apply).
    std::uint64_t wal_bytes = 0;
    double wal_replay_seconds = 0.0;
    // When this process last saved the database (seconds since the epoch); none before then.
    std::optional<double> last_checkpoint;
    // The metadata field the full-text index covers; none without one.
    std::optional<std::string> text_field;
};

// How search_hybrid fuses its two rankings: each slot scores
// weight / (rrf_k + its vector rank) + (1 - weight) / (rrf_k + its keyword rank), ranks from 1,
// a ranking the slot is missing from adding nothing. Each search is asked for `candidates`
// hits (none: max(k, 50)).
struct HybridOptions {
    std::optional<std::size_t> ef_search;
    double weight = 0.5;
    std::size_t rrf_k = 60;
    std::optional<std::size_t> candidates;

    // The hits each search is asked for when k are wanted.
    std::size_t wanted(std::size_t k) const { return candidates ? *candidates : std::max<std::size_t>(k, 50); }
};

// When a writer saves on its own (Database::checkpoint): once replaying the log would take
// `replay_seconds`, or once the log is `log_bytes` long. Zero turns a bound off; both off
// turns checkpoints off.
struct CheckpointPolicy {
    double replay_seconds = 1.0;
    std::uint64_t log_bytes = std::uint64_t{256} << 20;

    static CheckpointPolicy never() { return {0.0, 0}; }
};

// The beam width used when the caller gives none: k + floor(10 sqrt k), at least 200.
std::size_t effective_ef(std::size_t k, std::optional<std::size_t> ef_search);

// The bounds on a new database's settings; std::invalid_argument outside them. Callers that
// must refuse settings before touching a directory check them here, as creation does.
void validate_config(const DatabaseConfig& config);

// What every stored vector must be: `dim` components, each finite (DimensionMismatch, or
// InvalidVector naming `id`). NaN and infinities would poison distances and the quantizer.
void check_stored_vector(std::string_view id, std::span<const float> vector, std::uint64_t dim);

class Database {
public:
    // Every file of the database is reached through `env` (the operating system's by default),
    // which the database keeps alive while it lives.

    // Opens an existing database directory; creates nothing (it may finish the recovery of an
    // interrupted save). DatabaseNotFound when no database is stored there, CorruptData when
    // only part of one is (see stored_database_exists in recovery.h); any other failure to
    // look at the files is an Io error.
    // ReadOnly: the files are only read, and they are read as one consistent state, the last
    // save with the complete records of its log present at the time: should a save or the
    // log's replacement run meanwhile (the reader holds no lock), the read is made again, a
    // bounded number of times, and an Io error says that the directory kept changing.
    static std::unique_ptr<Database> open(const std::string& path, std::shared_ptr<Env> env = Env::posix(),
                                          OpenMode mode = OpenMode::ReadWrite);

    // Opens the directory's stored database (the stored configuration wins), otherwise
    // creates an empty one in memory after creating the directory. Part of a stored database
    // is refused as by open(), never created over.
    // std::invalid_argument for a configuration no index can work with (dim 0, m below 2).
    static std::unique_ptr<Database> open_or_create(const std::string& path, const DatabaseConfig& config,
                                                    std::shared_ptr<Env> env = Env::posix());

    std::uint64_t dim() const { return dim_; }
    bool quantize() const { return quantize_; }
    const Storage& storage() const { return storage_; }
    const std::string& wal_path() const { return wal_path_; }
    bool read_only() const { return read_only_; }

    Metric metric() const;
    std::size_t len() const;
    bool contains(std::string_view id) const;

    // ---- insertion (validate everything, then log and change memory under the locks)
    // Every vector written must have the database's dimension and finite components
    // (InvalidVector, naming the id, otherwise); a batch with one bad vector changes nothing.
    void add(std::string id, std::vector<float> vector, std::optional<Json> metadata);
    void upsert(std::string id, std::vector<float> vector, std::optional<Json> metadata);
    // All or nothing: a wrong dimension, a stored id or an id repeated within the batch
    // refuses the whole batch before anything changes.
    // Row i of `rows` belongs to ids[i] and metadata[i]; `metadata` is empty (none for any
    // row) or one per id. REQUIRES: rows.size() == ids.size().
    void add_many(std::vector<std::string> ids, RowBlock rows, std::vector<std::optional<Json>> metadata);
    // Per item: replace when stored, else insert; repeats within the batch act as the same
    // calls made one by one (the last occurrence's vector and metadata win, one slot).
    void upsert_many(std::vector<std::string> ids, RowBlock rows, std::vector<std::optional<Json>> metadata);

    // ---- search
    std::vector<SearchResult> search(std::span<const float> query, std::size_t k, std::optional<std::size_t> ef_search,
                                     const Filter* filter, std::optional<float> max_distance) const;
    std::vector<std::vector<SearchResult>> search_many(const std::vector<std::vector<float>>& queries, std::size_t k,
                                                       std::optional<std::size_t> ef_search, const Filter* filter,
                                                       std::optional<float> max_distance) const;
    // Live vectors whose metadata satisfies the filter (all live vectors without one).
    std::size_t count(const Filter* filter) const;

    // ---- full-text search (text/text_index.h)
    // Indexes the string member `field` of every row's metadata for keyword search, words
    // stemmed (English) when `stem`. Logged, and saved in "text.qorel". The same settings again
    // change nothing; other ones replace the index. std::invalid_argument for an empty field.
    void enable_text_index(std::string field, bool stem);
    std::optional<TextConfig> text_index_config() const;
    // The k rows whose field best matches any word of the query, by BM25, best first (ties by
    // slot); `distance` is the negated score. Nothing without a text index.
    std::vector<SearchResult> search_text(std::string_view query, std::size_t k, const Filter* filter) const;
    // With `given`, every shard of a collection spread over several databases scores with the
    // whole collection's statistics (text_stats summed over them), so that its scores are the
    // ones one database holding the collection gives (statistics gathered before a write to
    // this database still score). std::invalid_argument when `given` lacks a query word or
    // gives one more documents than it counts (TextIndex::check_stats).
    std::vector<std::vector<SearchResult>> search_text_many(const std::vector<std::string>& queries, std::size_t k,
                                                            const Filter* filter,
                                                            const TextStats* given = nullptr) const;
    // The text index's statistics for the words of `queries` (empty without a text index).
    TextStats text_stats(const std::vector<std::string>& queries) const;
    // The vector search and the keyword search fused by reciprocal rank (HybridOptions);
    // `distance` is the negated fused score. std::invalid_argument for a weight outside [0, 1].
    std::vector<SearchResult> search_hybrid(std::span<const float> vector, std::string_view query, std::size_t k,
                                            const Filter* filter, const HybridOptions& options) const;
    // REQUIRES: vectors.size() == queries.size().
    std::vector<std::vector<SearchResult>> search_hybrid_many(const std::vector<std::vector<float>>& vectors,
                                                              const std::vector<std::string>& queries, std::size_t k,
                                                              const Filter* filter, const HybridOptions& options) const;

    // ---- deletion and update
    // True when the id was stored and is now deleted.
    bool remove(std::string_view id);
    // The number of ids that were stored and are now deleted (repeats and unknown ids skip).
    std::size_t remove_many(const std::vector<std::string>& ids);
    // NotFound before the dimension check; metadata is replaced only when given.
    void update(std::string id, std::optional<std::vector<float>> vector, std::optional<Json> metadata);

    // ---- retrieval and statistics
    std::pair<std::vector<float>, std::optional<Json>> get(std::string_view id) const;
    std::vector<std::string> ids() const;
    Stats stats() const;
    // Every file checked against what its save recorded (the whole vectors file included),
    // the log's records, and the graph's invariants: reachability from the entry point and the
    // bounds on every list. Waits for a save under way and holds writes while it reads the
    // files; changes nothing.
    std::vector<CheckResult> check() EXCLUDES(save_gate_, wal_mutex_);
    std::size_t total_slots() const;
    std::size_t deleted_count() const;
    bool quantized_search() const;
    void enable_quantized_search();
    void disable_quantized_search();

    // ---- persistence
    // Writes the data files through temporary files and renames, then deletes the log.
    void save() EXCLUDES(save_gate_, wal_mutex_);
    // Saves when the log has passed a bound of the policy; returns whether it saved. Throws
    // what save() throws: the log is then left whole, and the next call tries again. Called
    // after a write call, not within one.
    bool checkpoint(const CheckpointPolicy& policy) EXCLUDES(save_gate_, wal_mutex_);
    // Rebuilds the index without deleted slots, renumbering the live ones; writes nothing.
    void compact();
    // Read-only: moves to the directory's newest state, read as open() reads it; searches in
    // other threads see the old state or the new, never a mix, and what the old one mapped
    // stays valid while they use it. The stored database must keep its dimension
    // (DimensionMismatch otherwise, the old state kept). A writable database is always at its
    // newest state: nothing to do.
    void refresh();

private:
    struct ReadView;
    // The files a read-only open read, for the check that they were there together, and for
    // refresh() to see that nothing changed since.
    struct HeldFiles {
        FileId graph;
        bool graph_is_tmp = false;  // graph.tmp, as the graph of an interrupted save
        FileId vectors;
        std::optional<FileId> wal;
        std::uint64_t wal_length = 0;  // as read
        std::uint64_t wal_good = 0;    // the end of the records applied
        std::optional<FileId> delta;   // graph.delta, grown in place by incremental saves
        std::uint64_t delta_length = 0;  // as read
    };

    // Refuses every change of a read-only database.
    void check_writable() const;
    // A read-only database's refresh when only the log grew: applies its records past those
    // applied, once `no_save_since` confirms after reading them that they came from the log it
    // read before. False when that cannot be done (a save came between, or the log is replaced,
    // damaged past them, or has grown too much to read at once); the caller then opens the files
    // again.
    bool catch_up_with_log(const std::function<bool()>& no_save_since) REQUIRES(refresh_mutex_);
    // The read-only open, with its retries.
    static std::unique_ptr<Database> open_snapshot(const std::string& path, std::shared_ptr<Env> env);

    // save() with its locks held.
    void save_locked() REQUIRES(save_gate_, wal_mutex_);
    bool checkpoint_due(const CheckpointPolicy& policy) const;

    void check_dimension(std::size_t got) const;
    // The dimension, then every component finite: NaN and infinities would poison distances
    // and the quantizer's ranges.
    void check_vector(std::string_view id, std::span<const float> vector) const;
    // check_vector on every row in order, then the rows as one validated block.
    InsertBlock checked_block(std::vector<std::string> ids, RowBlock rows,
                              std::vector<std::optional<Json>> metadata) const;
    // Appends the records to the log as one unit, then applies them. What applying allocates
    // most is reserved before the append; should applying throw all the same, the records are
    // cut back out of the log before the exception goes on, so a call that raised is not
    // replayed. REQUIRES: the save gate held shared, the log mutex held (the writer's turn),
    // the records validated.
    void commit(std::vector<WalEntry> records) REQUIRES_SHARED(save_gate_) REQUIRES(wal_mutex_);
    void commit(InsertBlock& block) REQUIRES_SHARED(save_gate_) REQUIRES(wal_mutex_);
    // The append and the apply of commit(), the records cut back out of the log when applying
    // throws. Defined and used in writes.cc.
    template <class Records>
    void log_and_apply(Records& records) REQUIRES(wal_mutex_);
    // Makes room in every component for `new_ids` more ids, and makes the vectors owned when
    // `changes_vectors`.
    void reserve_for_apply(std::size_t new_ids, bool changes_vectors) REQUIRES(wal_mutex_);
    // Changes memory as the records say, in order, moving their contents out; takes id_to_slot
    // exclusively only when records add or remove ids. Used by live mutations and by replay
    // alike. REQUIRES: the log mutex held, no other lock but the save gate.
    void apply(std::span<WalEntry> records) REQUIRES(wal_mutex_);
    // The block's inserts as apply() applies Insert records; the rows are read where they lie.
    void apply(InsertBlock& block) REQUIRES(wal_mutex_);
    // Runs fn(id map, components) under the write locks of every component, the id map
    // exclusively only when `exclusive` (else shared). Defined and used in apply.cc.
    template <class Fn>
    void apply_locked(bool exclusive, Fn&& fn) REQUIRES(wal_mutex_);
    // Applies the log's intact records (damage is kept aside by the log, see Wal; a read-only
    // database only reads it). `held` receives the log file read and its length.
    void replay_wal(HeldFiles* held = nullptr) EXCLUDES(wal_mutex_);
    // Hands heap pages freed by a write of `vector_bytes` of vectors back to the system, when
    // that is large enough to be worth the walk over the heap.
    static void return_freed_memory(std::size_t vector_bytes);
    // Read-only with `held`, which receives the files read: they are only read.
    static std::unique_ptr<Database> load(const std::string& path, std::shared_ptr<Env> env, const GraphChoice& graph,
                                          bool quantize_argument, HeldFiles* held = nullptr);

    struct FilterPlan;
    // Decides how a filtered call finds its matches. REQUIRES: the view's locks held; takes the
    // metadata-index lock shared (after building the index if it is not yet), and when the walk will
    // test the index's own slot sets the plan keeps holding it until it is dropped.
    FilterPlan plan_filter(const ReadView& view, const Filter& filter) const
        REQUIRES_SHARED(index_.mutex(), slot_to_id_.mutex(), metadata_.mutex()) EXCLUDES(metadata_index_.mutex());
    // Indexes every live slot's metadata into `mindex` (empty), flat stored texts straight
    // from their text.
    static void build_metadata_index(MetadataIndex& mindex, const HnswIndex& index, const MetadataStore& meta);
    // Builds the metadata index if it is not yet. REQUIRES: the index and metadata locks held
    // (shared or exclusive), not the metadata-index lock, which it may take exclusively.
    void ensure_metadata_index(const HnswIndex& index, const MetadataStore& meta) const
        REQUIRES_SHARED(index_.mutex(), metadata_.mutex()) EXCLUDES(metadata_index_.mutex());
    std::vector<Candidate> search_filtered(const ReadView& view, std::span<const float> query, std::size_t k,
                                           std::size_t ef, const Filter& filter, const FilterPlan& plan) const;
    // The Walk route of search_filtered: a plain walk when matches are dense, else the
    // filter-aware walk.
    std::vector<Candidate> walk_filtered(const ReadView& view, std::span<const float> query, std::size_t k,
                                         std::size_t ef, const FilterPlan& plan) const;
    // search_many without a filter below the brute-force threshold: one batched exact scan.
    void search_many_exact(const ReadView& view, const std::vector<std::vector<float>>& queries, std::size_t k,
                           std::optional<float> max_distance, std::vector<std::vector<SearchResult>>& results) const;
    std::vector<SearchResult> assemble(const ReadView& view, const std::vector<Candidate>& candidates,
                                       std::optional<float> max_distance) const;
    // Indexes every live slot's field into `text` (configured, empty), stored texts read
    // without keeping a decoded value.
    static void build_text_index(TextIndex& text, const HnswIndex& index, const MetadataStore& meta);
    // Builds the text index if it is not yet. REQUIRES: the index and metadata locks held, not
    // the text-index lock, which it may take exclusively.
    void ensure_text_index(const HnswIndex& index, const MetadataStore& meta) const
        REQUIRES_SHARED(index_.mutex(), metadata_.mutex()) EXCLUDES(text_index_.mutex());
    // The keyword hits of one query under the view, filtered. REQUIRES: the text index built.
    std::vector<TextHit> text_hits(const ReadView& view, std::string_view query, std::size_t k,
                                   const Filter* filter, const TextStats* given = nullptr) const;
    // The k best slots of the two rankings by reciprocal rank (HybridOptions).
    std::vector<SearchResult> fuse(const ReadView& view, const std::vector<Candidate>& nearest,
                                   const std::vector<TextHit>& keyword, std::size_t k,
                                   const HybridOptions& options) const;

private:
    Database(std::string path, std::shared_ptr<Env> env, HnswIndex index, std::uint64_t dim, bool quantize,
             bool read_only = false);

    std::string path_;
    const std::shared_ptr<Env> env_;
    Storage storage_;
    Guarded<IdMap> id_to_slot_;
    Guarded<HnswIndex> index_;
    Guarded<std::vector<std::string>> slot_to_id_;
    Guarded<MetadataStore> metadata_;
    // Built when first needed after an open (a filter, a count, a change), so that opening
    // reads no row's members; `metadata_index_ready_` says whether it is. Mutable: a const
    // search may be the first to need it.
    mutable Guarded<MetadataIndex> metadata_index_;
    mutable std::atomic<bool> metadata_index_ready_{true};
    // The full-text index: its configuration always current, its postings built when first
    // needed after an open (`text_index_ready_`), as the metadata index is.
    mutable Guarded<TextIndex> text_index_;
    mutable std::atomic<bool> text_index_ready_{true};
    // Filter plans kept while the metadata index is unchanged (its own leaf lock).
    PlanCache plan_cache_;
    const std::uint64_t dim_;
    std::string wal_path_;
    const bool quantize_;
    const bool read_only_;
    Mutex refresh_mutex_;
    HeldFiles held_ GUARDED_BY(refresh_mutex_);
    RwLock save_gate_;
    // graph.tmp may be the directory's graph (a save stopped between its renames, or the open
    // could not move it into place): the next save settles the directory first.
    bool settle_pending_ GUARDED_BY(save_gate_) = false;
    // The files on disk as the last save or the open left them, which the next save may add
    // increments to; none when it must write every file (files of the older format, or a save
    // that failed part way, which leaves the files' state unknown).
    std::optional<IncrementBase> increments_ GUARDED_BY(save_gate_);
    // What text.qorel holds as the open read it or the last save wrote it (the inner none: no
    // such file), so that a save rewrites it only when the configuration changed; none when
    // unknown (a new database, or a failed write of it), which makes the next save write it.
    std::optional<std::optional<TextConfig>> text_config_saved_ GUARDED_BY(save_gate_);
    Mutex wal_mutex_ ACQUIRED_AFTER(save_gate_);
    Wal wal_ GUARDED_BY(wal_mutex_);
    // The log's replay estimate (nanoseconds of apply() since the last save) and length, and
    // the time of the last save (nanoseconds since the epoch, negative before one). Written
    // under the log mutex; atomic so that stats() and a writer's first look at its checkpoint
    // need no lock.
    std::atomic<std::uint64_t> replay_ns_{0};
    std::atomic<std::uint64_t> wal_bytes_{0};
    std::atomic<std::int64_t> last_save_ns_{-1};
};

}  // namespace qorel
