// Pieces shared by the search implementation files of Database; private to src/core/db.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database.h"
#include "metadata/column_filter.h"
#include "plan_cache.h"

namespace qorel {

// The read locks a search holds, taken in order index, slot_to_id, metadata.
struct SCOPED_CAPABILITY Database::ReadView {
    Guarded<HnswIndex>::Reader index;
    Guarded<std::vector<std::string>>::Reader slot_ids;
    Guarded<MetadataStore>::Reader meta;

    explicit ReadView(const Database& db)
        ACQUIRE_SHARED(db.index_.mutex(), db.slot_to_id_.mutex(), db.metadata_.mutex())
        : index(db.index_), slot_ids(db.slot_to_id_), meta(db.metadata_) {}
    ~ReadView() RELEASE() {}
};

// How one filtered call finds its matches, decided once per call (once for a whole batch).
struct Database::FilterPlan {
    // The route and what it needs, possibly shared with the planner's cache.
    std::shared_ptr<const DecidedPlan> decided;
    // Scan: the slots the index's columns admit (ColumnFilter::listed), when they list any.
    std::optional<std::vector<Slot>> listed;
    // Candidates and Walk: the filter as tests on the index's columns. It points into the
    // metadata index, whose lock (`index_lock`) the plan holds until it is dropped, after the
    // searches; taking it after the metadata lock keeps the database's lock order.
    std::optional<ColumnFilter> test;
    std::unique_ptr<Guarded<MetadataIndex>::Reader> index_lock;

    // The part of the filter left to the metadata, or nullptr.
    const Filter* rest_filter() const { return test ? test->rest() : nullptr; }
};

// The metadata of slot s, nullptr when it has none (or s is beyond the store).
inline const Json* metadata_at(const MetadataStore& meta, Slot s) {
    if (s >= meta.size()) return nullptr;
    const std::optional<Json>& row = meta[s];
    return row ? &*row : nullptr;
}

// Calls fn(s), in ascending order, for every live slot whose metadata matches `filter`, testing
// only the slots in `listed` when there is such a list (ColumnFilter::listed of the filter).
template <class Fn>
void for_each_live_match(const HnswIndex& index, const MetadataStore& meta, const Filter& filter,
                         const std::optional<std::vector<Slot>>& listed, Fn&& fn) {
    auto test = [&](Slot s) {
        if (s < index.node_count() && !index.is_deleted(s) && filter.matches(metadata_at(meta, s))) fn(s);
    };
    if (listed) {
        for (const Slot s : *listed) test(s);
    } else {
        for (Slot s = 0; s < index.node_count(); ++s) test(s);
    }
}

}  // namespace qorel
