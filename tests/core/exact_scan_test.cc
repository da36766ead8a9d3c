// The single-query exact scan against plain references: the same rows, the same distances to
// the last bit, the same choice among equal distances.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <unordered_set>
#include <vector>

#include "exact/scan.h"
#include "hnsw/index.h"

namespace qorel {
namespace {

std::vector<float> gaussian(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> out(n);
    for (auto& x : out) x = g(rng);
    return out;
}

// An index holding `rows` rows of `dim` floats and their norms, no graph, with `deleted` marked
// the way a reopened database marks them.
HnswIndex loaded_index(const std::vector<float>& data, std::size_t dim, Metric metric,
                       std::unordered_set<Slot> deleted = {}) {
    const std::size_t rows = data.size() / dim;
    HnswIndex idx(dim, metric, 8, 40);
    VectorStore store;
    store.append(data);
    std::vector<float> norms(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        idx.load_append_node(0);
        norms[i] = vector_norm({data.data() + i * dim, dim});
    }
    idx.load_finish(std::move(store), std::move(norms), std::move(deleted), 0, 0);
    return idx;
}

// Every live row scored the straightforward way, nearest first: norm-based scores from the inner
// products dot_products_block gives when nothing is deleted, pair distances otherwise.
std::vector<Candidate> reference(const HnswIndex& idx, const std::vector<float>& q) {
    const std::size_t n = idx.node_count(), dim = idx.dim();
    std::vector<Candidate> all;
    if (idx.deleted().empty()) {
        std::vector<float> dots(n);
        dot_products_block(q.data(), idx.vectors().data(), dim, n, dots.data());
        const float q2 = sum_of_squares(q);
        for (Slot s = 0; s < n; ++s)
            all.push_back({s, norm_based_score(idx.metric(), q2, std::sqrt(q2), dots[s], idx.norms()[s])});
    } else {
        for (Slot s = 0; s < n; ++s)
            if (!idx.is_deleted(s)) all.push_back({s, distance(q.data(), idx.vector(s), dim, idx.metric())});
    }
    std::stable_sort(all.begin(), all.end(), candidate_less);
    return all;
}

// `got` must be k nearest rows of `all` with their exact scores, nearest first: rank by rank the
// same distances as the reference, each slot once and with its own score. Which of several rows
// at the same distance is kept is left open here.
void expect_identical(const std::vector<Candidate>& got, const std::vector<Candidate>& all, std::size_t k) {
    ASSERT_EQ(got.size(), std::min(k, all.size()));
    std::map<Slot, float> score;
    for (const auto& c : all) score[c.slot] = c.distance;
    std::set<Slot> seen;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].distance, all[i].distance) << "rank " << i;
        ASSERT_TRUE(score.count(got[i].slot)) << "not a live row: " << got[i].slot;
        EXPECT_EQ(got[i].distance, score[got[i].slot]) << "rank " << i << " slot " << got[i].slot;
        EXPECT_TRUE(seen.insert(got[i].slot).second) << "slot returned twice";
    }
}

TEST(ExactScan, InnerProductsMatchTheFourRowKernelBitForBit) {
    // Dimensions below, at and between multiples of the register width; row counts that leave
    // every possible remainder after groups of eight and of four.
    for (std::size_t dim : {1u, 5u, 8u, 13u, 64u, 131u}) {
        for (std::size_t rows : {1u, 3u, 4u, 7u, 8u, 9u, 12u, 13u, 20u, 67u}) {
            const auto m = gaussian(rows * dim, static_cast<std::uint32_t>(dim * 100 + rows));
            const auto q = gaussian(dim, 7);
            std::vector<float> want(rows), got(rows, -1.0f);
            // Four rows (or fewer) per call: the four-row kernel and the per-row tail.
            for (std::size_t j = 0; j < rows; j += 4)
                dot_products_block(q.data(), m.data() + j * dim, dim, std::min<std::size_t>(4, rows - j), want.data() + j);
            dot_products_block(q.data(), m.data(), dim, rows, got.data());
            for (std::size_t j = 0; j < rows; ++j) EXPECT_EQ(got[j], want[j]) << "dim " << dim << " row " << j << "/" << rows;
        }
    }
}

TEST(ExactScan, SearchMatchesReferenceForEveryMetricAndShape) {
    for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
        for (std::size_t dim : {3u, 16u, 37u}) {
            SCOPED_TRACE(std::string(metric_name(metric)) + " dim " + std::to_string(dim));
            // 203 rows: several blocks, the last one partial and not a multiple of eight.
            const auto data = gaussian(203 * dim, static_cast<std::uint32_t>(dim));
            const auto q = gaussian(dim, 99);
            const HnswIndex live = loaded_index(data, dim, metric);
            expect_identical(live.search_brute_force(q, 10), reference(live, q), 10);
            expect_identical(live.search_brute_force(q, 500), reference(live, q), 500);

            // Deleted rows at the edges of the bitmap's words and the last row.
            const HnswIndex holes = loaded_index(data, dim, metric, {0, 63, 64, 127, 128, 202});
            for (Slot s : {0u, 63u, 64u, 202u}) EXPECT_TRUE(holes.is_deleted(s));
            EXPECT_FALSE(holes.is_deleted(1));
            EXPECT_FALSE(holes.is_deleted(5000));  // beyond every word of the bitmap
            expect_identical(holes.search_brute_force(q, 10), reference(holes, q), 10);
            const auto everything = holes.search_brute_force(q, 1000);
            EXPECT_EQ(everything.size(), 197u);
            expect_identical(everything, reference(holes, q), 1000);
        }
    }
}

TEST(ExactScan, DeletionsMadeAfterInsertionAreSkipped) {
    // Marking rows one by one grows the bitmap as it goes; rows past its last word stay live.
    const std::size_t dim = 12;
    const auto data = gaussian(150 * dim, 3);
    HnswIndex idx(dim, Metric::Euclidean, 8, 40);
    std::vector<std::vector<float>> rows;
    for (std::size_t i = 0; i < 150; ++i) rows.emplace_back(data.begin() + i * dim, data.begin() + (i + 1) * dim);
    idx.batch_insert(rows);
    for (Slot s : {5u, 70u}) EXPECT_TRUE(idx.mark_deleted(s));
    EXPECT_FALSE(idx.mark_deleted(5));
    EXPECT_TRUE(idx.is_deleted(70));
    EXPECT_FALSE(idx.is_deleted(140));
    // The query is row 70 itself: without the deletion it would come first at distance 0.
    const auto got = idx.search_brute_force(rows[70], 149);
    ASSERT_EQ(got.size(), 148u);
    for (const auto& c : got) EXPECT_TRUE(c.slot != 5 && c.slot != 70);
    expect_identical(got, reference(idx, rows[70]), 149);
}

TEST(ExactScan, WithDeletionsCrowdedRowsAreStillRankedByThePairKernel) {
    // Rows far from the origin and a hair apart: their norm-based scores are mostly rounding
    // noise, so a scan that trusted them to rank (rather than only to rule rows out) would pick
    // other rows and distances than the pair kernel does.
    const std::size_t dim = 24;
    for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
        SCOPED_TRACE(metric_name(metric));
        auto data = gaussian(400 * dim, 41);
        const auto centre = gaussian(dim, 42);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = 300.0f * centre[i % dim] + 1e-3f * data[i];
        std::vector<float> q(dim);
        for (std::size_t d = 0; d < dim; ++d) q[d] = 300.0f * centre[d];
        const HnswIndex idx = loaded_index(data, dim, metric, {7, 100, 399});
        expect_identical(idx.search_brute_force(q, 10), reference(idx, q), 10);
        const std::vector<float> row(data.begin() + 5 * dim, data.begin() + 6 * dim);
        expect_identical(idx.search_brute_force(row, 10), reference(idx, row), 10);
    }
}

TEST(ExactScan, EqualDistancesAtTheCutKeepTheLowestSlots) {
    // Nine copies of one row: the five nearest are five of them, the first five in slot order,
    // in both scoring modes.
    const std::size_t dim = 10;
    auto data = gaussian(40 * dim, 11);
    for (std::size_t r : {2u, 9u, 14u, 20u, 21u, 27u, 33u, 38u, 39u})
        std::copy(data.begin(), data.begin() + dim, data.begin() + r * dim);
    const std::vector<float> q(data.begin(), data.begin() + dim);
    // (Under the negated inner product the copies need not be the nearest, so it is left out.)
    for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
        SCOPED_TRACE(metric_name(metric));
        for (bool with_deleted : {false, true}) {
            // Slot 1 is not a copy, so deleting it changes only the scoring mode.
            std::unordered_set<Slot> deleted;
            if (with_deleted) deleted.insert(1);
            const HnswIndex idx = loaded_index(data, dim, metric, deleted);
            auto got = idx.search_brute_force(q, 5);
            ASSERT_EQ(got.size(), 5u);
            std::vector<Slot> slots;
            for (const auto& c : got) {
                EXPECT_EQ(c.distance, got[0].distance);
                slots.push_back(c.slot);
            }
            std::sort(slots.begin(), slots.end());
            EXPECT_EQ(slots, (std::vector<Slot>{0, 2, 9, 14, 20}));
        }
    }
}

TEST(ExactScan, ScoringListedSlotsSeesOnlyThem) {
    const std::size_t dim = 19;  // rows straddle cache lines at every offset
    const auto data = gaussian(300 * dim, 21);
    const auto q = gaussian(dim, 22);
    const HnswIndex idx = loaded_index(data, dim, Metric::Euclidean);
    const ScanRows rows{idx.vectors().data(), idx.norms().data(), idx.node_count(), dim, Metric::Euclidean};
    std::vector<Slot> listed;
    for (Slot s = 1; s < 300; s += 7) listed.push_back(s);

    NearestK top(6, listed.size());
    score_slots(rows, q.data(), listed.data(), listed.size(), distance_fn(Metric::Euclidean), top);
    std::vector<Candidate> want;
    for (Slot s : listed) want.push_back({s, distance(q.data(), idx.vector(s), dim, Metric::Euclidean)});
    std::stable_sort(want.begin(), want.end(), candidate_less);
    expect_identical(top.take(), want, 6);

    NearestK none(0, listed.size());
    score_slots(rows, q.data(), listed.data(), listed.size(), distance_fn(Metric::Euclidean), none);
    EXPECT_TRUE(none.take().empty());
}

}  // namespace
}  // namespace qorel
