// Distance kernels: the conventions the index and the exact scan rely on, and agreement of the
// dispatched kernels with a double-precision reference over lengths that exercise every tail.
#include "distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace qorel {
namespace {

constexpr Metric kAllMetrics[] = {Metric::Cosine, Metric::Euclidean, Metric::DotProduct};
constexpr double kUnitRoundoff = 0x1p-24;  // float32

std::vector<std::size_t> test_lengths() {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= 70; ++n) lengths.push_back(n);
    for (std::size_t n : {127, 128, 129, 383, 384, 767, 768, 1535, 1536}) lengths.push_back(n);
    return lengths;
}

std::vector<float> random_vector(std::mt19937& rng, std::size_t n, float lo = -1.0f, float hi = 1.0f) {
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

// The metric's value computed in double with exact square roots, and the scale its float
// rounding error is measured against: the sum of the absolute terms (the sum itself may cancel).
// Inner products of `q` with `rows` consecutive rows of `matrix`, one kernel call per row.
std::vector<float> per_row_dots(std::span<const float> q, const float* matrix, std::size_t dim, std::size_t rows) {
    std::vector<float> out(rows, 0.0f);
    for (std::size_t j = 0; j < rows; ++j) out[j] = dot_product(q.data(), matrix + j * dim, dim);
    return out;
}

struct Reference {
    double value;
    double tolerance;
};

Reference reference(const float* a, const float* b, std::size_t n, Metric m) {
    double ab = 0, aa = 0, bb = 0, abs_ab = 0, l2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = a[i], y = b[i];
        ab += x * y;
        abs_ab += std::fabs(x * y);
        aa += x * x;
        bb += y * y;
        l2 += (x - y) * (x - y);
    }
    // Any order of float summation of n terms is within n unit roundoffs of the sum of the
    // absolute terms; a few more cover the per-term rounding and the final conversion.
    const double bound = static_cast<double>(n + 4) * kUnitRoundoff;
    switch (m) {
        case Metric::Cosine: {
            const double norms = std::sqrt(aa) * std::sqrt(bb);
            // Plus the kernels' refined reciprocal square roots (a few 1e-7 relative).
            return {1.0 - ab / norms, 2.0 * bound * (abs_ab / norms) + 1e-6};
        }
        case Metric::Euclidean: return {l2, bound * l2};
        case Metric::DotProduct: break;
    }
    return {-ab, bound * abs_ab};
}

TEST(DistanceTest, ParseMetricIsByteExact) {
    EXPECT_EQ(parse_metric("cosine"), Metric::Cosine);
    EXPECT_EQ(parse_metric("euclidean"), Metric::Euclidean);
    EXPECT_EQ(parse_metric("l2"), Metric::Euclidean);
    EXPECT_EQ(parse_metric("dot"), Metric::DotProduct);
    EXPECT_EQ(parse_metric("dot_product"), Metric::DotProduct);

    for (const char* bad : {"", "Cosine", "COSINE", " cosine", "cosine ", "cos", "L2", "l2sq", "Euclidean",
                            "euclid", "dot-product", "dot product", "dotproduct", "Dot", "ip", "inner_product"}) {
        EXPECT_FALSE(parse_metric(bad).has_value()) << '"' << bad << '"';
    }
    // An embedded NUL does not end the name.
    EXPECT_FALSE(parse_metric(std::string_view("l2\0", 3)).has_value());
    EXPECT_FALSE(parse_metric(std::string_view("dot\0product", 11)).has_value());

    // The canonical names parse back to their metric.
    for (Metric m : kAllMetrics) EXPECT_EQ(parse_metric(metric_name(m)), m);
    EXPECT_STREQ(metric_name(Metric::DotProduct), "dot_product");
}

TEST(DistanceTest, CosineZeroVectorConventionsOnBothPaths) {
    const std::vector<float> zero(5, 0.0f);
    const std::vector<float> v = {0.5f, -1.0f, 2.0f, 0.0f, 3.0f};

    // Pair kernel: a zero vector is at distance 1 from everything, another zero vector included.
    EXPECT_EQ(distance(zero, zero, Metric::Cosine), 1.0f);
    EXPECT_EQ(distance(zero, v, Metric::Cosine), 1.0f);
    EXPECT_EQ(distance(v, zero, Metric::Cosine), 1.0f);

    // Norm-based scoring: a zero query or a zero stored row always scores 1.
    const float vq2 = sum_of_squares(v);
    EXPECT_EQ(norm_based_score(Metric::Cosine, 0.0f, 0.0f, 0.0f, 0.0f), 1.0f);
    EXPECT_EQ(norm_based_score(Metric::Cosine, 0.0f, 0.0f, 0.0f, vector_norm(v)), 1.0f);
    EXPECT_EQ(norm_based_score(Metric::Cosine, vq2, std::sqrt(vq2), 0.0f, 0.0f), 1.0f);

    // The same through the exact scan's own steps: inner products, then the scores.
    std::vector<float> matrix = zero;
    matrix.insert(matrix.end(), v.begin(), v.end());
    const std::vector<float> dots = per_row_dots(zero, matrix.data(), 5, 2);
    ASSERT_EQ(dots.size(), 2u);
    for (float d : dots) EXPECT_EQ(norm_based_score(Metric::Cosine, 0.0f, 0.0f, d, vector_norm(v)), 1.0f);
    const std::vector<float> from_v = per_row_dots(v, matrix.data(), 5, 2);
    EXPECT_EQ(norm_based_score(Metric::Cosine, vq2, std::sqrt(vq2), from_v[0], vector_norm(zero)), 1.0f);
}

TEST(DistanceTest, CosineBoundsForIdenticalAndOppositeVectors) {
    std::mt19937 rng(7);
    for (std::size_t n : test_lengths()) {
        const std::vector<float> a = random_vector(rng, n);
        std::vector<float> neg(a), twice(a);
        for (float& x : neg) x = -x;
        for (float& x : twice) x *= 2.0f;

        const float same = distance(a, a, Metric::Cosine);
        EXPECT_GE(same, 0.0f) << "n=" << n;
        EXPECT_LT(same, 1e-6f) << "n=" << n;
        const float scaled = distance(a, twice, Metric::Cosine);
        EXPECT_GE(scaled, 0.0f) << "n=" << n;
        EXPECT_LT(scaled, 1e-6f) << "n=" << n;
        EXPECT_NEAR(distance(a, neg, Metric::Cosine), 2.0f, 1e-6f) << "n=" << n;
    }
}

TEST(DistanceTest, SmallExactValues) {
    const float origin[2] = {0.0f, 0.0f};
    const float p[2] = {3.0f, 4.0f};
    EXPECT_EQ(distance(origin, p, 2, Metric::Euclidean), 25.0f);  // squared, not rooted
    EXPECT_EQ(distance(p, origin, 2, Metric::Euclidean), 25.0f);

    const float a[2] = {1.0f, 2.0f};
    const float b[2] = {3.0f, 4.0f};
    EXPECT_EQ(distance(a, b, 2, Metric::DotProduct), -11.0f);
    EXPECT_EQ(dot_product(a, b, 2), 11.0f);

    // Two zero vectors: the negated zero product is -0.0, which still orders equal to 0.
    const float zero_dot = distance(origin, origin, 2, Metric::DotProduct);
    EXPECT_TRUE(std::signbit(zero_dot));
    EXPECT_EQ(zero_dot, 0.0f);
    EXPECT_FALSE(zero_dot < 0.0f);
    EXPECT_FALSE(candidate_less({0, zero_dot}, {1, 0.0f}));
    EXPECT_FALSE(candidate_less({1, 0.0f}, {0, zero_dot}));

    const float orth_a[3] = {1.0f, 0.0f, 0.0f};
    const float orth_b[3] = {0.0f, -2.0f, 0.0f};
    EXPECT_EQ(distance(orth_a, orth_b, 3, Metric::Cosine), 1.0f);
    EXPECT_EQ(vector_norm(std::span<const float>(p, 2)), 5.0f);
}

TEST(DistanceTest, AgreesWithDoubleReferenceOnEveryLength) {
    std::mt19937 rng(20240611);
    // Reading at odd float offsets keeps the kernels honest about unaligned loads.
    std::vector<float> buffer(2 * 1536 + 16);
    for (std::size_t n : test_lengths()) {
        for (int trial = 0; trial < 4; ++trial) {
            const std::size_t off_a = static_cast<std::size_t>(trial), off_b = 1536 + 3 + static_cast<std::size_t>(trial);
            const std::vector<float> va = random_vector(rng, n), vb = random_vector(rng, n);
            std::memcpy(buffer.data() + off_a, va.data(), n * sizeof(float));
            std::memcpy(buffer.data() + off_b, vb.data(), n * sizeof(float));
            const float* a = buffer.data() + off_a;
            const float* b = buffer.data() + off_b;
            for (Metric m : kAllMetrics) {
                const Reference ref = reference(a, b, n, m);
                const float got = distance(a, b, n, m);
                EXPECT_NEAR(got, ref.value, ref.tolerance) << metric_name(m) << " n=" << n << " trial=" << trial;
                // Squared Euclidean and dot product sum the same terms either way round; the
                // cosine normalisation multiplies its two factors in argument order, so the
                // swapped pair may land a float step or so away (2^-22 is one step below 2).
                const float swapped = distance(b, a, n, m);
                if (m != Metric::Cosine) {
                    EXPECT_EQ(got, swapped) << metric_name(m) << " n=" << n;
                } else {
                    EXPECT_NEAR(got, swapped, 0x1p-22f) << "n=" << n;
                }
            }
        }
    }
}

TEST(DistanceTest, NonFiniteComponentsNeverLookLikeAMatch) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (std::size_t n : {1, 7, 8, 9, 16, 33, 384}) {
        const std::vector<float> other(n, 0.25f);
        for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
            std::vector<float> bad(n, 0.25f);
            bad[at] = nan;
            for (Metric m : kAllMetrics) {
                EXPECT_TRUE(std::isnan(distance(bad, other, m))) << metric_name(m) << " n=" << n << " at=" << at;
                EXPECT_TRUE(std::isnan(distance(other, bad, m))) << metric_name(m) << " n=" << n << " at=" << at;
            }
            // An infinite component has no direction: under cosine it is no match either.
            bad[at] = inf;
            EXPECT_TRUE(std::isnan(distance(bad, other, Metric::Cosine))) << "n=" << n << " at=" << at;
            EXPECT_TRUE(std::isnan(distance(bad, bad, Metric::Cosine))) << "n=" << n << " at=" << at;
        }
    }
}

TEST(DistanceTest, CosineOfTinyVectorsKeepsTheirDirection) {
    // Squared norms below the float normal range (components around 1e-20), and components
    // whose squares underflow to zero in float altogether (1e-25).
    for (float scale : {1e-20f, 1e-25f}) {
        for (std::size_t n : {2, 8, 19}) {
            std::vector<float> a(n, 0.0f), neg(n, 0.0f), orth(n, 0.0f);
            a[0] = scale;
            a[n - 1] = 2.0f * scale;
            for (std::size_t i = 0; i < n; ++i) neg[i] = -a[i];
            orth[0] = 2.0f * scale;
            orth[n - 1] = -scale;
            EXPECT_NEAR(distance(a, neg, Metric::Cosine), 2.0f, 1e-6f) << scale << " n=" << n;
            EXPECT_NEAR(distance(a, a, Metric::Cosine), 0.0f, 1e-6f) << scale << " n=" << n;
            EXPECT_NEAR(distance(a, orth, Metric::Cosine), 1.0f, 1e-6f) << scale << " n=" << n;
        }
    }
}

TEST(DistanceTest, DotProductIsTheNegatedDotDistance) {
    std::mt19937 rng(3);
    for (std::size_t dim : {1, 5, 13, 128}) {
        const std::size_t rows = 9;
        const std::vector<float> q = random_vector(rng, dim);
        const std::vector<float> matrix = random_vector(rng, dim * rows);
        for (std::size_t j = 0; j < rows; ++j) {
            const float* row = matrix.data() + j * dim;
            const float dot = dot_product(q.data(), row, dim);
            EXPECT_EQ(dot, -distance(q.data(), row, dim, Metric::DotProduct));
            const Reference ref = reference(q.data(), row, dim, Metric::DotProduct);
            EXPECT_NEAR(dot, -ref.value, ref.tolerance);
        }
    }
}

TEST(DistanceTest, NormBasedScoresTrackThePairKernels) {
    std::mt19937 rng(11);
    for (std::size_t dim : {3, 64, 385}) {
        const std::size_t rows = 16;
        const std::vector<float> q = random_vector(rng, dim, 0.0f, 1.0f);
        const std::vector<float> matrix = random_vector(rng, dim * rows, 0.0f, 1.0f);
        const float q2 = sum_of_squares(q);
        const std::vector<float> dots = per_row_dots(q, matrix.data(), dim, rows);
        for (std::size_t j = 0; j < rows; ++j) {
            const std::span<const float> row(matrix.data() + j * dim, dim);
            const float norm = vector_norm(row);
            for (Metric m : kAllMetrics) {
                const float pair = distance(q, row, m);
                const float scored = norm_based_score(m, q2, std::sqrt(q2), dots[j], norm);
                // The two paths round differently; squared Euclidean also cancels, so it is
                // compared against the magnitudes involved.
                const double scale = m == Metric::Euclidean ? q2 + norm * norm : std::fabs(pair) + 1.0;
                EXPECT_NEAR(scored, pair, 1e-5 * scale) << metric_name(m) << " dim=" << dim << " row=" << j;
            }
        }
    }
}

// The blocked scan kernel must agree with the per-row products for every row count (the
// blocked body and its tail) and for dimensions with and without a vector-width tail.
TEST(DistanceTest, BlockedDotProductsMatchPerRow) {
    std::mt19937 rng(12);
    for (std::size_t dim : {1, 7, 8, 9, 128, 131}) {
        for (std::size_t rows : {0, 1, 3, 4, 5, 9}) {
            const std::vector<float> q = random_vector(rng, dim, 0.0f, 1.0f);
            const std::vector<float> matrix = random_vector(rng, dim * rows + 1, 0.0f, 1.0f);
            const std::vector<float> per_row = per_row_dots(q, matrix.data(), dim, rows);
            std::vector<float> blocked(rows + 1, 12345.0f);
            dot_products_block(q.data(), matrix.data(), dim, rows, blocked.data());
            for (std::size_t j = 0; j < rows; ++j)
                EXPECT_NEAR(blocked[j], per_row[j], 1e-5f * (1.0f + std::fabs(per_row[j]))) << dim << " " << rows;
            EXPECT_EQ(blocked[rows], 12345.0f) << "wrote past the rows";
        }
    }
}

}  // namespace
}  // namespace qorel
