// Keeping every live node reachable on layer 0: the incoming-edge counts that insertion keeps,
// the repair of nodes left without a way in, and the walk over the whole graph that finds
// islands.

#include <algorithm>
#include <atomic>

#include "index.h"
#include "spinlock.h"
#include "walk_impl.h"

namespace qorel {
namespace {

bool marked(const std::vector<std::uint64_t>& bits, Slot s) { return ((bits[s / 64] >> (s % 64)) & 1) != 0; }
void mark(std::vector<std::uint64_t>& bits, Slot s) { bits[s / 64] |= std::uint64_t{1} << (s % 64); }

// Enough walks over the whole graph to reconnect victims of the first repair round; a round
// that finds nothing left stops the loop earlier.
constexpr int kRepairRounds = 4;

}  // namespace

void HnswIndex::note_orphan(Slot v) {
    ListLock guard(orphans_lock_);
    orphans_.push_back(v);
}

void HnswIndex::drop_in_edge(Slot v) {
    if (!in_edges_counted_) return;
    // Down to one edge, the node may hang on a neighbour that hangs on it alone: note it too.
    if (std::atomic_ref<std::uint32_t>(in_degree_[v]).fetch_sub(1, std::memory_order_relaxed) <= 2) note_orphan(v);
}

Slot HnswIndex::closed_partner(Slot u) const {
    const std::uint32_t* p = list_ptr(u, 0);
    for (std::uint32_t i = 0; i < p[0]; ++i) {
        const Slot w = p[1 + i];
        if (in_degree_[w] != 1) continue;
        const std::uint32_t* q = list_ptr(w, 0);
        if (std::find(q + 1, q + 1 + q[0], u) != q + 1 + q[0]) return w;
    }
    return kNoSlot;
}

void HnswIndex::note_if_orphan(Slot v) {
    if (in_edges_counted_ && std::atomic_ref<std::uint32_t>(in_degree_[v]).load(std::memory_order_relaxed) == 0)
        note_orphan(v);
}

void HnswIndex::recount_replaced(const std::uint32_t* old_begin, const std::uint32_t* old_end,
                                 const std::vector<Candidate>& kept) {
    if (!in_edges_counted_) return;
    // Gains first, so that a node merely moving within the list never reads as orphaned.
    for (const Candidate& c : kept)
        if (std::find(old_begin, old_end, c.slot) == old_end) count_in_edge(c.slot);
    for (const std::uint32_t* p = old_begin; p != old_end; ++p)
        if (std::none_of(kept.begin(), kept.end(), [v = *p](const Candidate& c) { return c.slot == v; }))
            drop_in_edge(*p);
}

void HnswIndex::count_in_edges() {
    const std::size_t n = node_count();
    in_degree_.assign(n, 0);
    for (Slot s = 0; s < n; ++s) {
        const std::uint32_t* p = list_ptr(s, 0);
        for (std::uint32_t i = 0; i < p[0]; ++i) ++in_degree_[p[1 + i]];
    }
    in_edges_counted_ = true;
    orphans_.clear();
    for (Slot s = 0; s < n; ++s)
        if (in_degree_[s] == 0) orphans_.push_back(s);
}

void HnswIndex::grow_in_degree(std::size_t nodes) {
    if (in_edges_counted_) in_degree_.resize(nodes, 0);
}

void HnswIndex::restore_reachability(Slot first, std::size_t count, Slot entry_before) {
    linked_since_walk_ += count;
    // A new node tall enough to become the entry point reaches the stored graph only through
    // its own links, which may all lead into its batch: the check below takes the stored nodes
    // as reached, which then no longer holds. A node rises above the top about once in as many
    // inserts as the graph holds, so the walk over the whole graph it calls for costs, spread
    // over those inserts, what they cost.
    const bool entry_moved = entry_before != kNoSlot && entry_before != entry_point_;
    if (entry_moved || linked_since_walk_ * 8 >= node_count()) {
        repair_reachability();
    } else {
        link_islands(first, count);
        link_orphans();
    }
}

// Nodes unlike the stored ones (rows from another distribution, or far out) link to each other,
// while every stored node they link to prunes its link back to them as the farthest in its
// list. Each then has links in, so the incoming-edge counts see nothing wrong, yet the entry
// point reaches none of them. Every link a stored node holds to one of these nodes was made
// as the back-link of that node's own link to it (or by a repair), so the stored neighbours of
// the nodes are the only stored nodes that can lead into them: the nodes found in those
// neighbours' lists are reached, and so is every node those reach through links among
// themselves. The rest are linked in from reached nodes, a cost that follows the batch, not
// the graph. (Stored nodes count as reached: the walks over the whole graph see to that.)
void HnswIndex::link_islands(Slot first, std::size_t count) {
    if (count == 0 || !in_edges_counted_) return;
    auto inside = [&](Slot s) { return s >= first && s - first < count; };
    std::vector<std::uint8_t> reached(count);
    std::vector<Slot> stack;
    auto reach = [&](Slot s) {
        if (!inside(s) || reached[s - first]) return;
        reached[s - first] = 1;
        stack.push_back(s);
    };
    auto spread = [&] {
        while (!stack.empty()) {
            const std::uint32_t* p = list_ptr(stack.back(), 0);
            stack.pop_back();
            for (std::uint32_t i = 0; i < p[0]; ++i) reach(p[1 + i]);
        }
    };
    auto usable = [&](Slot s) { return !inside(s) || reached[s - first]; };
    // Links into the batch's nodes are never given up here, so linking one in never cuts off
    // another; a stored node's link given up on the way can be, and the next round sees it.
    for (int round = 0; round < kRepairRounds; ++round) {
        std::fill(reached.begin(), reached.end(), 0);
        reach(entry_point_);  // a node whose row was just replaced may be the entry point
        for (Slot u = first; u - first < count; ++u) {
            const std::uint32_t* p = list_ptr(u, 0);
            for (std::uint32_t i = 0; i < p[0]; ++i) {
                if (inside(p[1 + i])) continue;
                const std::uint32_t* q = list_ptr(p[1 + i], 0);
                for (std::uint32_t j = 0; j < q[0]; ++j) reach(q[1 + j]);
            }
        }
        spread();
        bool complete = true;
        for (Slot u = first; u - first < count; ++u) {
            if (reached[u - first] || is_deleted(u)) continue;
            complete = false;
            if (!link_in_least_risk(u, usable, inside)) continue;
            reach(u);
            spread();
        }
        if (complete) break;
    }
}

std::vector<Slot> HnswIndex::nearest_neighbours(Slot u) const {
    std::vector<Candidate> near;
    const std::uint32_t* p = list_ptr(u, 0);
    for (std::uint32_t i = 0; i < p[0]; ++i)
        if (p[1 + i] != u)
            near.push_back({p[1 + i], dist_fn_(vector(u), vector(p[1 + i]), dim_)});
    std::sort(near.begin(), near.end(), candidate_less);
    std::vector<Slot> out;
    for (const Candidate& c : near) out.push_back(c.slot);
    return out;
}

std::vector<Slot> HnswIndex::nearest_from_entry(Slot u, bool layer0_only) const {
    const float* q = vector(u);
    auto exact = [&](Slot s) { return dist_fn_(q, vector(s), dim_); };
    Slot cur = entry_point_;
    if (!layer0_only)
        for (std::size_t layer = max_layer_; layer > 0; --layer) cur = greedy_impl<false>(cur, layer, exact);
    AdmitEvery every{ef_construction_};
    std::vector<Candidate> found;
    walk_layer<false, false>(cur, 0, exact, every, found);
    // The descent ends at u itself when u is linked on the layers above; should u's own list
    // on layer 0 be empty (its one neighbour just re-linked), that walk finds only u: walk
    // from the entry point instead.
    if (cur == u && found.size() <= 1 && entry_point_ != u) walk_layer<false, false>(entry_point_, 0, exact, every, found);
    std::vector<Slot> out;
    for (const Candidate& c : found)
        if (c.slot != u) out.push_back(c.slot);
    return out;
}

bool HnswIndex::link_in_least_risk(Slot u, const std::function<bool(Slot)>& usable,
                                   const std::function<bool(Slot)>& kept) {
    // Candidates nearest first: `u`'s own neighbours, the nodes a walk from the entry point
    // finds, and those a walk on layer 0 alone finds; each computed only when the ones before
    // offer no link at the risk tried.
    std::vector<Slot> sources[3];
    bool computed[3] = {false, false, false};
    for (const LinkRisk risk : {LinkRisk::kNone, LinkRisk::kCountedWayIn, LinkRisk::kDisplace}) {
        for (int i = 0; i < 3; ++i) {
            if (!computed[i]) {
                sources[i] = i == 0 ? nearest_neighbours(u) : nearest_from_entry(u, i == 2);
                std::erase_if(sources[i], [&](Slot s) { return !usable(s); });
                computed[i] = true;
            }
            if (link_in(u, sources[i], kept, risk)) return true;
        }
    }
    return false;
}

bool HnswIndex::link_in(Slot u, std::span<const Slot> from, const std::function<bool(Slot)>& keep, LinkRisk risk) {
    auto kept = [&](Slot s) { return keep && keep(s); };
    std::vector<Slot> two_steps;
    const Slot* nearest = nullptr;
    for (const Slot& r : from) {
        if (r == u) continue;
        if (nearest == nullptr) nearest = &r;
        std::uint32_t* lst = writable_list(r, 0);
        const std::uint32_t len = lst[0];
        if (std::find(lst + 1, lst + 1 + len, u) != lst + 1 + len) return true;
        if (len < m_max0_) {
            lst[1 + len] = u;
            lst[0] = len + 1;
            count_in_edge(u);
            return true;
        }
        // Give up the entry farthest from r among those another entry's list holds too, which
        // r then still reaches through that entry; at more risk, among those with another
        // incoming edge, which may come from an island, though.
        if (risk == LinkRisk::kNone) {
            two_steps.clear();
            for (std::uint32_t i = 0; i < len; ++i) {
                const std::uint32_t* q = list_ptr(lst[1 + i], 0);
                two_steps.insert(two_steps.end(), q + 1, q + 1 + q[0]);
            }
            std::sort(two_steps.begin(), two_steps.end());
        }
        std::uint32_t victim = len;
        float farthest = 0.0f;
        for (std::uint32_t i = 0; i < len; ++i) {
            const Slot v = lst[1 + i];
            if (in_degree_[v] < 2 || kept(v)) continue;
            if (risk == LinkRisk::kNone && !std::binary_search(two_steps.begin(), two_steps.end(), v)) continue;
            const float d = dist_fn_(vector(r), vector(v), dim_);
            if (victim == len || d > farthest) {
                victim = i;
                farthest = d;
            }
        }
        if (victim == len) continue;
        --in_degree_[lst[1 + victim]];
        lst[1 + victim] = u;
        count_in_edge(u);
        return true;
    }
    if (nearest == nullptr || risk != LinkRisk::kDisplace) return false;
    // Every candidate's entries hang on that list alone: displace the farthest of the nearest
    // candidate's, which is noted as an orphan in turn.
    std::uint32_t* lst = writable_list(*nearest, 0);
    std::uint32_t victim = lst[0];
    float farthest = -1.0f;
    for (std::uint32_t i = 0; i < lst[0]; ++i) {
        if (kept(lst[1 + i])) continue;
        const float d = dist_fn_(vector(*nearest), vector(lst[1 + i]), dim_);
        if (d > farthest) {
            victim = i;
            farthest = d;
        }
    }
    if (victim == lst[0]) return false;
    const Slot dropped = lst[1 + victim];
    lst[1 + victim] = u;
    count_in_edge(u);
    drop_in_edge(dropped);
    return true;
}

void HnswIndex::link_orphans() {
    std::vector<Slot> pending;
    pending.swap(orphans_);
    // A displaced entry can become an orphan in turn: bound the chain; what is left over waits
    // for the next walk over the whole graph.
    std::size_t budget = 4 * pending.size() + 16;
    while (!pending.empty() && budget > 0) {
        --budget;
        const Slot u = pending.back();
        pending.pop_back();
        if (in_degree_[u] > 1 || u == entry_point_ || is_deleted(u)) continue;
        // One edge in is enough unless it comes from a node whose one edge in comes from u: two
        // nodes linked only to each other.
        const Slot partner = in_degree_[u] == 1 ? closed_partner(u) : kNoSlot;
        if (in_degree_[u] == 1 && (partner == kNoSlot || partner == entry_point_)) continue;
        link_in_least_risk(u, [partner](Slot s) { return s != partner; }, {});
        pending.insert(pending.end(), orphans_.begin(), orphans_.end());
        orphans_.clear();
    }
    orphans_ = std::move(pending);
}

void HnswIndex::mark_reachable(Slot start, std::vector<std::uint64_t>& reached) const {
    if (marked(reached, start)) return;
    std::vector<Slot> stack{start};
    mark(reached, start);
    while (!stack.empty()) {
        const Slot s = stack.back();
        stack.pop_back();
        const std::uint32_t* p = list_ptr(s, 0);
        for (std::uint32_t i = 0; i < p[0]; ++i) {
            if (marked(reached, p[1 + i])) continue;
            mark(reached, p[1 + i]);
            stack.push_back(p[1 + i]);
        }
    }
}

void HnswIndex::repair_reachability() {
    linked_since_walk_ = 0;
    if (!in_edges_counted_) count_in_edges();
    const std::size_t n = node_count();
    if (entry_point_ == kNoSlot) return;
    // The way in of a node linked in here is never given up for another's: nodes of one island
    // that reach each other only through the rest would otherwise displace each other in turn
    // from the one reached list near them.
    std::vector<std::uint64_t> linked_in(n / 64 + 1, 0);
    auto made_way_in = [&](Slot s) { return marked(linked_in, s); };
    for (int round = 0; round < kRepairRounds; ++round) {
        // Orphans first: linking one in can give up an entry that was another's only way in,
        // which only the walk that follows sees, so the round that ends the repair must be one
        // whose walk found nothing left.
        link_orphans();
        std::vector<std::uint64_t> reached(n / 64 + 1, 0);
        mark_reachable(entry_point_, reached);
        bool complete = true;
        for (Slot u = 0; u < n; ++u) {
            if (marked(reached, u) || is_deleted(u)) continue;
            complete = false;
            const bool linked = link_in_least_risk(u, [&](Slot s) { return marked(reached, s); }, made_way_in);
            // Only a node linked in makes what it reaches reached: marking it otherwise would
            // hide the rest of its island from this round.
            if (!linked) continue;
            mark(linked_in, u);
            mark_reachable(u, reached);
        }
        if (complete) break;
    }
}

std::size_t HnswIndex::unreachable_count() const {
    const std::size_t n = node_count();
    if (entry_point_ == kNoSlot) return 0;
    std::vector<std::uint64_t> reached(n / 64 + 1, 0);
    mark_reachable(entry_point_, reached);
    std::size_t missing = 0;
    for (Slot s = 0; s < n; ++s) missing += !marked(reached, s) && !is_deleted(s);
    return missing;
}

HnswIndex::GraphCheck HnswIndex::check_graph() const {
    GraphCheck out;
    out.unreachable = unreachable_count();
    const std::size_t n = node_count();
    for (Slot s = 0; s < n; ++s) {
        for (std::size_t layer = 0; layer <= levels_[s]; ++layer) {
            const std::uint32_t* p = list_ptr(s, layer);
            if (p[0] > (layer == 0 ? m_max0_ : m_)) {
                ++out.lists_over_limit;
                continue;
            }
            for (std::uint32_t i = 0; i < p[0]; ++i) out.bad_links += p[1 + i] >= n || p[1 + i] == s;
        }
    }
    return out;
}

}  // namespace qorel
