// The filtered search procedure: how a call with a metadata filter finds the k nearest
// matching vectors, by exact scan, by scoring the index's candidates, or by a filter-aware
// graph walk.

#include <algorithm>
#include <cmath>

#include "hnsw/exact_scan.h"
#include "search_internal.h"

namespace qorel {

namespace {

// A graph-mode filter whose candidates number at most this many floats (candidates x dim) is
// answered by scoring every candidate exactly. The index hands over flat ascending slot arrays,
// so collecting is a copy and scoring streams the vectors in memory order. On 200k x 128
// mixtures (bench/filtered_bench.py, processor time beside an unfiltered search at ef 200)
// 10,000 candidates (5 %) score at 1.05x to 1.3x the unfiltered rate with the plan kept
// between queries, while the routes left for shares of 5 to 7 % ran at 0.4x (the filter-aware
// walk) to 0.8x (a widened plain beam): the limit sits near where scoring costs what that
// beam costs.
constexpr std::size_t kCandidateScoreFloats = 1'600'000;
// A conjunction whose most selective listable condition holds at most this many slots is
// intersected up front through the index's columns (a few nanoseconds a slot): that finds the
// exact number of matches, small enough to score one by one far more often than the smallest
// member alone suggests, and otherwise the share the walk needs.
constexpr std::size_t kIntersectSlots = 65'536;
// Slots sampled to estimate the share of matches when the index cannot count them (a condition
// only the metadata decides), and to see a walk is certain before listing anything.
constexpr std::size_t kShareSamples = 512;
// Where the expected number of matches in a plain walk's beam (its ef nodes times the share)
// reaches this many times k, the plain walk is searched and its matches kept: it reads no
// filter for the nodes it passes, so it runs at the unfiltered rate, and with that many
// matches in the beam the k nearest are among them nearly always (bench/filtered_bench.py:
// recall 0.98 or more from one match in ten at the default ef).
constexpr double kBeamMatches = 1.5;
// The plain walk's beam is widened to hold that many matches up to this many times ef; sparser
// matches go to candidate scoring or the filter-aware walk, which cost less there.
constexpr double kBeamWidening = 1.25;

// The beam of the plain walk that answers a filter of this share, or 0 when the share is too
// low (or unknown) for a plain walk to hold k matches at a cost near an unfiltered search.
std::size_t plain_beam(double share, std::size_t k, std::size_t ef) {
    if (k == 0 || share <= 0.0) return 0;
    const double needed = std::ceil(kBeamMatches * static_cast<double>(k) / share);
    if (needed > kBeamWidening * static_cast<double>(ef)) return 0;
    return std::max(ef, static_cast<std::size_t>(needed));
}

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
    // Chooses how a graph-mode filter finds its matches, from the index's columns alone; the
    // outcome depends only on the metadata index and the row counts.
    auto decide = [&] {
        if (test.never() || index.active_count() == 0) {
            plan.route = FilterPlan::Route::Nothing;
            return;
        }
        if (test.rest() == nullptr && test.admits_all(index.active_count())) {
            plan.route = FilterPlan::Route::Walk;
            plan.all_match = true;
            return;
        }
        const std::size_t limit = kCandidateScoreFloats / std::max<std::size_t>(index.dim(), 1);
        const double live = static_cast<double>(index.active_count());
        // One equality or membership counts its matches for free: above the candidate limit the
        // walk is certain, with the exact share, and no sampling (a cache miss per sample) is due.
        if (test.clause_count() == 1 && test.rest() == nullptr && test.listed_for_free(0)) {
            const std::size_t matches = test.smallest(limit)->size;
            if (matches > limit) {
                plan.route = FilterPlan::Route::Walk;
                plan.share = std::min(1.0, static_cast<double>(matches) / live);
                return;
            }
        }
        // A sample of the columns first: when it shows matches far beyond the candidate limit, the
        // walk is certain, and intersecting a conjunction (or sorting a range's numbers the first
        // time after a change) would only cost the single query its time.
        const double sampled = test.sampled_share(index.node_count(), kShareSamples);
        if (sampled * static_cast<double>(index.node_count()) > 2.0 * static_cast<double>(limit)) {
            plan.route = FilterPlan::Route::Walk;
            plan.share = sampled;
            return;
        }
        const std::optional<SlotTest::Smallest> smallest = test.smallest(limit);
        if (smallest && smallest->size == 0) {
            plan.route = FilterPlan::Route::Nothing;
            return;
        }
        if (smallest && (smallest->size <= limit || (test.clause_count() > 1 && smallest->size <= kIntersectSlots))) {
            // The matches the columns admit, listed exactly: scored one by one when few, otherwise
            // their number tells the walk how sparse they are.
            test.collect(smallest->clause, plan.slots);
            if (plan.slots.empty()) {
                plan.route = FilterPlan::Route::Nothing;
                return;
            }
            if (plan.slots.size() <= limit) {
                plan.route = FilterPlan::Route::Candidates;
                return;
            }
            plan.share = std::min(1.0, static_cast<double>(plan.slots.size()) / live);
            plan.all_match = plan.slots.size() == index.active_count() && !test.rest();
            plan.slots.clear();
        } else if (smallest && test.clause_count() == 1 && test.counts_exactly(smallest->clause)) {
            // One equality, membership or range: its slot count is the exact number of matches.
            plan.share = std::min(1.0, static_cast<double>(smallest->size) / live);
            plan.all_match = smallest->size == index.active_count() && !test.rest();
        } else if (const std::optional<std::size_t> admitted = test.ne_count(index.active_count())) {
            // One exclusion: every live slot but the holders of one value.
            if (*admitted == 0) {
                plan.route = FilterPlan::Route::Nothing;
                return;
            }
            if (*admitted <= limit) {
                // Few rows outside the excluded value: one pass over the value column lists them
                // (a fraction of a walk's time), then they are scored as any candidates.
                test.collect_all(index.node_count(), plan.slots);
                plan.route = FilterPlan::Route::Candidates;
                return;
            }
            plan.share = std::min(1.0, static_cast<double>(*admitted) / live);
        } else {
            // Below one sample in the whole sample the estimate says only "rare".
            const double floor = 0.5 / static_cast<double>(kShareSamples);
            plan.share = std::max(floor, sampled);
        }
        plan.route = FilterPlan::Route::Walk;
        return;
    };
    // Planning a filter can cost as much as the search (listing a conjunction's matches, or an
    // exclusion's), so a plan is kept until the index changes: the key holds the row counts
    // too, which insertions and deletions move.
    std::string key = filter.key();
    key += '#' + std::to_string(index.node_count()) + '#' + std::to_string(index.active_count());
    if (std::shared_ptr<const MetadataIndex::CachedPlan> kept = mindex->cached_plan(key)) {
        plan.route = static_cast<FilterPlan::Route>(kept->route);
        plan.share = kept->share;
        plan.all_match = kept->all_match;
        plan.listed = std::move(kept);
        return plan;
    }
    decide();
    auto kept = std::make_shared<MetadataIndex::CachedPlan>();
    kept->route = static_cast<int>(plan.route);
    kept->slots = std::move(plan.slots);
    kept->share = plan.share;
    kept->all_match = plan.all_match;
    plan.listed = kept;
    mindex->cache_plan(std::move(key), std::move(kept));
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
            auto admit = [&](Slot s) { return test.admits(s) && (rest == nullptr || rest->matches(metadata_at(meta, s))); };
            if (const std::size_t beam_ef = plain_beam(plan.share, k, ef)) {
                // Dense matches: a plain walk's beam is expected to hold several times k of them.
                // The beam holds the nearest nodes of every kind, so the matches among them are
                // the nearest matches; when fewer than k turn up (matches sparse near this
                // query), the filter-aware walk below answers instead.
                std::vector<Candidate> beam = index.search_graph(query, beam_ef, beam_ef);
                for (const Candidate& c : beam) {
                    if (out.size() == k) break;
                    if (admit(c.slot)) out.push_back(c);
                }
                if (out.size() == k) return out;
                out.clear();
            }
            if (rest == nullptr)
                return index.search_graph_filtered(query, k, ef, plan.share, [&](Slot s) { return test.admits(s); });
            return index.search_graph_filtered(query, k, ef, plan.share, admit);
        }

        case FilterPlan::Route::Candidates: {
            if (k == 0) return out;
            // The live matches first (no vector read), then one scoring pass over their rows.
            const std::vector<Slot>& listed = plan.listed->slots;
            std::vector<Slot> live;
            live.reserve(listed.size());
            for (Slot s : listed)
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
