// The two layer walks shared by insertion and search, templated on the distance so that exact
// and quantized walks compile to direct calls, and on whether lists are read under their locks.
// Private to the index's implementation files.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "index.h"
#include "spinlock.h"

namespace qorel {

namespace detail {

// Function objects rather than functions: the heap algorithms take them by value, and a
// function pointer there is an indirect call per comparison that the compiler does not inline.
inline constexpr struct {
    bool operator()(const Candidate& a, const Candidate& b) const { return distance_less(a.distance, b.distance); }
} cand_less{};
inline constexpr struct {
    bool operator()(const Candidate& a, const Candidate& b) const { return distance_less(b.distance, a.distance); }
} cand_greater{};

inline void prefetch(const void* p) { __builtin_prefetch(p, 0, 3); }

// Visited marks as one bit per slot: 200,000 nodes fit in 25 KB, which stays in the first-level
// cache during a walk, where a tag per slot would not. Only words that were set are cleared at
// the next search (their indices are kept), so a search costs O(visited) however large the
// graph.
struct VisitedTable {
    std::vector<std::uint64_t> words;
    std::vector<std::uint32_t> touched;  // indices of words with a bit set

    void begin(std::size_t nodes) {
        for (const std::uint32_t w : touched) words[w] = 0;
        touched.clear();
        const std::size_t need = nodes / 64 + 1;
        if (words.size() < need) words.resize(std::max(need, words.size() + words.size() / 2), 0);
    }
    bool contains(Slot s) const { return ((words[s >> 6] >> (s & 63)) & 1) != 0; }
    // Marks s; true when it was already marked in this search.
    bool test_and_set(Slot s) {
        std::uint64_t& w = words[s >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (s & 63);
        if ((w & bit) != 0) return true;
        if (w == 0) touched.push_back(s >> 6);
        w |= bit;
        return false;
    }
};

struct SearchScratch {
    VisitedTable visited;
    std::vector<Candidate> candidates;  // min-heap on distance
    std::vector<Candidate> results;     // max-heap on distance
    std::vector<Slot> fresh;            // unvisited neighbours of the node being expanded
};

// The calling thread's scratch. Out of line on purpose: in the shared module a thread-local's
// address is a call to the runtime, and with the variable inline the compiler repeats that call
// inside the walk's loops instead of keeping the address; one opaque call per walk is cheaper.
SearchScratch& scratch();

}  // namespace detail

using namespace detail;

// Greedy walk on one layer: scan the whole list of the current node, move to its best
// neighbour if it is strictly better, repeat.
template <bool kLocked, bool kCodes, class Dist>
Slot HnswIndex::greedy_impl(Slot entry, std::size_t layer, Dist&& dist) const {
    Slot cur = entry;
    float best = dist(cur);
    std::vector<Slot>& ids = scratch().fresh;
    for (;;) {
        if (levels_[cur] < layer) return cur;
        ids.clear();
        if constexpr (kLocked) {
            ListLock guard(lock_word(cur, layer));
            const std::uint32_t* p = list_ptr(cur, layer);
            ids.assign(p + 1, p + 1 + p[0]);
        } else {
            const std::uint32_t* p = list_ptr(cur, layer);
            ids.assign(p + 1, p + 1 + p[0]);
        }
        Slot next = cur;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (i + 1 < ids.size()) prefetch_row<kCodes>(ids[i + 1]);
            const float d = dist(ids[i]);
            if (d < best) {
                best = d;
                next = ids[i];
            }
        }
        if (next == cur) return cur;
        cur = next;
    }
}

// Best-first search of one layer with a result list of at most max(ef, 1) entries; `out`
// receives them sorted by ascending distance.
template <bool kLocked, bool kCodes, class Dist>
void HnswIndex::layer_impl(Slot entry, std::size_t ef, std::size_t layer, Dist&& dist,
                           std::vector<Candidate>& out) const {
    SearchScratch& sc = scratch();
    sc.visited.begin(node_count());
    auto& cand = sc.candidates;
    auto& res = sc.results;
    auto& fresh = sc.fresh;
    cand.clear();
    res.clear();
    if (ef == 0) ef = 1;

    const float d0 = dist(entry);
    cand.push_back({entry, d0});
    res.push_back({entry, d0});
    sc.visited.test_and_set(entry);

    while (!cand.empty()) {
        const Candidate c = cand.front();
        if (distance_less(res.front().distance, c.distance)) break;
        std::pop_heap(cand.begin(), cand.end(), cand_greater);
        cand.pop_back();
        // Every node has layer 0; testing the level there would be one more cache miss per
        // expanded node on the hottest walk.
        if (layer > 0 && levels_[c.slot] < layer) continue;

        // Collect the unvisited neighbours first, prefetching their vectors, then score them.
        fresh.clear();
        {
            VisitedTable& visited = sc.visited;
            auto collect = [&](const std::uint32_t* p) {
                for (std::uint32_t i = 0; i < p[0]; ++i) {
                    const Slot v = p[1 + i];
                    if (visited.test_and_set(v)) continue;
                    prefetch(row_address<kCodes>(v));
                    fresh.push_back(v);
                }
            };
            if constexpr (kLocked) {
                ListLock guard(lock_word(c.slot, layer));
                collect(list_ptr(c.slot, layer));
            } else {
                collect(list_ptr(c.slot, layer));
            }
        }
        // Only the first line of each row was requested above (all lines of all rows would
        // overrun the processor's outstanding-miss slots); the rest of the next row is fetched
        // while the current one is scored.
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            const Slot v = fresh[i];
            if (i + 1 < fresh.size()) prefetch_row<kCodes>(fresh[i + 1]);
            const float d = dist(v);
            if (res.size() < ef || d < res.front().distance) {
                // Most candidates that make the results are expanded later: start loading
                // their list now, it is otherwise a cache miss on the walk's critical path.
                // (Layer 0 only: every node has that list, and the upper layers are small.)
                if (layer == 0) prefetch(list_ptr(v, 0));
                cand.push_back({v, d});
                std::push_heap(cand.begin(), cand.end(), cand_greater);
                res.push_back({v, d});
                std::push_heap(res.begin(), res.end(), cand_less);
                if (res.size() > ef) {
                    std::pop_heap(res.begin(), res.end(), cand_less);
                    res.pop_back();
                }
            }
        }
    }
    // Ascending by distance straight from the result heap, without a temporary buffer; equal
    // distances come out in no defined order.
    std::sort_heap(res.begin(), res.end(), cand_less);
    out.assign(res.begin(), res.end());
}

// How many admitted results a filtered walk keeps: the beam `ef` (in nodes) times the share of
// admitted nodes among those tested so far, never more than ef, and never fewer than a floor.
// The share starts from `expected_share` (or 1 when unknown) weighted as kPriorTests tests, so
// that a few early tests do not swing it. Keeping ef x share matches makes the result bound
// fall at about the ef-th nearest node of any kind, as in an unfiltered walk. Where matches are
// sparse the graph leads to them less directly, so the floor, `min_results` at a share of one
// in ten and above, grows by as much again for every tenfold drop below it.
class FilteredCapacity {
public:
    FilteredCapacity(std::size_t ef, std::size_t min_results, double expected_share)
        : ef_(static_cast<double>(ef)),
          floor_(static_cast<double>(min_results)),
          prior_(expected_share < 0.0 ? 1.0 : std::min(expected_share, 1.0)) {}

    // Counts one tested node; returns the capacity, recomputed only every few tests since the
    // share it follows moves slowly (a logarithm per tested node showed in profiles).
    std::size_t record(bool admitted) {
        tested_ += 1.0;
        admitted_ += admitted ? 1.0 : 0.0;
        if (++since_ >= kRecomputeEvery) {
            since_ = 0;
            current_ = current();
        }
        return current_;
    }

    std::size_t current() const {
        const double share = (admitted_ + kPriorTests * prior_) / (tested_ + kPriorTests);
        const double floor = floor_ * (1.0 + std::max(0.0, std::log10(0.1 / std::max(share, 1e-6))));
        return static_cast<std::size_t>(std::clamp(std::ceil(ef_ * share), floor, std::max(ef_, floor)));
    }

private:
    static constexpr double kPriorTests = 16.0;
    static constexpr unsigned kRecomputeEvery = 4;
    double ef_, floor_, prior_;
    double tested_ = 0.0, admitted_ = 0.0;
    unsigned since_ = 0;
    std::size_t current_ = current();
};

// Best-first walk of layer 0 for a filtered search: every node within the bound is expanded,
// but only admitted ones enter the result heap. The bound is the worst kept result once the
// heap holds its capacity (FilteredCapacity); until then every reachable node is expanded, so
// the walk stops early only once it holds enough matches, and otherwise exhausts the graph.
// `out` receives the kept results sorted by ascending distance.
template <bool kCodes, class Dist>
void HnswIndex::filtered_layer_impl(Slot entry, std::size_t ef, std::size_t min_results, double expected_share,
                                    Dist&& dist, SlotFilter admit, std::vector<Candidate>& out) const {
    SearchScratch& sc = scratch();
    sc.visited.begin(node_count());
    auto& cand = sc.candidates;
    auto& res = sc.results;
    auto& fresh = sc.fresh;
    cand.clear();
    res.clear();
    FilteredCapacity capacity(std::max<std::size_t>(ef, 1), std::max<std::size_t>(min_results, 1), expected_share);
    std::size_t cap = capacity.current();

    auto offer = [&](Slot v, float d) {
        const bool ok = !is_deleted(v) && admit(v);
        cap = capacity.record(ok);
        if (ok) {
            res.push_back({v, d});
            std::push_heap(res.begin(), res.end(), cand_less);
        }
        while (res.size() > cap) {
            std::pop_heap(res.begin(), res.end(), cand_less);
            res.pop_back();
        }
    };

    const float d0 = dist(entry);
    cand.push_back({entry, d0});
    sc.visited.test_and_set(entry);
    offer(entry, d0);

    bool bounded = false;
    while (!cand.empty()) {
        const Candidate c = cand.front();
        if (res.size() >= cap && distance_less(res.front().distance, c.distance)) {
            bounded = true;
            break;
        }
        std::pop_heap(cand.begin(), cand.end(), cand_greater);
        cand.pop_back();

        fresh.clear();
        const std::uint32_t* p = list_ptr(c.slot, 0);
        for (std::uint32_t i = 0; i < p[0]; ++i) {
            const Slot v = p[1 + i];
            if (sc.visited.test_and_set(v)) continue;
            prefetch(row_address<kCodes>(v));
            fresh.push_back(v);
        }
        for (const Slot v : fresh) {
            const float d = dist(v);
            if (res.size() < cap || distance_less(d, res.front().distance)) {
                // As in the plain walk: most of these are expanded later, load their list now.
                prefetch(list_ptr(v, 0));
                cand.push_back({v, d});
                std::push_heap(cand.begin(), cand.end(), cand_greater);
                offer(v, d);
            }
        }
    }
    // The walk reached every node it could without filling its results. Pruning can leave a
    // few nodes without incoming edges, and a match there would be lost: score the nodes the
    // walk never reached (few, since it reached all the others).
    if (!bounded && res.size() < cap) {
        for (Slot v = 0; v < node_count(); ++v) {
            if (sc.visited.contains(v)) continue;
            const float d = dist(v);
            if (res.size() < cap || distance_less(d, res.front().distance)) offer(v, d);
        }
    }
    std::sort_heap(res.begin(), res.end(), cand_less);
    out.assign(res.begin(), res.end());
}

}  // namespace qorel
