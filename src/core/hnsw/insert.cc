// Insertion, batch insertion and re-linking of a changed vector. Neighbours are chosen by the
// diversity rule of select_diverse, both for a new node's lists and when an overflowing list
// is pruned.

#include <algorithm>
#include <cmath>
#include <mutex>

#include "huge_pages.h"
#include "index.h"
#include "mutex.h"
#include "parallel.h"
#include "walk_impl.h"

namespace qorel {


void HnswIndex::append_vector(std::vector<float>& v) {
    if (quantized_) quantized_->quantizer.quantize_into(v.data(), quantized_->codes.extend(dim_));
    norms_.push_back(vector_norm(v));
    vectors_.append(v);
}

namespace {

// Room for `extra` more elements. Grows by at least half the capacity, so that many small
// batches in a row do not copy the whole array every time.
template <class Vector>
void reserve_more(Vector& v, std::size_t extra) {
    const std::size_t need = v.size() + extra;
    if (need > v.capacity()) v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
}

// Per-thread buffers of linking: connecting runs on the calling thread and on pool workers.
// Fetched once per node through an opaque call, for the reason scratch() gives.
[[gnu::noinline]] LinkScratch& link_scratch() {
    thread_local LinkScratch s;
    return s;
}

}  // namespace

// Room for a batch's vectors and neighbour lists in one step, and the large buffers (vectors and layer-0
// lists, the two read at random while linking) advised onto huge pages before first touch.
void HnswIndex::reserve_links(std::size_t n, const std::vector<std::uint8_t>& levels) {
    std::size_t upper = 0;
    for (const std::uint8_t l : levels) upper += l;
    reserve_more(links_up_, upper * stride_up_);
    reserve_node_arrays(n);
}

void HnswIndex::reserve_nodes(std::size_t n) {
    if (!in_edges_counted_) count_in_edges();
    if (n == 0) return;
    // A node has 1 / (m - 1) lists above layer 0 on average.
    reserve_more(links_up_, (n / std::max<std::size_t>(m_ - 1, 1) + 1) * stride_up_);
    reserve_node_arrays(n);
}

void HnswIndex::reserve_node_arrays(std::size_t n) {
    reserve_more(links0_, n * stride0_);
    reserve_more(levels_, n);
    reserve_more(up_first_, n);
    if (in_edges_counted_) reserve_more(in_degree_, n);
    const std::size_t floats = vectors_.count() + n * dim_;
    if (floats > vectors_.capacity()) vectors_.reserve(std::max(floats, vectors_.capacity() + vectors_.capacity() / 2));
    advise_huge_pages(links0_.data(), links0_.capacity() * sizeof(std::uint32_t));
    if (!vectors_.in_region()) advise_huge_pages(vectors_.data(), vectors_.capacity() * sizeof(float));
}

Slot HnswIndex::insert(std::vector<float> vector) {
    QOREL_ASSERT(vector.size() == dim_, "vector dimension mismatch");
    const Slot node = static_cast<Slot>(node_count());
    const std::size_t level = random_level();
    if (!in_edges_counted_) count_in_edges();
    append_vector(vector);
    append_node(level);
    grow_in_degree(node_count());
    active_count_.fetch_add(1, std::memory_order_relaxed);
    if (entry_point_ == kNoSlot) {
        entry_point_ = node;
        max_layer_ = level;
        return node;
    }
    const Slot entry_before = entry_point_;
    connect_node(node, level, entry_point_, max_layer_);
    if (level > max_layer_) {
        entry_point_ = node;
        max_layer_ = level;
    }
    restore_reachability(node, 1, entry_before);
    return node;
}

std::vector<Slot> HnswIndex::batch_insert(std::span<const float> rows) {
    QOREL_ASSERT(rows.size() % dim_ == 0, "vector dimension mismatch");
    const std::size_t n = rows.size() / dim_;
    if (n == 0) return {};

    const Slot start = static_cast<Slot>(node_count());
    std::vector<std::uint8_t> levels(n);
    for (std::size_t j = 0; j < n; ++j) levels[j] = static_cast<std::uint8_t>(random_level());

    // The whole block joins the store in one copy. The store grows geometrically, so that
    // many small batches do not copy it over and over; capacity beyond its rows is never
    // written, so it costs address space but no memory.
    if (!in_edges_counted_) count_in_edges();
    reserve_links(n, levels);
    // The rows are copied, their norms and codes computed and their layer-0 lists cleared in
    // parts on the pool: a large batch's fresh pages are then faulted in (and zeroed by the
    // system) on every core rather than on this thread alone, ahead of the parallel linking.
    float* const dst = vectors_.extend(rows.size());
    const std::size_t links_at = links0_.size();
    links0_.resize(links_at + n * stride0_);
    std::uint32_t* const lists = links0_.data() + links_at;
    const std::size_t norms_at = norms_.size();
    norms_.resize(norms_at + n);
    std::uint8_t* codes = quantized_ ? quantized_->codes.extend(n * dim_) : nullptr;
    constexpr std::size_t kPartRows = 2048;
    parallel::for_each(0, (n + kPartRows - 1) / kPartRows, [&](std::size_t part) {
        const std::size_t b = part * kPartRows;
        const std::size_t e = std::min(n, b + kPartRows);
        std::copy(rows.data() + b * dim_, rows.data() + e * dim_, dst + b * dim_);
        std::fill(lists + b * stride0_, lists + e * stride0_, 0u);
        for (std::size_t j = b; j < e; ++j) {
            const float* v = rows.data() + j * dim_;
            norms_[norms_at + j] = vector_norm({v, dim_});
            if (codes) quantized_->quantizer.quantize_into(v, codes + j * dim_);
        }
    });
    for (std::size_t j = 0; j < n; ++j) append_levels(levels[j]);
    grow_in_degree(node_count());

    const Slot entry_before = entry_point_;
    link_batch(start, levels);
    active_count_.fetch_add(n, std::memory_order_relaxed);
    restore_reachability(start, n, entry_before);

    std::vector<Slot> ids(n);
    for (std::size_t j = 0; j < n; ++j) ids[j] = start + static_cast<Slot>(j);
    return ids;
}

void HnswIndex::link_batch(Slot start, const std::vector<std::uint8_t>& levels) {
    const std::size_t n = levels.size();
    std::size_t first = 0;
    if (entry_point_ == kNoSlot) {
        entry_point_ = start;
        max_layer_ = levels[0];
        first = 1;
    }
    constexpr std::size_t kSerial = 128;
    const std::size_t serial_end = std::min(n, kSerial);
    for (std::size_t j = first; j < serial_end; ++j) {
        const Slot node = start + static_cast<Slot>(j);
        connect_node(node, levels[j], entry_point_, max_layer_);
        if (levels[j] > max_layer_) {
            entry_point_ = node;
            max_layer_ = levels[j];
        }
    }
    if (n > kSerial) {
        // The entry point and the top layer rise during this phase just as they would one
        // insert at a time. A node taller than the current top is linked while holding
        // `top_mutex`, so that it links on its own upper layers (through the nodes that reached
        // them before it) and becomes the entry point before anyone else descends from those
        // layers. With the top frozen instead, every node taller than it would stay without a
        // single edge above it: the upper layers, where most of the tall nodes of a large batch
        // live, would be empty, and every descent would start on a low layer from one node.
        // Tall nodes are rare (one in m^(top+1)), so the others hardly ever wait.
        Mutex top_mutex;
        parallel::for_each_in_order(kSerial, n, [&](std::size_t j) {
            const Slot node = start + static_cast<Slot>(j);
            std::unique_lock<Mutex> lock(top_mutex);
            const Slot entry = entry_point_;
            const std::size_t top = max_layer_;
            if (levels[j] <= top) lock.unlock();
            connect_node(node, levels[j], entry, top);
            if (lock.owns_lock()) {
                entry_point_ = node;
                max_layer_ = levels[j];
            }
        });
    }
}

void HnswIndex::connect_node(Slot node, std::size_t level, Slot entry, std::size_t top) {
    const float* q = vector(node);
    auto exact = [&](Slot s) { return dist_fn_(q, vector(s), dim_); };

    Slot cur = entry;
    for (std::size_t layer = top; layer > level; --layer) cur = greedy_impl<true>(cur, layer, exact);

    LinkScratch& sc = link_scratch();
    std::vector<Candidate>& w = sc.found;
    std::vector<Candidate>& pool = sc.pool;
    std::vector<Candidate>& kept = sc.kept;
    std::vector<Slot>& selected = sc.selected;
    for (std::size_t layer = std::min(top, level) + 1; layer-- > 0;) {
        const std::size_t lim = limit(layer);
        AdmitEvery every{ef_construction_};
        walk_layer<true, false>(cur, layer, exact, every, w);

        // The node's own slot can come back through stale edges pointing at it (after an update
        // unlinked it), and a search started from a low entry (re-linking the entry point) can
        // return that entry on a layer it does not have: neither may become an edge.
        pool.clear();
        for (const Candidate& c : w)
            if (c.slot != node && levels_[c.slot] >= layer) pool.push_back(c);
        select_diverse(pool, m_, kept);
        selected.clear();
        for (const Candidate& c : kept) selected.push_back(c.slot);
        {
            ListLock guard(lock_word(node, layer));
            std::uint32_t* own = writable_list(node, layer);
            if (own[0] == 0) {
                std::copy(selected.begin(), selected.end(), own + 1);
                own[0] = static_cast<std::uint32_t>(selected.size());
                if (layer == 0)
                    for (const Slot v : selected) count_in_edge(v);
            } else {
                // In the parallel phase other workers may already have linked back to this
                // node; replacing the list would drop their edges, so merge them in.
                const std::uint32_t* linked_here = own + 1;
                const std::uint32_t* linked_end = own + 1 + own[0];
                pool = kept;
                for (const std::uint32_t* e = linked_here; e != linked_end; ++e)
                    if (std::find(selected.begin(), selected.end(), *e) == selected.end())
                        pool.push_back({*e, exact(*e)});
                std::stable_sort(pool.begin(), pool.end(), candidate_less);
                select_diverse(pool, lim, kept);
                // Back-links go only to chosen neighbours that survived the merge and do not
                // already point here: a node that linked to this one first already holds it in
                // its list, and a second copy would waste one of its slots for good.
                std::erase_if(selected, [&](Slot v) {
                    return std::find(linked_here, linked_end, v) != linked_end ||
                           std::none_of(kept.begin(), kept.end(), [v](const Candidate& c) { return c.slot == v; });
                });
                if (layer == 0) recount_replaced(linked_here, linked_end, kept);
                for (std::size_t e = 0; e < kept.size(); ++e) own[1 + e] = kept[e].slot;
                own[0] = static_cast<std::uint32_t>(kept.size());
            }
        }
        // Back-links, each under the neighbour's own lock, one lock at a time. Other workers
        // may already be appending to this node's list, so walk the local copy.
        for (const Slot s : selected) add_back_link(s, node, layer, lim, kept, sc);
        if (layer == 0) note_if_orphan(node);
        // The next layer starts from the nearest node found here other than this one. Stale
        // edges can lead back to a node being re-linked, which is then usually the nearest to
        // its own vector, but its lists were just emptied: a walk started from it finds nothing,
        // and the node would be left without a single edge on every lower layer.
        for (const Candidate& c : w) {
            if (c.slot != node) {
                cur = c.slot;
                break;
            }
        }
    }
}

// Appends `node` to the list of `s`. A full list is pruned to its best diverse `lim` among its
// entries and `node`, scored against `s`; the scoring and the selection (dozens of distances) run
// outside the list's lock, so that walks reading the list and other workers linking to it do
// not spin behind them. The selection is written only if the list did not change meanwhile,
// otherwise it is made again from the new contents; either way no entry is lost or doubled.
void HnswIndex::add_back_link(Slot s, Slot node, std::size_t layer, std::size_t lim,
                              const std::vector<Candidate>& own_kept, LinkScratch& sc) {
    std::vector<std::uint32_t>& seen = sc.seen;
    std::vector<Candidate>& pool = sc.prune_pool;
    std::vector<Candidate>& kept = sc.prune_kept;
    // The distance between the two is already known from this node's own selection.
    const float* sv = vector(s);
    const auto known = std::find_if(own_kept.begin(), own_kept.end(), [s](const Candidate& c) { return c.slot == s; });
    const float to_new = known != own_kept.end() ? known->distance : dist_fn_(sv, vector(node), dim_);
    std::uint32_t* lst = writable_list(s, layer);
    for (;;) {
        {
            ListLock guard(lock_word(s, layer));
            const std::uint32_t len = lst[0];
            if (std::find(lst + 1, lst + 1 + len, node) != lst + 1 + len) return;
            if (len < lim) {
                lst[1 + len] = node;
                lst[0] = len + 1;
                if (layer == 0) count_in_edge(node);
                return;
            }
            seen.assign(lst + 1, lst + 1 + len);
        }
        pool.clear();
        for (std::size_t e = 0; e < seen.size(); ++e) {
            if (e + 1 < seen.size()) prefetch_row<false>(seen[e + 1]);
            pool.push_back({seen[e], dist_fn_(sv, vector(seen[e]), dim_)});
        }
        pool.push_back({node, to_new});
        std::stable_sort(pool.begin(), pool.end(), candidate_less);
        select_diverse(pool, lim, kept);
        ListLock guard(lock_word(s, layer));
        if (lst[0] != seen.size() || !std::equal(seen.begin(), seen.end(), lst + 1)) continue;
        if (layer == 0) recount_replaced(lst + 1, lst + 1 + seen.size(), kept);
        for (std::size_t e = 0; e < kept.size(); ++e) lst[1 + e] = kept[e].slot;
        lst[0] = static_cast<std::uint32_t>(kept.size());
        return;
    }
}

// Keeps, closest first, each candidate that is nearer to the base than to every candidate
// already kept, up to `limit`. Plain closest-first selection links every node only inside its
// own cluster once clusters hold more points than a list has room for: the graph falls apart
// into islands and searches stay in the cluster they start in. Keeping a candidate only when
// no kept neighbour already covers its direction preserves the edges between clusters.
// REQUIRES: `pool` sorted by ascending distance to the base.
void HnswIndex::select_diverse(const std::vector<Candidate>& pool, std::size_t limit,
                               std::vector<Candidate>& kept) const {
    kept.clear();
    if (pool.size() <= limit) {
        kept = pool;
        return;
    }
    for (const Candidate& c : pool) {
        if (kept.size() == limit) break;
        const float* cv = vector(c.slot);
        bool covered = false;
        for (const Candidate& r : kept) {
            if (dist_fn_(cv, vector(r.slot), dim_) < c.distance) {
                covered = true;
                break;
            }
        }
        if (!covered) kept.push_back(c);
    }
}

void HnswIndex::unlink(Slot node) {
    std::vector<Slot> former;
    for (std::size_t layer = 0; layer <= levels_[node]; ++layer) {
        {
            ListLock guard(lock_word(node, layer));
            std::uint32_t* p = writable_list(node, layer);
            former.assign(p + 1, p + 1 + p[0]);
            p[0] = 0;
        }
        if (layer == 0)
            for (const Slot v : former) drop_in_edge(v);
        for (Slot v : former) {
            if (levels_[v] < layer) continue;
            ListLock guard(lock_word(v, layer));
            std::uint32_t* p = writable_list(v, layer);
            std::uint32_t out = 0;
            for (std::uint32_t i = 0; i < p[0]; ++i)
                if (p[1 + i] != node) p[1 + out++] = p[1 + i];
            if (layer == 0)
                for (std::uint32_t i = out; i < p[0]; ++i) drop_in_edge(node);
            p[0] = out;
        }
    }
}

void HnswIndex::update_vector(Slot node, std::vector<float> vector) {
    QOREL_ASSERT(vector.size() == dim_ && node < node_count(), "vector dimension mismatch");
    if (!in_edges_counted_) count_in_edges();
    vectors_.overwrite(node, vector);
    rows_changed_.push_back(node);
    norms_[node] = vector_norm(vector);
    if (quantized_) quantized_->quantizer.quantize_into(vector.data(), quantized_->codes.mutable_row(node, dim_));
    if (node_count() <= 1) return;

    unlink(node);
    Slot entry = entry_point_;
    if (node == entry_point_) {
        entry = node;
        for (Slot s = 0; s < node_count(); ++s) {
            if (s != node && !is_deleted(s)) {
                entry = s;
                break;
            }
        }
    }
    connect_node(node, levels_[node], entry, max_layer_);
    restore_reachability(node, 1, entry_point_);
}

}  // namespace qorel
