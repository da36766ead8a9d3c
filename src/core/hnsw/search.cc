// The search paths of the index: exact scan, graph walk, quantized graph walk with
// full-precision re-ranking, each with or without a filter on slots.

#include <algorithm>
#include <cmath>

#include "exact/scan.h"
#include "walk_impl.h"

namespace qorel {

namespace {

// The fewest matches a filtered walk keeps where one node in ten matches, as multiples of k
// (more where matches are sparser): how far beyond the k-th match the walk still looks.
constexpr std::size_t kFilteredResultFloor = 2;
constexpr std::size_t kFilteredResultFloorQuantized = 4;
// Matches a filtered walk scores beyond its own, per unit of ef, when its matches lie far from
// the query (see flood_matches). On 100k x 128 in 50 clusters with whole clusters matching,
// queries from the others reached recall@10 0.91 at 16 per ef and 0.99 at 40, against about
// 0.5 for the walk alone; a tenth of the collection at the default ef.
constexpr std::size_t kFloodPerEf = 40;
// Up to this many floats of expected matches (matches x dim), a walk whose matches lie far is
// answered by scoring every match instead. Far from the query the graph has little to lead
// by: in clustered data every row of a cluster lies at about the same distance, and on
// 400k x 128 in 50 clusters the flood needed a twelfth of the collection (32,000 scores a query)
// for recall@10 0.98 where half the rows match, while a tenth matching, as whole clusters plus
// scattered rows of one more, stayed at 0.84 with any budget: scattered matches are not
// connected through matches. One pass over the matches is exact, and at these sizes costs
// what that flood costs (bench/correlated_bench.py).
constexpr double kFarScanFloats = 64.0 * 1024 * 1024;

}  // namespace

float HnswIndex::quantized_distance(const float* query, Slot slot) const {
    return quantized_->quantizer.distance_to_codes(query, quantized_->codes.data() + static_cast<std::size_t>(slot) * dim_,
                                                   metric_);
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
    if (deleted_.empty()) {
        AdmitEvery every{ef};
        walk_unfiltered(start, q, every, w);
    } else {
        AdmitLive live{ef};
        walk_unfiltered(start, q, live, w);
    }
    if (quantized_) return rerank(q, std::move(w), k);
    if (w.size() > k) w.resize(k);
    return w;
}

template <class Admit>
void HnswIndex::walk_unfiltered(Slot start, const float* q, Admit& admit, std::vector<Candidate>& out) const {
    if (quantized_)
        walk_layer<false, true>(start, 0, [&](Slot s) { return quantized_distance(q, s); }, admit, out);
    else
        walk_layer<false, false>(start, 0, [&](Slot s) { return dist_fn_(q, vector(s), dim_); }, admit, out);
}

std::vector<Candidate> HnswIndex::rerank(const float* query, std::vector<Candidate> found, std::size_t k) const {
    std::vector<Candidate> out;
    out.reserve(found.size());
    for (const Candidate& c : found)
        if (!is_deleted(c.slot)) out.push_back({c.slot, dist_fn_(query, vector(c.slot), dim_)});
    std::stable_sort(out.begin(), out.end(), cand_less);
    if (out.size() > k) out.resize(k);
    return out;
}

std::vector<Candidate> HnswIndex::search_graph_filtered(std::span<const float> query, std::size_t k, std::size_t ef,
                                                        double expected_share, SlotFilter admit,
                                                        std::span<const Slot> seeds, bool known_far) const {
    QOREL_ASSERT(query.size() == dim_, "query dimension mismatch");
    std::vector<Candidate> out;
    if (entry_point_ == kNoSlot || k == 0) return out;
    const float* q = query.data();
    const Slot start = descend(q);
    const std::size_t beam = std::max(ef, k);
    if (!quantized_) {
        AdmitMatches matches{FilteredCapacity(beam, kFilteredResultFloor * k, expected_share), admit};
        if (!seeds.empty()) matches.capacity_rule.give_up_when_far();
        walk_layer<false, false>(start, 0, [&](Slot s) { return dist_fn_(q, vector(s), dim_); }, matches, out);
        if (known_far || matches.capacity_rule.matches_far())
            return far_matches(query, k, out, seeds, beam, expected_share, admit);
        if (out.size() > k) out.resize(k);
        return out;
    }
    // Quantized distances only rank the walk; the kept matches are re-scored at full precision,
    // so more of them are kept than the k returned.
    AdmitMatches matches{FilteredCapacity(beam, kFilteredResultFloorQuantized * k, expected_share), admit};
    if (!seeds.empty()) matches.capacity_rule.give_up_when_far();
    std::vector<Candidate> found;
    walk_layer<false, true>(start, 0, [&](Slot s) { return quantized_distance(q, s); }, matches, found);
    if (known_far || matches.capacity_rule.matches_far())
        return far_matches(query, k, found, seeds, beam, expected_share, admit);
    return rerank(q, std::move(found), k);
}

ScanRows HnswIndex::scan_rows() const {
    const std::size_t rows = std::min(node_count(), dim_ == 0 ? std::size_t{0} : vectors_.count() / dim_);
    QOREL_ASSERT(norms_.size() >= rows, "fewer stored norms than rows");
    return {vectors_.data(), norms_.data(), rows, dim_, metric_};
}

std::vector<Candidate> HnswIndex::far_matches(std::span<const float> query, std::size_t k,
                                              const std::vector<Candidate>& found, std::span<const Slot> seeds,
                                              std::size_t beam, double expected_share, SlotFilter admit) const {
    const double share = expected_share < 0.0 ? 1.0 : std::min(expected_share, 1.0);
    if (share * static_cast<double>(active_count()) * static_cast<double>(dim_) > kFarScanFloats)
        return flood_matches(query, k, found, seeds, kFloodPerEf * beam, admit);
    NearestK top(k, node_count());
    for (Slot v = 0; v < node_count(); ++v)
        if (!is_deleted(v) && admit(v)) top.offer(v, dist_fn_(query.data(), vector(v), dim_));
    return top.take();
}

std::vector<Candidate> HnswIndex::flood_matches(std::span<const float> query, std::size_t k,
                                                const std::vector<Candidate>& found, std::span<const Slot> seeds,
                                                std::size_t budget, SlotFilter admit) const {
    const float* q = query.data();
    SearchScratch& sc = scratch();
    sc.visited.begin(node_count());
    NearestK top(k, found.size() + budget);
    // Best first without a bound: every match met is scored, nearest expanded first, until the
    // budget is spent.
    auto& cand = sc.candidates;
    cand.clear();
    auto start_at = [&](Slot s) {
        if (sc.visited.test_and_set(s) || is_deleted(s) || !admit(s)) return;
        const float d = dist_fn_(q, vector(s), dim_);
        top.offer(s, d);
        cand.push_back({s, d});
    };
    for (const Candidate& c : found) start_at(c.slot);
    for (const Slot s : seeds) start_at(s);
    std::make_heap(cand.begin(), cand.end(), cand_greater);
    std::size_t scored = 0;
    while (!cand.empty() && scored < budget) {
        std::pop_heap(cand.begin(), cand.end(), cand_greater);
        const Slot u = cand.back().slot;
        cand.pop_back();
        const std::uint32_t* p = list_ptr(u, 0);
        for (std::uint32_t i = 0; i < p[0] && scored < budget; ++i) {
            const Slot v = p[1 + i];
            if (sc.visited.test_and_set(v) || is_deleted(v) || !admit(v)) continue;
            ++scored;
            const float d = dist_fn_(q, vector(v), dim_);
            top.offer(v, d);
            cand.push_back({v, d});
            std::push_heap(cand.begin(), cand.end(), cand_greater);
        }
    }
    // Every match connected to the starting ones through matches was scored and k were not
    // found: the others lie beyond non-matching nodes, and are scored where they are.
    if (cand.empty() && !top.full()) {
        for (Slot v = 0; v < node_count(); ++v) {
            if (!sc.visited.contains(v) && !is_deleted(v) && admit(v)) top.offer(v, dist_fn_(q, vector(v), dim_));
        }
    }
    return top.take();
}

std::vector<Candidate> HnswIndex::search_brute_force(std::span<const float> query, std::size_t k) const {
    QOREL_ASSERT(query.size() == dim_, "query dimension mismatch");
    if (entry_point_ == kNoSlot) return {};
    show_brute_force_hint_once();
    if (k == 0) return {};

    // One sequential pass over the rows keeping the k best in a bounded heap: the only buffer of
    // the call, k entries. Without deletions the scores come from inner products and the stored
    // norms, several rows at a time; with them, each live row gets the pair kernel's distance.
    const ScanRows source = scan_rows();
    NearestK top(k, source.count);
    if (deleted_.empty())
        scan_norm_scores(source, query.data(), top);
    else
        scan_pair_distances(source, query.data(), deleted_bits(), deleted_bit_words(), dist_fn_, top);
    return top.take();
}

}  // namespace qorel
