// The filter-aware graph walk: k nearest admitted slots, at any share of admitted slots.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <vector>

#include "clustered_rows.h"
#include "hnsw/index.h"

namespace qorel {
namespace {

class FilteredWalk : public ::testing::Test {
protected:
    static constexpr std::size_t kN = 4000;
    static constexpr std::size_t kDim = 16;
    static constexpr std::size_t kK = 10;

    void SetUp() override {
        idx_ = std::make_unique<HnswIndex>(kDim, Metric::Euclidean, 8, 64);
        idx_->batch_insert(clustered(kN, kDim, 40, 3));
        queries_ = clustered(60, kDim, 40, 4);
    }

    std::vector<Candidate> exact(const std::vector<float>& q, const std::function<bool(Slot)>& admit) const {
        std::vector<Candidate> all;
        for (Slot s = 0; s < idx_->node_count(); ++s)
            if (!idx_->is_deleted(s) && admit(s)) all.push_back({s, distance(q.data(), idx_->vector(s), kDim, Metric::Euclidean)});
        std::sort(all.begin(), all.end(), candidate_less);
        if (all.size() > kK) all.resize(kK);
        return all;
    }

    // Mean recall@k against the exact answer; also checks, query by query, that every hit is
    // admitted and live, that hits are sorted, and that k come back whenever k exist.
    double recall(const std::function<bool(Slot)>& admit, double share, std::size_t ef = 64) const {
        std::size_t hit = 0, total = 0;
        for (const auto& q : queries_) {
            const auto truth = exact(q, admit);
            const auto got = idx_->search_graph_filtered(q, kK, ef, share, admit);
            EXPECT_EQ(got.size(), truth.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_TRUE(admit(got[i].slot) && !idx_->is_deleted(got[i].slot)) << got[i].slot;
                if (i > 0) {
                    EXPECT_LE(got[i - 1].distance, got[i].distance);
                }
            }
            std::set<Slot> want;
            for (const auto& c : truth) want.insert(c.slot);
            for (const auto& c : got) hit += want.count(c.slot);
            total += truth.size();
        }
        return total == 0 ? 1.0 : static_cast<double>(hit) / static_cast<double>(total);
    }

    std::unique_ptr<HnswIndex> idx_;
    std::vector<std::vector<float>> queries_;
};

// From every slot down to a handful, with the share known or left for the walk to find out:
// the nearest admitted slots are found, although a beam of 64 nodes holds none of them at the
// lowest shares.
TEST_F(FilteredWalk, FindsTheNearestMatchesAtEveryShare) {
    for (const std::size_t every : {1, 10, 100, 500}) {
        auto admit = [every](Slot s) { return s % every == 3 % every; };
        const double share = 1.0 / static_cast<double>(every);
        EXPECT_GE(recall(admit, share), 0.95) << "one in " << every;
        EXPECT_GE(recall(admit, -1.0), 0.95) << "one in " << every << ", share unknown";
    }
}

// A share given far off the truth (matches far from most queries, or a stale estimate) costs
// time, not answers.
TEST_F(FilteredWalk, WrongShareStillFindsMatches) {
    auto admit = [](Slot s) { return s % 100 == 7; };
    EXPECT_GE(recall(admit, 1.0), 0.95);
    EXPECT_GE(recall(admit, 0.0), 0.95);
}

// Matches all in one corner of the space: the walk must travel there, through non-matching
// nodes, from wherever the query starts it.
TEST_F(FilteredWalk, ReachesMatchesFarFromTheQuery) {
    const auto& far = idx_->vector(0);
    std::vector<Slot> order(kN);
    for (Slot s = 0; s < kN; ++s) order[s] = s;
    std::vector<float> d(kN);
    for (Slot s = 0; s < kN; ++s) d[s] = distance(far, idx_->vector(s), kDim, Metric::Euclidean);
    std::sort(order.begin(), order.end(), [&](Slot a, Slot b) { return d[a] < d[b]; });
    std::vector<bool> near_zero(kN, false);
    for (std::size_t i = 0; i < 30; ++i) near_zero[order[i]] = true;
    EXPECT_GE(recall([&](Slot s) { return near_zero[s]; }, 30.0 / kN), 0.95);
}

// A filter that follows the data (whole clusters match, as a tenant or a language would) and
// queries from the clusters that do not match: every match lies about as far from the query,
// and the walk must not stop among the first ones it meets.
TEST_F(FilteredWalk, FindsMatchesOfWholeClustersFromOutsideThem) {
    const std::size_t clusters = 20, n = 8000;
    std::mt19937 rng(5);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<std::vector<float>> centres(clusters, std::vector<float>(kDim)), rows(n, std::vector<float>(kDim));
    for (auto& c : centres)
        for (auto& x : c) x = 2.0f * g(rng);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t d = 0; d < kDim; ++d) rows[i][d] = centres[i % clusters][d] + g(rng);
    idx_ = std::make_unique<HnswIndex>(kDim, Metric::Euclidean, 8, 64);
    idx_->batch_insert(rows);
    const auto matching = [&](Slot s) { return s % clusters < clusters / 2; };
    for (const bool inside : {false, true}) {
        queries_.clear();
        for (std::size_t i = 0; i < 60; ++i) {
            std::vector<float> q = rows[(inside ? 0 : clusters / 2) + i * clusters + i % (clusters / 2)];
            for (auto& x : q) x += 0.3f * g(rng);
            queries_.push_back(std::move(q));
        }
        EXPECT_GE(recall(matching, 0.5), 0.95) << (inside ? "queries inside the matches" : "queries outside");
    }
    // Past the size where the matches are scored one by one, the flood from spread seeds answers;
    // with a budget that covers the matches it finds every one the seeds connect to.
    std::vector<Slot> seeds;
    for (Slot s = 0; s < n; s += 97)
        if (matching(s)) seeds.push_back(s);
    std::size_t hit = 0;
    for (const auto& q : queries_) {
        std::set<Slot> want;
        for (const auto& c : exact(q, matching)) want.insert(c.slot);
        for (const auto& c : idx_->flood_matches(q, kK, {}, seeds, n, matching)) hit += want.count(c.slot);
    }
    EXPECT_GE(static_cast<double>(hit) / static_cast<double>(kK * queries_.size()), 0.95);
}

TEST_F(FilteredWalk, NeverReturnsDeletedSlotsAndEmptiesCleanly) {
    for (Slot s = 0; s < kN; s += 3) idx_->mark_deleted(s);
    // Admit mostly deleted slots: the few live matches must still all be found.
    auto admit = [](Slot s) { return s % 30 == 0 || s % 997 == 1; };
    EXPECT_GE(recall(admit, 0.03), 0.95);
    const auto& q = queries_[0];
    EXPECT_TRUE(idx_->search_graph_filtered(q, kK, 64, 0.0, [](Slot) { return false; }).empty());
    EXPECT_TRUE(idx_->search_graph_filtered(q, 0, 64, 1.0, [](Slot) { return true; }).empty());
    // Fewer matches than k: every live one comes back (1002 is deleted).
    auto few = idx_->search_graph_filtered(q, 50, 64, -1.0, [](Slot s) { return s % 1000 == 2; });
    std::set<Slot> got;
    for (const auto& c : few) got.insert(c.slot);
    EXPECT_EQ(got, (std::set<Slot>{2, 2002, 3002}));
}

// Pruning can leave a node that no list points to; a walk cannot reach it, but a match there
// must still be found when the walk runs out of nodes.
TEST_F(FilteredWalk, FindsMatchesNoEdgeLeadsTo) {
    const Slot lonely = 77;
    for (Slot s = 0; s < kN; ++s) {
        for (std::size_t layer = 0; layer <= idx_->level(s); ++layer) {
            std::vector<Slot> list = idx_->neighbours(s, layer);
            std::erase(list, lonely);
            idx_->load_set_list(s, layer, list);
        }
    }
    ASSERT_NE(idx_->entry_point(), lonely);
    const auto got = idx_->search_graph_filtered(queries_[0], kK, 64, -1.0, [&](Slot s) { return s == lonely || s == 5; });
    std::set<Slot> slots;
    for (const auto& c : got) slots.insert(c.slot);
    EXPECT_EQ(slots, (std::set<Slot>{5, lonely}));
}

// With every slot admitted the walk is the plain one: same hits as the unfiltered search.
TEST_F(FilteredWalk, AdmittingEverythingMatchesTheUnfilteredWalk) {
    std::size_t same = 0, total = 0;
    for (const auto& q : queries_) {
        const auto plain = idx_->search_graph(q, kK, 64);
        const auto filtered = idx_->search_graph_filtered(q, kK, 64, 1.0, [](Slot) { return true; });
        std::set<Slot> a;
        for (const auto& c : plain) a.insert(c.slot);
        for (const auto& c : filtered) same += a.count(c.slot);
        total += plain.size();
    }
    EXPECT_EQ(same, total);
}

TEST_F(FilteredWalk, QuantizedWalkReranksAtFullPrecision) {
    idx_->enable_quantized_search();
    auto admit = [](Slot s) { return s % 50 == 5; };
    EXPECT_GE(recall(admit, 0.02), 0.9);
    for (const auto& q : queries_) {
        for (const auto& c : idx_->search_graph_filtered(q, kK, 64, 0.02, admit)) {
            EXPECT_EQ(c.distance, distance(q.data(), idx_->vector(c.slot), kDim, Metric::Euclidean));
        }
    }
}

}  // namespace
}  // namespace qorel
