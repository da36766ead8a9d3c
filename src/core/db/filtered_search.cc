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
// the default beam, and it is exact. Measured on 200k x 128 mixtures (bench/filtered_bench.py):
// about 2,000 candidates score in the time of one walk, most of it spent reading the index's
// slot sets. It also caps how far a range is counted before the walk is chosen.
constexpr std::size_t kCandidateScoreFloats = 512'000;
const Json* metadata_at(const std::vector<std::optional<Json>>& meta, Slot s) {
    if (s >= meta.size() || !meta[s]) return nullptr;
    return &*meta[s];
}

}  // namespace

Database::FilterPlan Database::plan_filter(const HnswIndex& index, const Filter& filter) const {
    FilterPlan plan;
    auto lock = std::make_unique<Guarded<MetadataIndex>::Reader>(metadata_index_);
    const MetadataIndex* mindex = &**lock;
    if (index.uses_brute_force()) {
        plan.route = FilterPlan::Route::Scan;
        plan.set = filter.resolve_from_index(*mindex);
        return plan;
    }
    // Graph mode: bound the matches from the index first; building a large candidate list
    // would cost more than the walk.
    const std::size_t limit = kCandidateScoreFloats / std::max<std::size_t>(index.dim(), 1);
    const std::optional<std::size_t> bound = filter.bound_from_index(*mindex, limit);
    if (bound && *bound == 0) {
        plan.route = FilterPlan::Route::Nothing;
        return plan;
    }
    if (bound && *bound <= limit) {
        plan.exact = filter.collect_from_index(*mindex, plan.slots);
        std::sort(plan.slots.begin(), plan.slots.end());
        plan.route = plan.slots.empty() ? FilterPlan::Route::Nothing : FilterPlan::Route::Candidates;
        return plan;
    }
    plan.route = FilterPlan::Route::Walk;
    if (bound && index.active_count() > 0) {
        plan.share = std::min(1.0, static_cast<double>(*bound) / static_cast<double>(index.active_count()));
        // The index holds the whole answer and it covers every live slot: nothing to test.
        plan.all_match = *bound == index.active_count() && filter.narrows_exactly();
    }
    if (!plan.all_match) {
        std::vector<Filter> rest;
        filter.split_for_membership(*mindex, plan.member_groups, rest);
        if (!plan.member_groups.empty()) {
            if (!rest.empty()) plan.rest = Filter::combine(std::move(rest));
            plan.index_lock = std::move(lock);
        }
    }
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

    switch (plan.route) {
        case FilterPlan::Route::Nothing: return out;

        case FilterPlan::Route::Walk:
            if (plan.all_match) return index.search_graph(query, k, ef);
            if (!plan.member_groups.empty()) {
                // The index's hash sets first: one look-up each, where reading the metadata
                // costs several dependent memory reads.
                return index.search_graph_filtered(query, k, ef, plan.share, [&](Slot s) {
                    for (const auto& group : plan.member_groups) {
                        bool held = false;
                        for (const SlotSet* set : group) {
                            if (set->contains(s)) {
                                held = true;
                                break;
                            }
                        }
                        if (!held) return false;
                    }
                    return !plan.rest || plan.rest->matches(metadata_at(meta, s));
                });
            }
            return index.search_graph_filtered(query, k, ef, plan.share,
                                               [&](Slot s) { return filter.matches(metadata_at(meta, s)); });

        case FilterPlan::Route::Candidates: {
            if (k == 0) return out;
            // The live matches first (no vector read), then one scoring pass over their rows.
            std::vector<Slot> live;
            live.reserve(plan.slots.size());
            for (Slot s : plan.slots)
                if (s < index.node_count() && !index.is_deleted(s) && (plan.exact || filter.matches(metadata_at(meta, s))))
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
