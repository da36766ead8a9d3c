// The filtered search procedure: how a call with a metadata filter finds the k nearest
// matching vectors, by exact scan, by scoring the index's candidates, or by a filter-aware
// graph walk.

#include <algorithm>
#include <cmath>

#include "exact/scan.h"
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

// Seeds of a filtered walk: the columns are probed at this many slots spread evenly over the
// collection, and up to this many of the matches found are kept, evenly spaced among them.
constexpr std::size_t kSeedProbes = 4096;
constexpr std::size_t kSeeds = 64;

// Live slots the columns admit, spread over the collection, at most kSeeds.
std::vector<Slot> spread_matches(const HnswIndex& index, const ColumnFilter& test) {
    const std::size_t n = index.node_count();
    const std::size_t stride = std::max<std::size_t>(1, n / kSeedProbes);
    std::vector<Slot> found;
    for (std::size_t s = stride / 2; s < n; s += stride) {
        const Slot slot = static_cast<Slot>(s);
        if (!index.is_deleted(slot) && test.admits(slot)) found.push_back(slot);
    }
    if (found.size() <= kSeeds) return found;
    std::vector<Slot> seeds(kSeeds);
    for (std::size_t i = 0; i < kSeeds; ++i) seeds[i] = found[i * found.size() / kSeeds];
    return seeds;
}

// The beam of the plain walk that answers a filter of this share, or 0 when the share is too
// low (or unknown) for a plain walk to hold k matches at a cost near an unfiltered search.
std::size_t plain_beam(double share, std::size_t k, std::size_t ef) {
    if (k == 0 || share <= 0.0) return 0;
    const double needed = std::ceil(kBeamMatches * static_cast<double>(k) / share);
    if (needed > kBeamWidening * static_cast<double>(ef)) return 0;
    return std::max(ef, static_cast<std::size_t>(needed));
}

// Scores `slots` (ascending) against the query, keeping the k nearest.
std::vector<Candidate> score_candidates(const HnswIndex& index, std::span<const float> query, std::size_t k,
                                        const std::vector<Slot>& slots) {
    NearestK top(k, slots.size());
    const ScanRows rows{index.vectors().data(), index.norms().data(), index.node_count(), index.dim(), index.metric()};
    score_slots(rows, query.data(), slots.data(), slots.size(), distance_fn(index.metric()), top);
    return top.take();
}

DecidedPlan routed(FilterRoute route) {
    DecidedPlan plan;
    plan.route = route;
    return plan;
}

DecidedPlan walk(double share, bool all_match = false) {
    DecidedPlan plan = routed(FilterRoute::Walk);
    plan.share = std::min(1.0, share);
    plan.all_match = all_match;
    return plan;
}

// The part of decide() after a sample of the columns left the route open: the matches are
// counted (or listed) through the index, then scored one by one when few, or walked with
// their share.
DecidedPlan decide_from_counts(const HnswIndex& index, const ColumnFilter& test, double sampled, std::size_t limit) {
    const double live = static_cast<double>(index.active_count());
    const std::optional<ColumnFilter::Smallest> smallest = test.smallest();
    if (smallest && smallest->size == 0) return routed(FilterRoute::Nothing);
    // A conjunction, or a listing that may name a slot twice (a disjunction, membership in
    // lists), is listed when modest in size: the listing is exact where the count is not.
    const bool listing_counts = smallest && (test.clause_count() > 1 || !smallest->exact);
    if (smallest && (smallest->size <= limit || (listing_counts && smallest->size <= kIntersectSlots))) {
        // The matches the columns admit, listed exactly: scored one by one when few, otherwise
        // their number tells the walk how sparse they are.
        DecidedPlan plan = routed(FilterRoute::Candidates);
        test.collect(smallest->clause, plan.slots);
        if (plan.slots.empty()) return routed(FilterRoute::Nothing);
        if (plan.slots.size() <= limit) return plan;
        return walk(static_cast<double>(plan.slots.size()) / live,
                    plan.slots.size() == index.active_count() && !test.rest());
    }
    if (smallest && test.clause_count() == 1 && smallest->exact) {
        // One equality, membership, containment or range: its slot count is the exact number
        // of matches.
        return walk(static_cast<double>(smallest->size) / live, smallest->size == index.active_count() && !test.rest());
    }
    if (const std::optional<std::size_t> admitted = test.ne_count(index.active_count())) {
        // One exclusion: every live slot but the holders of one value.
        if (*admitted == 0) return routed(FilterRoute::Nothing);
        if (*admitted > limit) return walk(static_cast<double>(*admitted) / live);
        // Few rows outside the excluded value: one pass over the value column lists them (a
        // fraction of a walk's time), then they are scored as any candidates.
        DecidedPlan plan = routed(FilterRoute::Candidates);
        test.collect_all(index.node_count(), plan.slots);
        return plan;
    }
    // Below one sample in the whole sample the estimate says only "rare". A listing too large
    // to take bounds the share from above.
    DecidedPlan plan = routed(FilterRoute::Walk);
    plan.share = std::max(0.5 / static_cast<double>(kShareSamples), sampled);
    if (smallest) plan.share = std::min(plan.share, static_cast<double>(smallest->size) / live);
    return plan;
}

// Chooses how a graph-mode filter finds its matches, from the index's columns alone; the
// outcome depends only on the metadata index and the row counts.
DecidedPlan decide(const HnswIndex& index, const ColumnFilter& test) {
    if (test.never() || index.active_count() == 0) return routed(FilterRoute::Nothing);
    if (test.rest() == nullptr && test.admits_all(index.active_count())) {
        DecidedPlan plan = routed(FilterRoute::Walk);
        plan.all_match = true;
        return plan;
    }
    const std::size_t limit = kCandidateScoreFloats / std::max<std::size_t>(index.dim(), 1);
    const double live = static_cast<double>(index.active_count());
    // One equality, membership or containment counts its matches for free: above the candidate
    // limit the walk is certain, with the exact share, and no sampling (a cache miss per
    // sample) is due.
    if (test.clause_count() == 1 && test.rest() == nullptr && test.listed_for_free(0)) {
        const ColumnFilter::Smallest matches = *test.smallest();
        if (matches.exact && matches.size > limit) return walk(static_cast<double>(matches.size) / live);
    }
    // A sample of the columns first: when it shows matches far beyond the candidate limit, the
    // walk is certain, and intersecting a conjunction (or sorting a range's numbers the first
    // time after a change) would only cost the single query its time.
    const double sampled = test.sampled_share(index.node_count(), kShareSamples);
    if (sampled * static_cast<double>(index.node_count()) > 2.0 * static_cast<double>(limit)) {
        DecidedPlan plan = routed(FilterRoute::Walk);
        plan.share = sampled;
        return plan;
    }
    return decide_from_counts(index, test, sampled, limit);
}

}  // namespace

Database::FilterPlan Database::plan_filter(const ReadView& view, const Filter& filter) const {
    const HnswIndex& index = *view.index;
    ensure_metadata_index(index, *view.meta);
    FilterPlan plan;
    auto lock = std::make_unique<Guarded<MetadataIndex>::Reader>(metadata_index_);
    const MetadataIndex& mindex = **lock;
    if (index.uses_brute_force()) {
        plan.decided = std::make_shared<const DecidedPlan>(routed(FilterRoute::Scan));
        plan.listed = ColumnFilter(filter, mindex).listed();
        return plan;
    }
    const ColumnFilter& test = plan.test.emplace(filter, mindex);
    plan.index_lock = std::move(lock);
    // The key holds the row counts too, which insertions and deletions move.
    std::string key = filter.key();
    key += '#' + std::to_string(index.node_count()) + '#' + std::to_string(index.active_count());
    plan.decided = plan_cache_.find(mindex.generation(), key);
    if (!plan.decided) {
        DecidedPlan decided = decide(index, test);
        if (decided.route == FilterRoute::Walk && !decided.all_match) decided.seeds = spread_matches(index, test);
        plan.decided = std::make_shared<const DecidedPlan>(std::move(decided));
        plan_cache_.keep(mindex.generation(), std::move(key), plan.decided);
    }
    return plan;
}

std::vector<Candidate> Database::walk_filtered(const ReadView& view, std::span<const float> query, std::size_t k,
                                               std::size_t ef, const FilterPlan& plan) const {
    const HnswIndex& index = *view.index;
    const DecidedPlan& decided = *plan.decided;
    if (decided.all_match) return index.search_graph(query, k, ef);
    const ColumnFilter& test = *plan.test;
    const Filter* rest = plan.rest_filter();
    // One column read per clause; the metadata only for what the columns cannot decide.
    auto admit = [&](Slot s) { return test.admits(s) && (rest == nullptr || rest->matches(metadata_at(*view.meta, s))); };
    bool far = false;
    if (const std::size_t beam_ef = plain_beam(decided.share, k, ef)) {
        // Dense matches: a plain walk's beam is expected to hold several times k of them. The
        // beam holds the nearest nodes of every kind, so the matches among them are the nearest
        // matches; when fewer than k turn up (matches sparse near this query), the filter-aware
        // walk below answers instead.
        std::vector<Candidate> out;
        for (const Candidate& c : index.search_graph(query, beam_ef, beam_ef)) {
            if (out.size() == k) break;
            if (admit(c.slot)) out.push_back(c);
        }
        if (out.size() == k) return out;
        // Holding a quarter of the matches its share predicts or fewer (odds below one in a
        // thousand where matches mix evenly), the beam says they lie away from the query.
        far = 4.0 * static_cast<double>(out.size()) < static_cast<double>(beam_ef) * decided.share;
    }
    if (rest == nullptr)
        return index.search_graph_filtered(query, k, ef, decided.share, [&](Slot s) { return test.admits(s); },
                                           decided.seeds, far);
    return index.search_graph_filtered(query, k, ef, decided.share, admit, decided.seeds, far);
}

std::vector<Candidate> Database::search_filtered(const ReadView& view, std::span<const float> query, std::size_t k,
                                                 std::size_t ef, const Filter& filter, const FilterPlan& plan) const {
    const HnswIndex& index = *view.index;
    const MetadataStore& meta = *view.meta;
    if (index.entry_point() == kNoSlot) return {};
    const Filter* rest = plan.rest_filter();
    switch (plan.decided->route) {
        case FilterRoute::Nothing: return {};
        case FilterRoute::Walk: return walk_filtered(view, query, k, ef, plan);
        case FilterRoute::Candidates: {
            if (k == 0) return {};
            // The live matches first (no vector read), then one scoring pass over their rows.
            std::vector<Slot> live;
            live.reserve(plan.decided->slots.size());
            for (Slot s : plan.decided->slots)
                if (s < index.node_count() && !index.is_deleted(s) && (rest == nullptr || rest->matches(metadata_at(meta, s))))
                    live.push_back(s);
            return score_candidates(index, query, k, live);
        }
        case FilterRoute::Scan: break;
    }
    // The slots the index lists (every slot when it lists none) are tested on their metadata,
    // and the matches scored in one pass that keeps only the k best.
    show_brute_force_hint_once();
    std::vector<Slot> matches;
    for_each_live_match(index, meta, filter, plan.listed, [&](Slot s) { matches.push_back(s); });
    return score_candidates(index, query, k, matches);
}

}  // namespace qorel
