// The layer walks shared by insertion and search, templated on the distance so that exact and
// quantized walks compile to direct calls, on whether lists are read under their locks, and on
// what the walk admits to its results.
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
        if (admitted_ == 0.0) before_first_ = tested_;
        if (++since_ >= kRecomputeEvery) {
            since_ = 0;
            current_ = current();
        }
        return current_;
    }

    // Whether the first match came much later than the share predicts (1 / share tests on
    // average): the query lies in a region where nothing matches, and the matches it reached
    // are all about as far from it, so that the walk's bound stops it among the first it met.
    // So is a walk whose matches came at a quarter of their share or less: it crossed mostly
    // nodes that do not match.
    bool matches_far() const {
        return before_first_ * share() > kFarTests ||
               (prior_ > 0.0 && tested_ * prior_ >= kFarTests && admitted_ < tested_ * prior_ / 4.0);
    }
    // With other places to start from, a walk that has met no match for that long stops: its
    // further steps would only cross more of the query's own region.
    void give_up_when_far() { give_up_ = true; }
    bool gave_up() const { return give_up_ && admitted_ == 0.0 && tested_ * share() > kFarTests; }

    std::size_t current() const {
        const double share = (admitted_ + kPriorTests * prior_) / (tested_ + kPriorTests);
        const double floor = floor_ * (1.0 + std::max(0.0, std::log10(0.1 / std::max(share, 1e-6))));
        return static_cast<std::size_t>(std::clamp(std::ceil(ef_ * share), floor, std::max(ef_, floor)));
    }

private:
    static constexpr double kPriorTests = 16.0;
    static constexpr unsigned kRecomputeEvery = 4;
    // Tests before the first match, in multiples of the expected 1 / share, beyond which the
    // matches count as far: mixed evenly, as many misses in a row happen with odds of e^-16.
    static constexpr double kFarTests = 16.0;
    double ef_, floor_, prior_;
    double tested_ = 0.0, admitted_ = 0.0, before_first_ = 0.0;
    bool give_up_ = false;

    double share() const { return prior_ > 0.0 ? prior_ : admitted_ / std::max(tested_, 1.0); }
    unsigned since_ = 0;
    std::size_t current_ = current();
};

// What a walk admits to its results, and how many it keeps.
//
// Every node, at most max(ef, 1) of them: the walk of insertion and of the unfiltered search.
// The flag makes the walk compile to the plain loop, with no admission test at all.
struct AdmitEvery {
    static constexpr bool kEvery = true;
    std::size_t ef;

    std::size_t capacity() const { return std::max<std::size_t>(ef, 1); }
};

// Live nodes, at most max(ef, 1) of them: the unfiltered search once something is deleted.
// Deleted nodes are still walked through, but taking places among the results they would
// push live ones out (a search for every live node would miss as many as are deleted).
struct AdmitLive {
    static constexpr bool kEvery = false;
    std::size_t ef;

    std::size_t capacity() const { return std::max<std::size_t>(ef, 1); }
    bool admits(const HnswIndex& index, Slot v) const { return !index.is_deleted(v); }
    std::size_t record(bool) { return capacity(); }
    bool gave_up() const { return false; }
};

// Live nodes that `filter` accepts, as many as FilteredCapacity says.
struct AdmitMatches {
    static constexpr bool kEvery = false;
    FilteredCapacity capacity_rule;
    SlotFilter filter;

    std::size_t capacity() const { return capacity_rule.current(); }
    bool admits(const HnswIndex& index, Slot v) const { return !index.is_deleted(v) && filter(v); }
    std::size_t record(bool admitted) { return capacity_rule.record(admitted); }
    bool gave_up() const { return capacity_rule.gave_up(); }
};

// A walk's result heap (a max-heap on distance, in the thread's scratch) under its admission
// policy: what enters, and the bound the walk stops at.
template <class Admit>
class WalkResults {
public:
    WalkResults(const HnswIndex& index, Admit& admit, std::vector<Candidate>& heap)
        : index_(index), admit_(admit), heap_(heap), cap_(admit.capacity()) {
        heap_.clear();
    }

    bool short_of_capacity() const { return heap_.size() < cap_; }
    // Whether the walk is done before expanding a candidate at `d`: the worst kept result is
    // nearer. (A walk that keeps every node holds every candidate among its results until it
    // is full, so it needs no test of the count.)
    bool bounds(float d) const {
        return (Admit::kEvery || heap_.size() >= cap_) && distance_less(heap_.front().distance, d);
    }
    // Whether a node at `d` enters the walk: always while the results are short of capacity.
    bool within(float d) const {
        if (heap_.size() < cap_) return true;
        if constexpr (Admit::kEvery) return d < heap_.front().distance;
        return distance_less(d, heap_.front().distance);
    }

    void keep(Slot v, float d) {
        bool ok = true;
        if constexpr (!Admit::kEvery) {
            ok = admit_.admits(index_, v);
            cap_ = admit_.record(ok);
        }
        if (ok) {
            heap_.push_back({v, d});
            std::push_heap(heap_.begin(), heap_.end(), cand_less);
        }
        // A filtered walk's capacity can shrink by more than one at a time.
        while (heap_.size() > cap_) {
            std::pop_heap(heap_.begin(), heap_.end(), cand_less);
            heap_.pop_back();
            if constexpr (Admit::kEvery) break;
        }
    }

    // Ascending by distance straight from the heap, without a temporary buffer (equal
    // distances in no defined order).
    void take(std::vector<Candidate>& out) {
        std::sort_heap(heap_.begin(), heap_.end(), cand_less);
        out.assign(heap_.begin(), heap_.end());
    }

private:
    const HnswIndex& index_;
    Admit& admit_;
    std::vector<Candidate>& heap_;
    std::size_t cap_;
};

// Best-first walk of one layer. Every node within the bound is expanded, but only admitted
// ones enter the result heap; the bound is the worst kept result once the heap holds its
// capacity. Until then every reachable node is expanded, so a walk that admits only some nodes
// stops early only once it holds enough of them, and otherwise exhausts the graph; it then
// scores the nodes it never reached (pruning can leave a few without incoming edges, and a
// match there would be lost). `out` receives the kept results sorted by ascending distance.
template <bool kLocked, bool kCodes, class Admit, class Dist>
void HnswIndex::walk_layer(Slot entry, std::size_t layer, Dist&& dist, Admit& admit, std::vector<Candidate>& out) const {
    SearchScratch& sc = scratch();
    sc.visited.begin(node_count());
    auto& cand = sc.candidates;
    auto& fresh = sc.fresh;
    cand.clear();
    WalkResults<Admit> res(*this, admit, sc.results);

    const float d0 = dist(entry);
    cand.push_back({entry, d0});
    sc.visited.test_and_set(entry);
    res.keep(entry, d0);

    [[maybe_unused]] bool bounded = false;
    while (!cand.empty()) {
        const Candidate c = cand.front();
        if (res.bounds(c.distance)) {
            bounded = true;
            break;
        }
        if constexpr (!Admit::kEvery) {
            if (admit.gave_up()) {
                bounded = true;
                break;
            }
        }
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
            if (res.within(d)) {
                // Most candidates that make the results are expanded later: start loading
                // their list now, it is otherwise a cache miss on the walk's critical path.
                // (Layer 0 only: every node has that list, and the upper layers are small.)
                if (layer == 0) prefetch(list_ptr(v, 0));
                cand.push_back({v, d});
                std::push_heap(cand.begin(), cand.end(), cand_greater);
                res.keep(v, d);
            }
        }
    }
    if constexpr (!Admit::kEvery) {
        // Reached every node it could without filling its results: score the unreached (few).
        const bool exhausted = !bounded && res.short_of_capacity();
        for (Slot v = 0; exhausted && v < node_count(); ++v) {
            if (sc.visited.contains(v)) continue;
            const float d = dist(v);
            if (res.within(d)) res.keep(v, d);
        }
    }
    res.take(out);
}

}  // namespace qorel
