// The plans of filtered searches, kept between calls while the metadata index is unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "mutex.h"
#include "thread_annotations.h"
#include "types.h"

namespace qorel {

// How a filtered call finds its matches.
enum class FilterRoute {
    Nothing,     // the index shows that no slot matches
    Scan,        // the database is small enough to scan: every slot (or the index's set) is tested
    Candidates,  // few enough candidates that scoring each exactly beats a graph walk
    Walk,        // walk the graph, admitting only matching slots
};

// What planning a filter decided, from the metadata index and the row counts alone.
struct DecidedPlan {
    FilterRoute route = FilterRoute::Scan;
    // Candidates: the slots to score, ascending (memory order); each passes the index's
    // columns, so only the filter's rest (when there is one) is left to test on the metadata.
    std::vector<Slot> slots;
    // Walk: the expected share of live slots that match (negative when unknown).
    double share = -1.0;
    // Walk: every live slot matches, so the walk needs no test at all.
    bool all_match = false;
    // Walk: slots the columns admit, spread over the collection: where the walk starts when the
    // matches lie far from the query.
    std::vector<Slot> seeds;
};

// Planning a filter can cost as much as the search (listing a conjunction's matches, or an
// exclusion's), so a plan is kept, under a key naming the filter and the row counts, until the
// metadata index changes: a change moves the index's generation, which empties the cache, so a
// kept plan never outlives the slots it names. The mutex is a leaf lock, taken under the
// metadata-index lock with nothing taken under it.
class PlanCache {
public:
    std::shared_ptr<const DecidedPlan> find(std::uint64_t generation, const std::string& key) const {
        MutexLock guard(mutex_);
        if (generation != generation_) return nullptr;
        const auto it = plans_.find(key);
        return it == plans_.end() ? nullptr : it->second;
    }

    void keep(std::uint64_t generation, std::string key, std::shared_ptr<const DecidedPlan> plan) const {
        MutexLock guard(mutex_);
        if (generation != generation_ || plans_.size() >= kMostPlans) {
            plans_.clear();
            generation_ = generation;
        }
        plans_.insert_or_assign(std::move(key), std::move(plan));
    }

private:
    // Plans kept at most; a workload cycling through more filters than this re-plans them.
    static constexpr std::size_t kMostPlans = 64;
    mutable Mutex mutex_;
    mutable std::uint64_t generation_ GUARDED_BY(mutex_) = 0;
    mutable std::unordered_map<std::string, std::shared_ptr<const DecidedPlan>> plans_ GUARDED_BY(mutex_);
};

}  // namespace qorel
