// Layer walks and the three search paths: exact scan, graph walk, quantized graph walk with
// full-precision re-ranking.

#include <algorithm>
#include <cmath>

#include "exact_scan.h"
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
    if (entry_point_ == kNoSlot) return {};
    show_brute_force_hint_once();
    if (k == 0) return {};

    // One sequential pass over the rows keeping the k best in a bounded heap: the only buffer of
    // the call, k entries. Without deletions the scores come from inner products and the stored
    // norms, several rows at a time; with them, each live row gets the pair kernel's distance.
    const std::size_t rows = std::min(node_count(), dim_ == 0 ? std::size_t{0} : vectors_.float_count() / dim_);
    const ScanRows source{vectors_.data(), norms_.data(), rows, dim_, metric_};
    NearestK top(k, rows);
    if (deleted_.empty())
        scan_norm_scores(source, query.data(), top);
    else
        scan_pair_distances(source, query.data(), deleted_bits(), deleted_bit_words(), dist_fn_, top);
    return top.take();
}

}  // namespace qorel
