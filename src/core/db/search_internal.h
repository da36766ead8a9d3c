// Pieces shared by the search implementation files of Database; private to src/core/db.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database.h"
#include "metadata/slot_test.h"

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
    enum class Route {
        Nothing,     // the index shows that no slot matches
        Scan,        // the database is small enough to scan: every slot (or the set) is tested
        Candidates,  // few enough candidates that scoring each exactly beats a graph walk
        Walk,        // walk the graph, admitting only matching slots
    };
    Route route = Route::Scan;
    // Scan: the index's narrowing, when it has one (the set counts use too).
    std::optional<SlotSet> set;
    // Candidates: the slots to score, ascending (memory order); each passes the index's
    // columns, so only `rest_filter` (when present) is left to test on the metadata. Filled
    // while planning, then moved into `listed`, the plan as kept in the metadata index's cache.
    std::vector<Slot> slots;
    std::shared_ptr<const MetadataIndex::CachedPlan> listed;
    // Walk: every live slot matches, so the walk needs no test at all.
    bool all_match = false;
    // Candidates and Walk: the filter as tests on the index's columns. It points into the
    // metadata index, whose lock (`index_lock`) the plan holds until it is dropped, after the
    // searches; taking it after the metadata lock keeps the database's lock order.
    std::optional<SlotTest> test;
    std::unique_ptr<Guarded<MetadataIndex>::Reader> index_lock;
    // Walk: the expected share of live slots that match (negative when unknown).
    double share = -1.0;

    // The part of the filter left to the metadata, or nullptr.
    const Filter* rest_filter() const { return test ? test->rest() : nullptr; }
};

}  // namespace qorel
