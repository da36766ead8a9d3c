// Pieces shared by the search implementation files of Database; private to src/core/db.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database.h"

namespace qorel {

// The read locks a search holds, taken in order index, slot_to_id, metadata.
struct Database::ReadView {
    Guarded<HnswIndex>::Reader index;
    Guarded<std::vector<std::string>>::Reader slot_ids;
    Guarded<std::vector<std::optional<Json>>>::Reader meta;

    explicit ReadView(const Database& db) : index(db.index_.read()), slot_ids(db.slot_to_id_.read()), meta(db.metadata_.read()) {}
};

// How one filtered call finds its matches, decided once per call (once for a whole batch).
struct Database::FilterPlan {
    enum class Route {
        Nothing,     // the index shows that no slot matches
        Scan,        // the database is small enough to scan: every slot (or the set) is tested
        Candidates,  // few enough candidates that scoring each exactly beats a graph walk
        Walk,        // walk the graph, admitting only matching slots
    };
    Route route = Route::Scan;
    // Scan: the index's narrowing, when it has one (the set counts use too).
    std::optional<SlotSet> set;
    // Candidates: the slots to score, ascending (memory order).
    std::vector<Slot> slots;
    // Candidates: every slot listed matches, so no per-slot test is needed.
    bool exact = false;
    // Walk: every live slot matches, so the walk needs no test at all.
    bool all_match = false;
    // Walk: when there are groups, a slot matches exactly when each group has a set holding it
    // and its metadata satisfies `rest` (absent: nothing left to test). The metadata-index lock
    // is then held (`index_lock`) until the plan is dropped, after the walks; taking it after
    // the metadata lock keeps the database's lock order.
    std::vector<std::vector<const SlotSet*>> member_groups;
    std::optional<Filter> rest;
    std::unique_ptr<Guarded<MetadataIndex>::Reader> index_lock;
    // Walk: the expected share of live slots that match (negative when the index cannot tell).
    double share = -1.0;
};

}  // namespace qorel
