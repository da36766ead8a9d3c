// Layer walks and the three search paths: exact scan, graph walk, quantized graph walk with
// full-precision re-ranking.

#include <algorithm>
#include <cmath>

#include "walk_impl.h"

namespace qorel {

namespace {

// The fewest matches a filtered walk keeps where one node in ten matches, as multiples of k
// (more where matches are sparser): how far beyond the k-th match the walk still looks.
constexpr std::size_t kFilteredResultFloor = 2;
constexpr std::size_t kFilteredResultFloorQuantized = 4;

}  // namespace

Slot HnswIndex::search_layer_single(const float* query, Slot entry, std::size_t layer) const {
    return greedy_impl<true>(entry, layer, [&](Slot s) { return dist_fn_(query, vector(s), dim_); });
}

std::vector<Candidate> HnswIndex::search_layer(const float* query, Slot entry, std::size_t ef,
                                               std::size_t layer) const {
    std::vector<Candidate> out;
    layer_impl<true>(entry, ef, layer, [&](Slot s) { return dist_fn_(query, vector(s), dim_); }, out);
    return out;
}

float HnswIndex::quantized_distance(const float* query, Slot slot) const {
    return quantized_->quantizer.distance_to_codes(query, quantized_->codes.data() + static_cast<std::size_t>(slot) * dim_,
                                                   metric_);
}

Slot HnswIndex::search_layer_single_quantized(const float* query, Slot entry, std::size_t layer) const {
    return greedy_impl<true, true>(entry, layer, [&](Slot s) { return quantized_distance(query, s); });
}

std::vector<Candidate> HnswIndex::search_layer_quantized(const float* query, Slot entry, std::size_t ef) const {
    std::vector<Candidate> out;
    layer_impl<true, true>(entry, ef, 0, [&](Slot s) { return quantized_distance(query, s); }, out);
    return out;
}

// Searches run under the shared index lock, while every list writer holds it exclusively, so
// the query paths below read lists without their per-list locks.
Slot HnswIndex::descend(const float* query) const {
    Slot cur = entry_point_;
    if (quantized_) {
        auto qd = [&](Slot s) { return quantized_distance(query, s); };
        for (std::size_t layer = max_layer_; layer >= 1; --layer) cur = greedy_impl<false, true>(cur, layer, qd);
    } else {
        auto exact = [&](Slot s) { return dist_fn_(query, vector(s), dim_); };
        for (std::size_t layer = max_layer_; layer >= 1; --layer) cur = greedy_impl<false>(cur, layer, exact);
    }
    return cur;
}

std::vector<Candidate> HnswIndex::search(std::span<const float> query, std::size_t k, std::size_t ef_search) const {
    QOREL_ASSERT(query.size() == dim_, "query dimension mismatch");
    if (entry_point_ == kNoSlot) return {};
    if (uses_brute_force()) return search_brute_force(query, k);
    return search_graph(query, k, ef_search);
}

std::vector<Candidate> HnswIndex::search_graph(std::span<const float> query, std::size_t k,
                                               std::size_t ef_search) const {
    QOREL_ASSERT(query.size() == dim_, "query dimension mismatch");
    std::vector<Candidate> out;
    if (entry_point_ == kNoSlot || k == 0) return out;
    const std::size_t ef = std::max(k, ef_search);
    const float* q = query.data();
    const Slot start = descend(q);

    std::vector<Candidate> w;
    if (!quantized_) {
        layer_impl<false>(start, ef, 0, [&](Slot s) { return dist_fn_(q, vector(s), dim_); }, w);
        out.reserve(std::min(k, w.size()));
        for (const Candidate& c : w) {
            if (out.size() == k) break;
            if (!is_deleted(c.slot)) out.push_back(c);
        }
        return out;
    }
    layer_impl<false, true>(start, ef, 0, [&](Slot s) { return quantized_distance(q, s); }, w);
    out.reserve(w.size());
    for (const Candidate& c : w)
        if (!is_deleted(c.slot)) out.push_back({c.slot, dist_fn_(q, vector(c.slot), dim_)});
    std::stable_sort(out.begin(), out.end(), cand_less);
    if (out.size() > k) out.resize(k);
    return out;
}

std::vector<Candidate> HnswIndex::search_graph_filtered(std::span<const float> query, std::size_t k, std::size_t ef,
                                                        double expected_share, SlotFilter admit) const {
    QOREL_ASSERT(query.size() == dim_, "query dimension mismatch");
    std::vector<Candidate> out;
    if (entry_point_ == kNoSlot || k == 0) return out;
    const float* q = query.data();
    const Slot start = descend(q);
    if (!quantized_) {
        filtered_layer_impl<false>(start, std::max(ef, k), kFilteredResultFloor * k, expected_share,
                                   [&](Slot s) { return dist_fn_(q, vector(s), dim_); }, admit, out);
        if (out.size() > k) out.resize(k);
        return out;
    }
    // Quantized distances only rank the walk; the kept matches are re-scored at full precision,
    // so more of them are kept than the k returned.
    filtered_layer_impl<true>(start, std::max(ef, k), kFilteredResultFloorQuantized * k, expected_share,
                              [&](Slot s) { return quantized_distance(q, s); }, admit, out);
    for (Candidate& c : out) c.distance = dist_fn_(q, vector(c.slot), dim_);
    std::stable_sort(out.begin(), out.end(), cand_less);
    if (out.size() > k) out.resize(k);
    return out;
}

std::vector<Candidate> HnswIndex::search_brute_force(std::span<const float> query, std::size_t k) const {
    QOREL_ASSERT(query.size() == dim_, "query dimension mismatch");
    std::vector<Candidate> top;
    if (entry_point_ == kNoSlot) return top;
    show_brute_force_hint_once();
    if (k == 0) return top;

    // One sequential pass over the rows keeping the k best in a bounded max-heap: the only
    // buffer of the call, k entries.
    top.reserve(std::min(k, node_count()));
    auto offer = [&](Slot j, float d) {
        if (top.size() < k) {
            top.push_back({j, d});
            std::push_heap(top.begin(), top.end(), cand_less);
        } else if (distance_less(d, top.front().distance)) {
            std::pop_heap(top.begin(), top.end(), cand_less);
            top.back() = {j, d};
            std::push_heap(top.begin(), top.end(), cand_less);
        }
    };
    const float* q = query.data();
    const float* base = vectors_.data();
    if (deleted_.empty()) {
        const std::size_t rows = dim_ == 0 ? 0 : vectors_.float_count() / dim_;
        const float q2 = sum_of_squares(query);
        const float sqrt_q2 = std::sqrt(q2);
        // Dot products and scores a block at a time: the scoring loop has no branch on the
        // metric and vectorises, and the heap is only touched by rows that beat its worst.
        constexpr std::size_t kBlock = 256;
        float dots[kBlock];
        for (std::size_t j0 = 0; j0 < rows; j0 += kBlock) {
            const std::size_t len = std::min(kBlock, rows - j0);
            dot_products_block(q, base + j0 * dim_, dim_, len, dots);
            const float* nj = norms_.data() + j0;
            switch (metric_) {
                case Metric::Euclidean:
                    for (std::size_t j = 0; j < len; ++j) dots[j] = (q2 + nj[j] * nj[j]) - (dots[j] + dots[j]);
                    break;
                case Metric::DotProduct:
                    for (std::size_t j = 0; j < len; ++j) dots[j] = -dots[j];
                    break;
                case Metric::Cosine:
                    for (std::size_t j = 0; j < len; ++j) dots[j] = norm_based_score(metric_, q2, sqrt_q2, dots[j], nj[j]);
                    break;
            }
            for (std::size_t j = 0; j < len; ++j)
                if (top.size() < k || distance_less(dots[j], top.front().distance)) offer(static_cast<Slot>(j0 + j), dots[j]);
        }
    } else {
        const std::size_t n = node_count();
        for (std::size_t j = 0; j < n; ++j) {
            if (deleted_.count(static_cast<Slot>(j))) continue;
            offer(static_cast<Slot>(j), dist_fn_(q, base + j * dim_, dim_));
        }
    }
    std::sort_heap(top.begin(), top.end(), cand_less);
    // sort_heap is not stable; equal distances have no defined order after a selection anyway.
    return top;
}

}  // namespace qorel
