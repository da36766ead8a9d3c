// Nearest-neighbour queries at database level: plain, filtered, batched; and counting.

#include <algorithm>
#include <cmath>

#include "exact/batch.h"
#include "parallel.h"
#include "search_internal.h"

namespace qorel {

std::size_t effective_ef(std::size_t k, std::optional<std::size_t> ef_search) {
    if (ef_search) return *ef_search;
    const auto e = k + static_cast<std::size_t>(10.0 * std::sqrt(static_cast<double>(k)));
    return e > 200 ? e : 200;
}

std::vector<SearchResult> Database::assemble(const ReadView& view, const std::vector<Candidate>& candidates,
                                             std::optional<float> max_distance) const {
    std::vector<SearchResult> hits;
    hits.reserve(candidates.size());
    for (const Candidate& c : candidates) {
        if (max_distance && !(c.distance <= *max_distance)) continue;
        SearchResult r;
        if (c.slot < view.slot_ids->size()) r.id = (*view.slot_ids)[c.slot];
        r.distance = c.distance;
        if (const Json* m = metadata_at(*view.meta, c.slot)) r.metadata = *m;
        hits.push_back(std::move(r));
    }
    return hits;
}

std::vector<SearchResult> Database::search(std::span<const float> query, std::size_t k,
                                           std::optional<std::size_t> ef_search, const Filter* filter,
                                           std::optional<float> max_distance) const {
    check_dimension(query.size());
    const std::size_t ef = effective_ef(k, ef_search);
    ReadView view(*this);
    std::vector<Candidate> candidates;
    if (!filter) {
        candidates = view.index->search(query, k, ef);
    } else {
        const FilterPlan plan = plan_filter(view, *filter);
        candidates = search_filtered(view, query, k, std::max(ef, 4 * k), *filter, plan);
    }
    return assemble(view, candidates, max_distance);
}

void Database::search_many_exact(const ReadView& view, const std::vector<std::vector<float>>& queries, std::size_t k,
                                 std::optional<float> max_distance,
                                 std::vector<std::vector<SearchResult>>& results) const {
    // The batch becomes one matrix product: the queries go into one row-major block.
    const std::size_t dim = view.index->dim();
    std::vector<float> packed(queries.size() * dim);
    for (std::size_t i = 0; i < queries.size(); ++i) std::copy(queries[i].begin(), queries[i].end(), packed.begin() + static_cast<std::ptrdiff_t>(i * dim));
    show_brute_force_hint_once();
    std::vector<std::vector<Candidate>> found = search_exact_batch(view.index->scan_rows(), view.index->deleted_bits(),
                                                                   view.index->deleted_bit_words(), packed.data(),
                                                                   queries.size(), k);
    parallel::for_each(0, queries.size(), [&](std::size_t i) { results[i] = assemble(view, found[i], max_distance); });
}

std::vector<std::vector<SearchResult>> Database::search_many(const std::vector<std::vector<float>>& queries,
                                                             std::size_t k, std::optional<std::size_t> ef_search,
                                                             const Filter* filter,
                                                             std::optional<float> max_distance) const {
    for (const auto& q : queries) check_dimension(q.size());
    const std::size_t ef = effective_ef(k, ef_search);
    std::vector<std::vector<SearchResult>> results(queries.size());
    ReadView view(*this);
    if (!filter) {
        if (view.index->entry_point() == kNoSlot) return results;
        if (view.index->uses_brute_force() && queries.size() > 1) {
            search_many_exact(view, queries, k, max_distance, results);
            return results;
        }
        parallel::for_each(0, queries.size(), [&](std::size_t i) {
            results[i] = assemble(view, view.index->search(queries[i], k, ef), max_distance);
        });
        return results;
    }
    const FilterPlan plan = plan_filter(view, *filter);
    const std::size_t ef_f = std::max(ef, 4 * k);
    parallel::for_each(0, queries.size(), [&](std::size_t i) {
        results[i] = assemble(view, search_filtered(view, queries[i], k, ef_f, *filter, plan), max_distance);
    });
    return results;
}

std::size_t Database::count(const Filter* filter) const {
    if (!filter) return index_.read()->active_count();
    Guarded<HnswIndex>::Reader index(index_);
    Guarded<MetadataStore>::Reader meta(metadata_);
    ensure_metadata_index(*index, *meta);
    std::optional<std::vector<Slot>> listed;
    std::size_t n = 0;
    {
        auto mindex = metadata_index_.read();
        const ColumnFilter test(*filter, *mindex);
        if (test.never()) return 0;
        if (test.rest() == nullptr) {
            // The columns decide every slot: no row's metadata is read (or decoded), exclusions
            // and negations included.
            auto live = [&](Slot s) { return s < index->node_count() && !index->is_deleted(s); };
            if (std::optional<std::vector<Slot>> slots = test.listed()) {
                for (const Slot s : *slots) n += live(s);
            } else {
                for (Slot s = 0; s < index->node_count(); ++s) n += live(s) && test.admits(s);
            }
            return n;
        }
        listed = test.listed();
    }
    for_each_live_match(*index, *meta, *filter, listed, [&](Slot) { ++n; });
    return n;
}

}  // namespace qorel
