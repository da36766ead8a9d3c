// The batched exact scan against the single-query scan it must agree with, and the matrix
// product underneath it against plain sums.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "blas.h"
#include "exact/batch.h"
#include "hnsw/index.h"
#include "parallel.h"
#include "quantizer.h"

namespace qorel {
namespace {

std::vector<std::vector<float>> gaussian(std::size_t n, std::size_t dim, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<std::vector<float>> out(n, std::vector<float>(dim));
    for (auto& v : out)
        for (auto& x : v) x = g(rng);
    return out;
}

// The batch over an index's rows and deletions, as the database runs it.
std::vector<std::vector<Candidate>> exact_batch(const HnswIndex& index, const float* queries, std::size_t nq,
                                                std::size_t k) {
    return search_exact_batch(index.scan_rows(), index.deleted_bits(), index.deleted_bit_words(), queries, nq, k);
}

std::vector<float> pack(const std::vector<std::vector<float>>& rows) {
    std::vector<float> out;
    for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
    return out;
}

// The batch must find the same slots as the single-query scan, nearest first, with the same
// distances up to rounding. Slots whose distance (nearly) ties the k-th may legitimately differ,
// so slots are compared only where they are clearly inside the k.
void expect_same_hits(const HnswIndex& index, const std::vector<std::vector<float>>& queries, std::size_t k) {
    const std::vector<float> packed = pack(queries);
    const auto batch = exact_batch(index, packed.data(), queries.size(), k);
    ASSERT_EQ(batch.size(), queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const auto single = index.search_brute_force(queries[i], k);
        ASSERT_EQ(batch[i].size(), single.size()) << "query " << i;
        std::set<Slot> seen;
        for (std::size_t r = 0; r < single.size(); ++r) {
            const float tol = 1e-4f * std::max(1.0f, std::fabs(single[r].distance));
            EXPECT_NEAR(batch[i][r].distance, single[r].distance, tol) << "query " << i << " rank " << r;
            if (r) {
                EXPECT_LE(batch[i][r - 1].distance, batch[i][r].distance);
            }
            EXPECT_FALSE(index.is_deleted(batch[i][r].slot));
            EXPECT_TRUE(seen.insert(batch[i][r].slot).second) << "slot returned twice";
        }
        if (single.empty()) continue;
        const float last = single.back().distance;
        std::set<Slot> want;
        for (const auto& c : single)
            if (c.distance < last - 1e-4f * std::max(1.0f, std::fabs(last))) want.insert(c.slot);
        std::size_t common = 0;
        for (const auto& c : batch[i]) common += want.count(c.slot);
        EXPECT_EQ(common, want.size()) << "query " << i;
    }
}

TEST(InnerProducts, MatchPlainSumsForOddShapes) {
    // Shapes that fill no SIMD register or matrix tile evenly catch a wrong leading dimension
    // or a transposed operand.
    for (std::size_t dim : {1u, 7u, 33u}) {
        const auto q = gaussian(3, dim, 1), m = gaussian(5, dim, 2);
        const auto qp = pack(q), mp = pack(m);
        std::vector<float> out(3 * 5, -1.0f);
        inner_products(qp.data(), 3, mp.data(), 5, dim, out.data());
        for (std::size_t i = 0; i < 3; ++i)
            for (std::size_t j = 0; j < 5; ++j) {
                double want = 0;
                for (std::size_t d = 0; d < dim; ++d) want += double(q[i][d]) * m[j][d];
                EXPECT_NEAR(out[i * 5 + j], want, 1e-4 * (1 + std::fabs(want))) << dim << " " << i << " " << j;
            }
    }
}

TEST(ExactBatch, AgreesWithSingleQueryScanForEveryMetric) {
    // 2,500 rows span several row blocks and end in a partial one; 3 queries make the scan split
    // the rows between workers, 300 queries split the queries.
    const std::size_t dim = 24;
    for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
        HnswIndex index(dim, metric, 8, 40);
        index.batch_insert(gaussian(2500, dim, 7));
        SCOPED_TRACE(metric_name(metric));
        expect_same_hits(index, gaussian(3, dim, 8), 10);
        expect_same_hits(index, gaussian(300, dim, 9), 5);
        {
            parallel::ThreadLimit one(1);
            expect_same_hits(index, gaussian(40, dim, 10), 7);
        }
        // Deleted rows never come back, and the distances are then the pair kernel's.
        for (Slot s = 0; s < 2500; s += 3) index.mark_deleted(s);
        expect_same_hits(index, gaussian(3, dim, 11), 10);
        expect_same_hits(index, gaussian(300, dim, 12), 10);
    }
}

TEST(ExactBatch, SmallAndDegenerateRequests) {
    const std::size_t dim = 4;
    HnswIndex empty(dim, Metric::Euclidean, 4, 10);
    const std::vector<float> q(2 * dim, 1.0f);
    for (const auto& r : exact_batch(empty, q.data(), 2, 5)) EXPECT_TRUE(r.empty());

    HnswIndex index(dim, Metric::Euclidean, 4, 10);
    index.batch_insert(gaussian(20, dim, 3));
    for (const auto& r : exact_batch(index, q.data(), 2, 0)) EXPECT_TRUE(r.empty());
    EXPECT_TRUE(exact_batch(index, q.data(), 0, 5).empty());

    // k beyond the live count returns every live row once, sorted.
    index.mark_deleted(4);
    const auto all = exact_batch(index, q.data(), 2, 100);
    for (const auto& r : all) {
        ASSERT_EQ(r.size(), 19u);
        std::set<Slot> slots;
        for (std::size_t i = 0; i < r.size(); ++i) {
            slots.insert(r[i].slot);
            if (i) {
                EXPECT_LE(r[i - 1].distance, r[i].distance);
            }
        }
        EXPECT_EQ(slots.size(), 19u);
        EXPECT_EQ(slots.count(4), 0u);
    }
}

TEST(ExactBatch, ZeroVectorsUnderCosineFollowTheScanOfTheSameState) {
    // Without deletions the scan scores by norms, with deletions through the pair kernel; both
    // put a zero query at distance 1 from every row, the zero row included.
    const std::size_t dim = 8;
    auto rows = gaussian(50, dim, 5);
    rows[17].assign(dim, 0.0f);
    HnswIndex index(dim, Metric::Cosine, 4, 10);
    index.batch_insert(rows);
    std::vector<std::vector<float>> queries{std::vector<float>(dim, 0.0f), rows[3]};
    const auto packed = pack(queries);

    auto live = exact_batch(index, packed.data(), 2, 3);
    for (const auto& c : live[0]) EXPECT_EQ(c.distance, 1.0f);
    EXPECT_EQ(live[1][0].slot, 3u);

    index.mark_deleted(0);
    auto with_deleted = exact_batch(index, packed.data(), 2, 3);
    for (const auto& c : with_deleted[0]) EXPECT_EQ(c.distance, 1.0f);
    // The graph walk, the single scan and the quantized codes score the same way.
    for (const auto& c : index.search_graph(queries[0], 3, 64)) EXPECT_EQ(c.distance, 1.0f);
    for (const auto& c : index.search_brute_force(queries[0], 3)) EXPECT_EQ(c.distance, 1.0f);
    const auto quantizer = ScalarQuantizer::train(pack(rows), dim);
    for (const std::size_t row : {std::size_t{17}, std::size_t{3}}) {
        const auto codes = quantizer.quantize(rows[row]);
        EXPECT_EQ(quantizer.distance_to_codes(queries[0].data(), codes.data(), Metric::Cosine), 1.0f);
    }
    EXPECT_EQ(with_deleted[1][0].slot, 3u);
    EXPECT_GE(with_deleted[1][0].distance, 0.0f);
    expect_same_hits(index, queries, 3);
}

}  // namespace
}  // namespace qorel
