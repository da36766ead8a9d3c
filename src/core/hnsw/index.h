// HnswIndex: the in-memory nearest-neighbour index of one database. A layered proximity graph
// over slots, the full-precision vectors with their norms, the deleted set and the optional
// SQ8 copy used to speed up traversal.
//
// Neighbour lists are flat, preallocated storage with room for limit + 1 entries each (the
// transient overflow before pruning): layer 0 of every node in one contiguous array, upper
// layers in a second array holding blocks only for nodes that reach them. Each list is preceded
// by a spinlock word so that the parallel phase of batch insertion can link nodes from several
// worker threads at once.
//
// REQUIRES: the owner serialises access with a reader-writer lock: searches and reads hold it
// shared, every mutating member (insert, batch_insert, update_vector, mark_deleted, the
// quantization switches, the loader's builders) holds it exclusively.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "distance.h"
#include "quantizer.h"
#include "types.h"
#include "uninit_vector.h"
#include "row_store.h"

namespace qorel {

// Levels above this are never drawn (a uniform draw of exactly 0 would otherwise saturate).
inline constexpr std::size_t kMaxLevel = 64;

struct ScanRows;  // exact/scan.h

// Prints the one brute-force hint to standard error the first time any exact scan of the
// process runs (an atomic swap, so at most once even across threads and databases); never in
// a build that scores through BLAS, since the hint recommends exactly that.
void show_brute_force_hint_once();

// A non-owning reference to a predicate on slots: cheap to pass by value and to call. The
// referenced callable must outlive every call.
class SlotFilter {
public:
    template <class F>
    SlotFilter(const F& f)  // NOLINT: implicit, so that a lambda can be passed directly
        : ctx_(&f), fn_([](const void* ctx, Slot s) { return static_cast<bool>((*static_cast<const F*>(ctx))(s)); }) {}
    bool operator()(Slot s) const { return fn_(ctx_, s); }

private:
    const void* ctx_;
    bool (*fn_)(const void*, Slot);
};

// A relaxed counter that moves with the index it counts for (std::atomic itself does not move).
struct MovableCount : std::atomic<std::size_t> {
    MovableCount() : std::atomic<std::size_t>(0) {}
    MovableCount(MovableCount&& o) noexcept : std::atomic<std::size_t>(o.load()) {}
    MovableCount& operator=(MovableCount&& o) noexcept {
        store(o.load());
        return *this;
    }
};

// Buffers one thread reuses while linking nodes (insert.cc).
struct LinkScratch {
    std::vector<Candidate> found, pool, kept;  // the layer search, the candidates, the selection
    std::vector<Slot> selected;
    std::vector<std::uint32_t> seen;           // a full list copied for pruning
    std::vector<Candidate> prune_pool, prune_kept;
};

class HnswIndex {
public:
    HnswIndex(std::size_t dim, Metric metric, std::size_t m, std::size_t ef_construction);

    HnswIndex(HnswIndex&& other) noexcept = default;
    HnswIndex& operator=(HnswIndex&& other) noexcept = default;
    HnswIndex(const HnswIndex&) = delete;
    HnswIndex& operator=(const HnswIndex&) = delete;

    // ---- configuration and counters
    std::size_t dim() const { return dim_; }
    Metric metric() const { return metric_; }
    std::size_t m() const { return m_; }
    std::size_t m_max0() const { return m_max0_; }
    std::size_t ef_construction() const { return ef_construction_; }
    double ml() const { return ml_; }
    std::size_t node_count() const { return levels_.size(); }
    std::size_t active_count() const { return active_count_.load(std::memory_order_relaxed); }
    Slot entry_point() const { return entry_point_; }
    std::size_t max_layer() const { return max_layer_; }

    // ---- data access
    const VectorStore& vectors() const { return vectors_; }
    // Keeps the vectors in `region`, a mapping of a file just written from them (its first
    // rows are the store's rows, byte for byte): the memory the store held goes back.
    void adopt_vectors(std::unique_ptr<PrivateRegion> region);
    const float* vector(Slot s) const { return vectors_.row(s, dim_); }
    const std::vector<float>& norms() const { return norms_; }
    const std::unordered_set<Slot>& deleted() const { return deleted_; }
    bool is_deleted(Slot s) const {
        return s / 64 < deleted_bits_.size() && ((deleted_bits_[s / 64] >> (s % 64)) & 1) != 0;
    }
    // The deleted set as one bit per slot (bit s % 64 of word s / 64), null when nothing is
    // deleted; words past the last deleted slot are absent.
    const std::uint64_t* deleted_bits() const { return deleted_.empty() ? nullptr : deleted_bits_.data(); }
    std::size_t deleted_bit_words() const { return deleted_bits_.size(); }
    const std::optional<QuantizedSearch>& quantized() const { return quantized_; }
    std::size_t level(Slot s) const { return levels_[s]; }

    // Copy of the neighbour list of `s` on `layer`, read under the list's lock. Empty when the
    // node has no such layer.
    std::vector<Slot> neighbours(Slot s, std::size_t layer) const;
    // The layer records of `s` (level + 1, then each list's length and slots), as the graph
    // file stores a node: appended to `out`, each list read under its lock.
    void encode_node(Slot s, std::vector<std::uint8_t>& out) const;
    // Length of one list, read under its lock.
    std::size_t neighbour_count(Slot s, std::size_t layer) const;

    // ---- insertion and update (exclusive lock)
    Slot insert(std::vector<float> vector);
    // Inserts the rows of one block (row j is the j-th run of dim floats), appending them to
    // the vector store in one go; returns their slots, in row order.
    std::vector<Slot> batch_insert(std::span<const float> rows);
    // The same for rows held one by one, gathered into one block first.
    std::vector<Slot> batch_insert(const std::vector<std::vector<float>>& rows) {
        std::vector<float> block;
        block.reserve(rows.size() * dim_);
        for (const auto& r : rows) {
            QOREL_ASSERT(r.size() == dim_, "vector dimension mismatch");
            block.insert(block.end(), r.begin(), r.end());
        }
        return batch_insert(std::span<const float>(block));
    }
    void update_vector(Slot node, std::vector<float> vector);
    // Makes the vectors owned and makes room for `nodes` more nodes (their vectors, layer-0
    // lists and an estimate of their upper lists), growing each array as a batch insertion
    // would, and counts the incoming edges of a loaded graph, so that inserting them later
    // allocates little.
    void reserve_nodes(std::size_t nodes);
    // Adds `s` to the deleted set; true when it was live. Its node, vector and edges stay.
    bool mark_deleted(Slot s);

    // ---- quantization (exclusive lock)
    void enable_quantized_search();
    void disable_quantized_search() { quantized_.reset(); }
    void load_quantized(ScalarQuantizer quantizer, CodeStore codes);

    // ---- search (shared lock)
    // At most k (slot, distance) pairs, nearest first, never a deleted slot. Picks the exact
    // scan below the brute-force threshold, otherwise the (quantized) graph walk.
    std::vector<Candidate> search(std::span<const float> query, std::size_t k, std::size_t ef_search) const;
    bool uses_brute_force() const { return static_cast<std::uint64_t>(active_count()) * dim_ < kBruteForceThreshold; }

    // The two paths of `search`, callable directly by tests and benchmarks.
    std::vector<Candidate> search_graph(std::span<const float> query, std::size_t k, std::size_t ef_search) const;
    std::vector<Candidate> search_brute_force(std::span<const float> query, std::size_t k) const;

    // The k nearest live slots that `admit` accepts, nearest first, with full-precision
    // distances. Layer 0 is walked through every node, admitted or not, but only admitted ones
    // become results, and the walk goes on until it holds k of them or has reached every node
    // it can. `ef` is the beam measured in nodes: the number of results kept follows the share
    // of admitted nodes met on the way, so that the explored neighbourhood stays about as large
    // as an unfiltered search with the same ef, and widens where matches are sparse.
    // `expected_share` (0..1, or negative when unknown) seeds that share. Uses the quantized
    // walk with full-precision re-ranking when quantized search is on.
    //
    // Where the matches lie far from the query (the walk meets its first match much later than
    // their share predicts), every match lies at about the same distance, and the walk's bound
    // would stop it among the first it met: the matches around those found are then scored best
    // first (far_matches). `seeds`, admitted slots spread over the collection, let such a walk
    // give up early and start there instead of crossing the query's whole region.
    // `known_far` says the caller already saw that the matches lie far (a plain walk's beam held
    // far fewer than their share predicts).
    std::vector<Candidate> search_graph_filtered(std::span<const float> query, std::size_t k, std::size_t ef,
                                                 double expected_share, SlotFilter admit,
                                                 std::span<const Slot> seeds = {}, bool known_far = false) const;

    // The k nearest admitted live nodes for a walk whose matches lie far from the query: every
    // match scored when their expected number (`expected_share` of the live nodes, all when
    // negative) is small enough for one pass to cost what a flood does, otherwise
    // flood_matches with a budget of a multiple of `beam`.
    std::vector<Candidate> far_matches(std::span<const float> query, std::size_t k, const std::vector<Candidate>& found,
                                       std::span<const Slot> seeds, std::size_t beam, double expected_share,
                                       SlotFilter admit) const;

    // The k nearest of `found`, the admitted ones of `seeds`, and the admitted live nodes
    // reachable from them on layer 0 through admitted nodes, expanding the nearest first without
    // a bound and scoring at most `budget` nodes beyond the starting ones; full-precision
    // distances, nearest first. When that runs out of nodes short of k, the other matches are
    // scored wherever they are.
    std::vector<Candidate> flood_matches(std::span<const float> query, std::size_t k, const std::vector<Candidate>& found,
                                         std::span<const Slot> seeds, std::size_t budget, SlotFilter admit) const;

    // Greedy descent from the entry point through layers max_layer .. 1; returns the start of
    // the layer-0 search. Uses quantized distances when quantized search is on.
    Slot descend(const float* query) const;

    // The pair distance between the query and the slot's decoded codes (decoded in registers,
    // so no buffer is needed).
    float quantized_distance(const float* query, Slot slot) const;

    std::size_t random_level() const;

    // ---- changes since the last save, so that a save can write only what changed
    // True until forget_changes(): a new or rebuilt index (compaction renumbers slots) has
    // nothing on disk to add to.
    bool changed_wholly() const { return changed_wholly_; }
    // Slots whose neighbour lists were written (any layer), new slots included.
    bool lists_changed(Slot s) const { return s < lists_changed_.size() && lists_changed_[s] != 0; }
    // Slots whose vector was replaced, and slots marked deleted, in the order it happened
    // (a slot may repeat in the first).
    const std::vector<Slot>& rows_changed() const { return rows_changed_; }
    const std::vector<Slot>& deleted_since_save() const { return deleted_since_save_; }
    // Slots whose id or metadata changed (the caller notes them; repeats possible).
    const std::vector<Slot>& records_changed() const { return records_changed_; }
    void note_record_changed(Slot s) { records_changed_.push_back(s); }
    // Everything above is on disk now.
    void forget_changes();

    // ---- loading: rebuild a saved index piece by piece (exclusive; before sharing)
    // Makes room for `nodes` nodes holding `upper_lists` lists above layer 0 in all, so that
    // appending them allocates each array once instead of growing it step by step.
    void load_reserve(std::size_t nodes, std::size_t upper_lists);
    // Appends a node with `level` + 1 empty lists and no vector (the store comes from the file).
    void load_append_node(std::size_t level);
    // Replaces one list; `ids` must fit the layer's limit + 1 and name valid slots.
    void load_set_list(Slot s, std::size_t layer, std::span<const Slot> ids);
    void load_finish(VectorStore store, std::vector<float> norms, std::unordered_set<Slot> deleted, Slot entry_point,
                     std::size_t max_layer);

    // Memory held by the graph structures (lists, locks, levels), for benchmarks.
    std::size_t graph_memory_bytes() const;
    // Bytes the graph structures of `nodes` nodes holding `upper_lists` lists above layer 0 in
    // all take with `m`: what load_reserve allocates for them, so that a loader can refuse a
    // graph too large for memory before building any of it.
    static std::uint64_t node_record_bytes(std::uint64_t nodes, std::uint64_t upper_lists, std::uint64_t m);

    // A view of the stored rows for the exact scans (exact/scan.h): the rows the store holds
    // for nodes, with their norms.
    ScanRows scan_rows() const;

    // ---- reachability (reach.cc)
    // Pruning a full list can drop a node's last incoming edge on layer 0; no walk from the
    // entry point reaches such a node again, so no search could return it. The index therefore
    // counts every node's incoming layer-0 edges and, at the end of each insertion, update and
    // batch, links back in every live node whose count fell to zero. Rarer islands (a few
    // nodes that only link to each other) are found by a walk over the whole graph, made once
    // the nodes linked since the last one reach an eighth of the graph and after every large
    // batch, so that its cost stays a small constant per insertion.
    //
    // Makes every live node reachable from the entry point on layer 0 now, whatever was linked
    // since the last check (exclusive lock).
    void repair_reachability();
    // Live nodes that a walk from the entry point over layer 0 does not reach (shared lock).
    std::size_t unreachable_count() const;

    // The graph's invariants counted over every list (shared lock): what a search relies on.
    struct GraphCheck {
        std::size_t unreachable = 0;      // live nodes the entry point does not reach on layer 0
        std::size_t lists_over_limit = 0; // lists longer than their layer allows (2m, m)
        std::size_t bad_links = 0;        // links to a slot past the end, or to the node itself
    };
    GraphCheck check_graph() const;

private:
    // Words of one list's block on layer 0 and above it: the lock word, the length, then room
    // for the layer's limit (2m and m) plus one ids.
    static constexpr std::size_t layer0_words(std::size_t m) { return 2 * m + 3; }
    static constexpr std::size_t upper_words(std::size_t m) { return m + 3; }

    // A list's block: the lock word, the length, then the ids; list_ptr points at the length.
    std::uint32_t* block_ptr(Slot s, std::size_t layer) {
        if (layer == 0) return links0_.data() + static_cast<std::size_t>(s) * stride0_;
        return links_up_.data() + (static_cast<std::size_t>(up_first_[s]) + layer - 1) * stride_up_;
    }
    const std::uint32_t* list_ptr(Slot s, std::size_t layer) const {
        return const_cast<HnswIndex*>(this)->block_ptr(s, layer) + 1;
    }
    // A list to change: notes the slot's lists as changed since the last save. Linking workers
    // store the same value, hence the relaxed atomic store.
    std::uint32_t* writable_list(Slot s, std::size_t layer) {
        std::atomic_ref<std::uint8_t>(lists_changed_[s]).store(1, std::memory_order_relaxed);
        return block_ptr(s, layer) + 1;
    }
    std::uint32_t& lock_word(Slot s, std::size_t layer) const {
        return const_cast<HnswIndex*>(this)->block_ptr(s, layer)[0];
    }
    std::size_t limit(std::size_t layer) const { return layer == 0 ? m_max0_ : m_; }

    void append_node(std::size_t level);
    // A node's level and upper lists (zeroed); its layer-0 list is the caller's to add.
    void append_levels(std::size_t level);
    void reserve_links(std::size_t n, const std::vector<std::uint8_t>& levels);
    // Room for n more nodes in every per-node array and the vector store.
    void reserve_node_arrays(std::size_t n);
    void append_vector(std::vector<float>& v);
    // Links the nodes of one batch, slots start .. start + levels.size() - 1, whose lists and
    // rows are in place: the first ones one by one, the rest on the worker pool.
    void link_batch(Slot start, const std::vector<std::uint8_t>& levels);
    // Links `node` on its layers 0 .. min(level, top), descending from `entry` on layer `top`.
    void connect_node(Slot node, std::size_t level, Slot entry, std::size_t top);
    void select_diverse(const std::vector<Candidate>& pool, std::size_t limit, std::vector<Candidate>& kept) const;
    // Links `s` back to the newly linked `node` on `layer`, pruning a full list (see insert.cc).
    // `own_kept` is the new node's selection, whose distances spare recomputing the pair's.
    void add_back_link(Slot s, Slot node, std::size_t layer, std::size_t lim, const std::vector<Candidate>& own_kept,
                       LinkScratch& sc);
    void unlink(Slot node);

    // Incoming-edge bookkeeping (reach.cc). The counts are kept only once `in_edges_counted_`:
    // a loaded index counts them at its first change, so that opening costs nothing.
    void count_in_edge(Slot v) {
        if (in_edges_counted_) std::atomic_ref<std::uint32_t>(in_degree_[v]).fetch_add(1, std::memory_order_relaxed);
    }
    // Drops one incoming edge of `v`, noting `v` when that was its last.
    void drop_in_edge(Slot v);
    // Notes `v` for the next repair if it has no incoming edge (a node just linked whose
    // neighbours all pruned it again never lost an edge, so nothing else would note it).
    void note_if_orphan(Slot v);
    void note_orphan(Slot v);
    // A neighbour of `u` whose one incoming edge comes from `u` and that holds `u`'s one
    // incoming edge, or kNoSlot.
    Slot closed_partner(Slot u) const;
    // `u`'s layer-0 neighbours nearest first.
    std::vector<Slot> nearest_neighbours(Slot u) const;
    // The nearest nodes to `u`'s vector that a walk from the entry point finds, nearest first.
    // With `layer0_only` the walk stays on layer 0, so that every node it finds is reachable
    // there: a descent through the upper layers can end among nodes layer 0 does not reach.
    std::vector<Slot> nearest_from_entry(Slot u, bool layer0_only = false) const;
    // A list's entries [old_begin, old_end) are about to be replaced by `kept`: counts the edges
    // gained and dropped.
    void recount_replaced(const std::uint32_t* old_begin, const std::uint32_t* old_end,
                          const std::vector<Candidate>& kept);
    void count_in_edges();
    void grow_in_degree(std::size_t nodes);
    // After the nodes `first` .. `first + count - 1` were (re)linked, with `entry_before` the
    // entry point before they were: links in the nodes left without a way in, and walks the
    // whole graph when enough has changed since the last walk or the entry point moved.
    void restore_reachability(Slot first, std::size_t count, Slot entry_before);
    void link_orphans();
    // Links in those of the nodes `first` .. `first + count - 1` that no stored node reaches
    // through them, however many links they hold among themselves.
    void link_islands(Slot first, std::size_t count);
    // How much a new link may put at risk: nothing (a list with room, or an entry the list
    // still reaches through another of its entries), an entry with another incoming edge
    // (which may come from an island, though), or an entry with no other (displaced, and noted
    // as an orphan).
    enum class LinkRisk { kNone, kCountedWayIn, kDisplace };
    // Gives `u` an incoming edge from the first of `from` (nearest first) whose list has room or
    // holds an entry that may be given up at `risk`, the farthest such; at kDisplace, failing
    // that, from the nearest. Entries for which `kept` holds are never given up. False when
    // `from` offers no such link.
    bool link_in(Slot u, std::span<const Slot> from, const std::function<bool(Slot)>& kept, LinkRisk risk);
    // Links `u` in from the nodes `usable` admits, taking the least risk any of them offers.
    bool link_in_least_risk(Slot u, const std::function<bool(Slot)>& usable, const std::function<bool(Slot)>& kept);
    // Marks in `reached` every node reachable on layer 0 from `start` (already marked ones stop
    // the walk).
    void mark_reachable(Slot start, std::vector<std::uint64_t>& reached) const;

    // The first bytes a walk reads of a slot: its codes on quantized walks, else its vector.
    template <bool kCodes>
    const void* row_address(Slot s) const {
        if constexpr (kCodes) return quantized_->codes.data() + static_cast<std::size_t>(s) * dim_;
        return vector(s);
    }
    // Requests every cache line of a slot's row (codes or vector), so that scoring it does
    // not wait on memory line by line.
    template <bool kCodes>
    void prefetch_row(Slot s) const {
        const char* p = static_cast<const char*>(row_address<kCodes>(s));
        const std::size_t bytes = kCodes ? dim_ : dim_ * sizeof(float);
        for (std::size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off, 0, 3);
    }
    template <bool kLocked, bool kCodes = false, class Dist>
    Slot greedy_impl(Slot entry, std::size_t layer, Dist&& dist) const;
    // The one best-first layer walk, parameterised by what it admits (walk_impl.h).
    template <bool kLocked, bool kCodes, class Admit, class Dist>
    void walk_layer(Slot entry, std::size_t layer, Dist&& dist, Admit& admit, std::vector<Candidate>& out) const;
    // The layer-0 walk of an unfiltered search from `start`, quantized when that is on.
    template <class Admit>
    void walk_unfiltered(Slot start, const float* q, Admit& admit, std::vector<Candidate>& out) const;
    // Re-scores `found` (ranked by quantized distances) at full precision and keeps the k
    // nearest live ones, nearest first.
    std::vector<Candidate> rerank(const float* query, std::vector<Candidate> found, std::size_t k) const;

    std::size_t dim_;
    Metric metric_;
    std::size_t m_;
    std::size_t m_max0_;
    std::size_t ef_construction_;
    double ml_;
    DistanceFn dist_fn_;

    VectorStore vectors_;
    std::vector<float> norms_;
    std::optional<QuantizedSearch> quantized_;
    std::unordered_set<Slot> deleted_;
    // The same set as a bitmap: what the scans and walks test, one load per slot.
    std::vector<std::uint64_t> deleted_bits_;
    std::size_t max_layer_ = 0;
    MovableCount active_count_;
    Slot entry_point_ = kNoSlot;

    // Graph storage. stride0_ = m_max0 + 3 words per node on layer 0 (lock, count, then room
    // for limit + 1 ids); stride_up_ = m + 3 per upper block.
    std::size_t stride0_;
    std::size_t stride_up_;
    UninitVector<std::uint32_t> links0_;
    std::vector<std::uint32_t> links_up_;
    std::vector<std::uint8_t> levels_;
    std::vector<std::uint32_t> up_first_;  // first upper block of each node
    std::size_t upper_blocks_ = 0;         // blocks in links_up_

    // Changes since the last save (see forget_changes): a byte per slot, sized with levels_.
    std::vector<std::uint8_t> lists_changed_;
    std::vector<Slot> rows_changed_;
    std::vector<Slot> deleted_since_save_;
    std::vector<Slot> records_changed_;
    bool changed_wholly_ = true;

    // Incoming layer-0 edges per slot, and the nodes whose count fell to zero since the last
    // repair (guarded by orphans_lock_, a ListLock word: linking workers add to it).
    std::vector<std::uint32_t> in_degree_;
    bool in_edges_counted_ = true;
    std::vector<Slot> orphans_;
    mutable std::uint32_t orphans_lock_ = 0;
    std::size_t linked_since_walk_ = 0;
};

}  // namespace qorel
