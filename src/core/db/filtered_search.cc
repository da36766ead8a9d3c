// The filtered search procedure: how a call with a metadata filter finds the k nearest
// matching vectors, by exact scan, by scoring the index's candidates, or by a filter-aware
// graph walk.

#include <algorithm>

#include "hnsw/exact_scan.h"
#include "search_internal.h"

namespace qorel {

namespace {

// A graph-mode filter whose candidates number at most this many floats (candidates x dim) is
// answered by scoring every candidate exactly: below it, that costs less than a graph walk at
// the default beam, and it is exact. On 200k x 128 mixtures (bench/filtered_bench.py) about
// 2,000 candidates scored in the time of one walk while half of that time went to reading
// hash-set slot sets; the index now hands over flat ascending slot arrays, so collecting is a
// copy and scoring streams the vectors in memory order, and twice as many fit in a walk's time.
constexpr std::size_t kCandidateScoreFloats = 1'024'000;
// A conjunction whose most selective listable condition holds at most this many slots is
// intersected up front through the index's columns (a few nanoseconds a slot): that finds the
// exact number of matches, small enough to score one by one far more often than the smallest
// member alone suggests, and otherwise the share the walk needs.
constexpr std::size_t kIntersectSlots = 65'536;
// Slots sampled to estimate the share of matches when the index cannot count them (a condition
// only the metadata decides), and to see a walk is certain before listing anything.
constexpr std::size_t kShareSamples = 512;

const Json* metadata_at(const MetadataStore& meta, Slot s) {
    if (s >= meta.size()) return nullptr;
    const std::optional<Json>& row = meta[s];
    return row ? &*row : nullptr;
}

}  // namespace

Database::FilterPlan Database::plan_filter(const ReadView& view, const Filter& filter) const {
    const HnswIndex& index = *view.index;
    ensure_metadata_index(index, *view.meta);
    FilterPlan plan;
    auto lock = std::make_unique<Guarded<MetadataIndex>::Reader>(metadata_index_);
    const MetadataIndex* mindex = &**lock;
    if (index.uses_brute_force()) {
        plan.route = FilterPlan::Route::Scan;
        plan.set = filter.resolve_from_index(*mindex);
        return plan;
    }
    SlotTest& test = plan.test.emplace(filter, *mindex);
    plan.index_lock = std::move(lock);
    if (test.never() || index.active_count() == 0) {
        plan.route = FilterPlan::Route::Nothing;
        return plan;
    }
    if (test.rest() == nullptr && test.admits_all(index.active_count())) {
        plan.route = FilterPlan::Route::Walk;
        plan.all_match = true;
        return plan;
    }
    const std::size_t limit = kCandidateScoreFloats / std::max<std::size_t>(index.dim(), 1);
    const double live = static_cast<double>(index.active_count());
    // A sample of the columns first: when it shows matches far beyond the candidate limit, the
    // walk is certain, and intersecting a conjunction (or sorting a range's numbers the first
    // time after a change) would only cost the single query its time.
    const double sampled = test.sampled_share(index.node_count(), kShareSamples);
    if (sampled * static_cast<double>(index.node_count()) > 2.0 * static_cast<double>(limit)) {
        plan.route = FilterPlan::Route::Walk;
        plan.share = sampled;
        return plan;
    }
    const std::optional<SlotTest::Smallest> smallest = test.smallest(limit);
    if (smallest && smallest->size == 0) {
        plan.route = FilterPlan::Route::Nothing;
        return plan;
    }
    if (smallest && (smallest->size <= limit || (test.clause_count() > 1 && smallest->size <= kIntersectSlots))) {
        // The matches the columns admit, listed exactly: scored one by one when few, otherwise
        // their number tells the walk how sparse they are.
        test.collect(smallest->clause, plan.slots);
        if (plan.slots.empty()) {
            plan.route = FilterPlan::Route::Nothing;
            return plan;
        }
        if (plan.slots.size() <= limit) {
            plan.route = FilterPlan::Route::Candidates;
            return plan;
        }
        plan.share = std::min(1.0, static_cast<double>(plan.slots.size()) / live);
        plan.all_match = plan.slots.size() == index.active_count() && !test.rest();
        plan.slots.clear();
    } else if (smallest && test.clause_count() == 1 && test.counts_exactly(smallest->clause)) {
        // One equality, membership or range: its slot count is the exact number of matches.
        plan.share = std::min(1.0, static_cast<double>(smallest->size) / live);
        plan.all_match = smallest->size == index.active_count() && !test.rest();
    } else {
        // Below one sample in the whole sample the estimate says only "rare".
        const double floor = 0.5 / static_cast<double>(kShareSamples);
        plan.share = std::max(floor, sampled);
    }
    plan.route = FilterPlan::Route::Walk;
    return plan;
}

std::vector<Candidate> Database::search_filtered(const ReadView& view, std::span<const float> query, std::size_t k,
                                                 std::size_t ef, const Filter& filter, const FilterPlan& plan) const {
    const HnswIndex& index = *view.index;
    const auto& meta = *view.meta;
    const Metric metric = index.metric();
    const std::size_t dim = index.dim();
    std::vector<Candidate> out;
    if (index.entry_point() == kNoSlot) return out;
    const Filter* rest = plan.rest_filter();

    switch (plan.route) {
        case FilterPlan::Route::Nothing: return out;

        case FilterPlan::Route::Walk: {
            if (plan.all_match) return index.search_graph(query, k, ef);
            const SlotTest& test = *plan.test;
            // One column read per clause; the metadata only for what the columns cannot decide.
            if (rest == nullptr)
                return index.search_graph_filtered(query, k, ef, plan.share, [&](Slot s) { return test.admits(s); });
            return index.search_graph_filtered(query, k, ef, plan.share, [&](Slot s) {
                return test.admits(s) && rest->matches(metadata_at(meta, s));
            });
        }

        case FilterPlan::Route::Candidates: {
            if (k == 0) return out;
            // The live matches first (no vector read), then one scoring pass over their rows.
            std::vector<Slot> live;
            live.reserve(plan.slots.size());
            for (Slot s : plan.slots)
                if (s < index.node_count() && !index.is_deleted(s) && (rest == nullptr || rest->matches(metadata_at(meta, s))))
                    live.push_back(s);
            NearestK top(k, live.size());
            const ScanRows rows{index.vectors().data(), index.norms().data(), index.node_count(), dim, metric};
            score_slots(rows, query.data(), live.data(), live.size(), distance_fn(metric), top);
            return top.take();
        }

        case FilterPlan::Route::Scan: break;
    }

    show_brute_force_hint_once();
    const std::optional<SlotSet>& candidates = plan.set;
    auto admissible = [&](Slot s) {
        if (index.is_deleted(s)) return false;
        if (candidates && !candidates->count(s)) return false;
        return filter.matches(metadata_at(meta, s));
    };
    // A candidate set narrows the scan to its members; otherwise every slot is tested. The
    // matches are then scored in one pass that keeps only the k best.
    std::vector<Slot> matches;
    if (candidates && candidates->size() < index.node_count()) {
        std::vector<Slot> members(candidates->begin(), candidates->end());
        std::sort(members.begin(), members.end());
        for (Slot s : members)
            if (s < index.node_count() && admissible(s)) matches.push_back(s);
    } else {
        for (Slot s = 0; s < index.node_count(); ++s)
            if (admissible(s)) matches.push_back(s);
    }
    NearestK top(k, matches.size());
    const ScanRows rows{index.vectors().data(), index.norms().data(), index.node_count(), dim, metric};
    score_slots(rows, query.data(), matches.data(), matches.size(), distance_fn(metric), top);
    return top.take();
}

}  // namespace qorel
