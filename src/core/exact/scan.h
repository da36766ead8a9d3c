// Exact scoring of one query against stored rows: the pass behind every search below the graph
// threshold, and behind filtered searches that score their candidate slots directly; and the
// bounded top-k collector every exact path keeps its results in.
//
// The scan is bound by how fast the rows stream in from memory, so everything else is kept off
// that path: several rows are scored per pass over the query with their sums in registers, the
// distances are formed a block at a time, and a row touches the heap only when it beats the
// heap's worst.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "distance.h"
#include "types.h"

namespace qorel {

// The k best (slot, distance) pairs offered, as a bounded max-heap under candidate_less. An
// entry only displaces the worst when strictly nearer, so among equal distances at the cut the
// first offered stay.
class NearestK {
public:
    // `most_offers` bounds the entries that can ever be kept, so that a huge k reserves no more.
    NearestK(std::size_t k, std::size_t most_offers) : k_(k) { heap_.reserve(std::min(k, most_offers)); }

    // Whether `d` would enter the heap: the test to run before offering.
    bool accepts(float d) const {
        if (heap_.size() < k_) return true;
        return !heap_.empty() && distance_less(d, heap_.front().distance);
    }

    bool full() const { return k_ != 0 && heap_.size() >= k_; }
    // The distance an entry must beat once full().
    float worst() const { return heap_.front().distance; }

    void offer(Slot s, float d) {
        if (heap_.size() < k_) {
            heap_.push_back({s, d});
            std::push_heap(heap_.begin(), heap_.end(), candidate_less);
        } else if (!heap_.empty() && distance_less(d, heap_.front().distance)) {
            std::pop_heap(heap_.begin(), heap_.end(), candidate_less);
            heap_.back() = {s, d};
            std::push_heap(heap_.begin(), heap_.end(), candidate_less);
        }
    }

    // The kept entries, nearest first (equal distances in no defined order).
    std::vector<Candidate> take() {
        std::sort_heap(heap_.begin(), heap_.end(), candidate_less);
        return std::move(heap_);
    }

private:
    std::size_t k_;
    std::vector<Candidate> heap_;
};

// The rows an exact scan reads: `count` rows of `dim` floats from `rows`, slot j at j * dim,
// and each row's stored norm.
struct ScanRows {
    const float* rows;
    const float* norms;
    std::size_t count;
    std::size_t dim;
    Metric metric;
};

// Offers every row to `top` with its norm-based score (norm_based_score of the row's inner
// product with the query, its stored norm and the query's sum of squares), in slot order. The
// inner products are the ones dot_products_block gives, bit for bit.
void scan_norm_scores(const ScanRows& rows, const float* query, NearestK& top);

// Offers every row not marked in `dead` (bit j % 64 of dead[j / 64], for the first `dead_words`
// words; rows beyond them are live) with its pair distance `dist(query, row, dim)`, in slot order.
// `dist` must be the pair kernel of rows.metric: rows that cannot beat the heap's worst are
// recognised from their norm-based scores and never reach it.
void scan_pair_distances(const ScanRows& rows, const float* query, const std::uint64_t* dead, std::size_t dead_words,
                         DistanceFn dist, NearestK& top);

// Offers the rows named by `slots` (each < rows.count) with their pair distances, in the given
// order, fetching rows ahead of their turn: the scattered reads of a candidate set.
void score_slots(const ScanRows& rows, const float* query, const Slot* slots, std::size_t count, DistanceFn dist,
                 NearestK& top);

// Turns one query's inner products with `len` consecutive rows into distances, in place: the
// norm-based scores (norm_based_score, with the metric decided once per block so that the loops
// vectorise), or, with `pair_conventions`, clamped as the pair kernels clamp them (neither
// cosine nor squared Euclidean goes below 0; a zero query or row is at cosine distance 1).
void to_distances(Metric metric, bool pair_conventions, float q2, float sqrt_q2, const float* norms, std::size_t len,
                  float* s);

}  // namespace qorel
