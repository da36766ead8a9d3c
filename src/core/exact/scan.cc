#include "exact/scan.h"

#include <cmath>

#include "simd.h"

namespace qorel {

namespace {

// Rows whose inner products are formed before they are turned into distances and offered: the
// scores of one block stay in L1 (256 B) while the rows stream past.
constexpr std::size_t kBlock = 64;

#if defined(__x86_64__)
// The eight lane sums of eight accumulators, lane t holding the sum of the accumulator given
// t-th in row order (r0, r1, ... r7). Each sum is grouped exactly as hsum_avx2 groups it,
// ((v0 + v4) + (v2 + v6)) + ((v1 + v5) + (v3 + v7)), so a row's inner product does not depend
// on how many rows share the pass; the shuffles just do eight of them at once.
__attribute__((target("avx2,fma"))) inline __m256 hsum8_avx2(__m256 r0, __m256 r1, __m256 r2, __m256 r3, __m256 r4,
                                                             __m256 r5, __m256 r6, __m256 r7) {
    // Halves added: lanes 0-3 of each pair from its first row, lanes 4-7 from its second.
    const __m256 p04 = _mm256_add_ps(_mm256_permute2f128_ps(r0, r4, 0x20), _mm256_permute2f128_ps(r0, r4, 0x31));
    const __m256 p15 = _mm256_add_ps(_mm256_permute2f128_ps(r1, r5, 0x20), _mm256_permute2f128_ps(r1, r5, 0x31));
    const __m256 p26 = _mm256_add_ps(_mm256_permute2f128_ps(r2, r6, 0x20), _mm256_permute2f128_ps(r2, r6, 0x31));
    const __m256 p37 = _mm256_add_ps(_mm256_permute2f128_ps(r3, r7, 0x20), _mm256_permute2f128_ps(r3, r7, 0x31));
    // Lanes 0 and 2 added, and 1 and 3.
    const __m256 q0145 = _mm256_add_ps(_mm256_shuffle_ps(p04, p15, _MM_SHUFFLE(1, 0, 1, 0)),
                                       _mm256_shuffle_ps(p04, p15, _MM_SHUFFLE(3, 2, 3, 2)));
    const __m256 q2367 = _mm256_add_ps(_mm256_shuffle_ps(p26, p37, _MM_SHUFFLE(1, 0, 1, 0)),
                                       _mm256_shuffle_ps(p26, p37, _MM_SHUFFLE(3, 2, 3, 2)));
    // The two partial sums of each row added.
    return _mm256_add_ps(_mm256_shuffle_ps(q0145, q2367, _MM_SHUFFLE(2, 0, 2, 0)),
                         _mm256_shuffle_ps(q0145, q2367, _MM_SHUFFLE(3, 1, 3, 1)));
}

// One row's eight-lane partial sums of its first `body` products.
__attribute__((target("avx2,fma"), always_inline)) inline __m256 row_sum_avx2(const float* q, const float* r,
                                                                             std::size_t body) {
    __m256 a = _mm256_setzero_ps();
    for (std::size_t i = 0; i < body; i += 8) a = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), _mm256_loadu_ps(r + i), a);
    return a;
}

// Eight rows per step, each summed in one go before the next: the loads come in address order,
// which the hardware prefetchers follow at full speed (reading the eight rows side by side,
// eight streams a few hundred bytes apart, ran at half of it), while the eight independent FMA
// chains still overlap in the out-of-order window, and one shuffle network reduces all eight
// accumulators. Per row the arithmetic is that of
// dot_products_block (one eight-lane accumulator, hsum_avx2, then the last dim % 8 products
// added one by one), and it hands the same rows to the same kernels: groups of four for what
// is left of a multiple of eight, and the last count % 4 rows to dot_product.
__attribute__((target("avx2,fma"))) void dots_avx2(const float* q, const float* m, std::size_t dim,
                                                   std::size_t count, float* out) {
    const std::size_t body = dim & ~std::size_t{7};
    std::size_t j = 0;
    for (; j + 8 <= count; j += 8) {
        const float* r = m + j * dim;
        const __m256 a0 = row_sum_avx2(q, r, body), a1 = row_sum_avx2(q, r + dim, body);
        const __m256 a2 = row_sum_avx2(q, r + 2 * dim, body), a3 = row_sum_avx2(q, r + 3 * dim, body);
        const __m256 a4 = row_sum_avx2(q, r + 4 * dim, body), a5 = row_sum_avx2(q, r + 5 * dim, body);
        const __m256 a6 = row_sum_avx2(q, r + 6 * dim, body), a7 = row_sum_avx2(q, r + 7 * dim, body);
        _mm256_storeu_ps(out + j, hsum8_avx2(a0, a1, a2, a3, a4, a5, a6, a7));
        if (body != dim) {
            for (std::size_t t = 0; t < 8; ++t) {
                const float* row = r + t * dim;
                float s = out[j + t];
                for (std::size_t i = body; i < dim; ++i) s += q[i] * row[i];
                out[j + t] = s;
            }
        }
    }
    if (j + 4 <= count) {
        dot_products_block(q, m + j * dim, dim, 4, out + j);
        j += 4;
    }
    for (; j < count; ++j) out[j] = dot_product(q, m + j * dim, dim);
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif

// Offers a block's scores in slot order; almost every row fails the first test once the heap
// is full.
inline void offer_block(const float* s, std::size_t len, Slot first, NearestK& top) {
    for (std::size_t j = 0; j < len; ++j)
        if (top.accepts(s[j])) top.offer(static_cast<Slot>(first + j), s[j]);
}

}  // namespace

void to_distances(Metric metric, bool pair_conventions, float q2, float sqrt_q2, const float* norms, std::size_t len,
                  float* s) {
    switch (metric) {
        case Metric::Euclidean:
            for (std::size_t j = 0; j < len; ++j) s[j] = (q2 + norms[j] * norms[j]) - (s[j] + s[j]);
            if (pair_conventions)
                for (std::size_t j = 0; j < len; ++j) s[j] = std::max(s[j], 0.0f);
            return;
        case Metric::DotProduct:
            for (std::size_t j = 0; j < len; ++j) s[j] = -s[j];
            return;
        case Metric::Cosine:
            if (!pair_conventions) {
                for (std::size_t j = 0; j < len; ++j) s[j] = norm_based_score(metric, q2, sqrt_q2, s[j], norms[j]);
                return;
            }
            for (std::size_t j = 0; j < len; ++j) {
                if (q2 == 0.0f || norms[j] == 0.0f)
                    s[j] = 1.0f;
                else
                    s[j] = std::max(1.0f - s[j] / (sqrt_q2 * norms[j]), 0.0f);
            }
            return;
    }
}

void scan_dot_products(const float* query, const float* rows, std::size_t dim, std::size_t count, float* out) {
#if defined(__x86_64__)
    if (kHaveAvx2) {
        dots_avx2(query, rows, dim, count, out);
        return;
    }
#endif
    dot_products_block(query, rows, dim, count, out);
}

void scan_norm_scores(const ScanRows& rows, const float* query, NearestK& top) {
    const float q2 = sum_of_squares({query, rows.dim});
    const float sqrt_q2 = std::sqrt(q2);
    float s[kBlock];
    for (std::size_t j0 = 0; j0 < rows.count; j0 += kBlock) {
        const std::size_t len = std::min(kBlock, rows.count - j0);
        scan_dot_products(query, rows.rows + j0 * rows.dim, rows.dim, len, s);
        to_distances(rows.metric, false, q2, sqrt_q2, rows.norms + j0, len, s);
        offer_block(s, len, static_cast<Slot>(j0), top);
    }
}

void scan_pair_distances(const ScanRows& rows, const float* query, const std::uint64_t* dead, std::size_t dead_words,
                         DistanceFn dist, NearestK& top) {
    // The pair kernel costs a dependent chain per row; the scan instead forms every row's
    // norm-based score at streaming speed and runs the pair kernel only on the rows whose score
    // is close enough to the heap's worst that their pair distance could beat it. Both are
    // float sums of dim products, each within dim * 2^-24 of the exact value relative to
    // (|q| + |x|)^2 (to 1 on the cosine scale); the margin below is sixteen times that plus
    // room for approximate reciprocal roots, so a row passed over could never have entered
    // the heap, and the rows kept and their distances are exactly the pair kernel's.
    const std::size_t dim = rows.dim;
    const float q2 = sum_of_squares({query, dim});
    const float sqrt_q2 = std::sqrt(q2);
    const float rel = static_cast<float>(dim + 64) * 0x1p-20f;
    const bool cosine = rows.metric == Metric::Cosine;
    // A zero query is scored by the zero-vector convention, not within the margin: never passed over.
    const bool screen = !cosine || q2 != 0.0f;
    float s[kBlock];
    static_assert(kBlock == 64, "one bitmap word per block");
    for (std::size_t j0 = 0; j0 < rows.count; j0 += kBlock) {
        const std::size_t len = std::min(kBlock, rows.count - j0);
        std::uint64_t live = dead && j0 / 64 < dead_words ? ~dead[j0 / 64] : ~std::uint64_t{0};
        if (len < 64) live &= (std::uint64_t{1} << len) - 1;
        if (live == 0) continue;
        const float* block = rows.rows + j0 * dim;
        const float* norms = rows.norms + j0;
        scan_dot_products(query, block, dim, len, s);
        to_distances(rows.metric, false, q2, sqrt_q2, norms, len, s);
        while (live != 0) {
            const std::size_t j = static_cast<std::size_t>(__builtin_ctzll(live));
            live &= live - 1;
            if (screen && top.full()) {
                const float margin = cosine ? rel + 0x1p-14f : rel * (sqrt_q2 + norms[j]) * (sqrt_q2 + norms[j]);
                // Written so that a NaN anywhere (score, margin or worst) sends the row on.
                if ((!cosine || norms[j] != 0.0f) && s[j] - margin > top.worst()) continue;
            }
            const float d = dist(query, block + j * dim, dim);
            if (top.accepts(d)) top.offer(static_cast<Slot>(j0 + j), d);
        }
    }
}

void score_slots(const ScanRows& rows, const float* query, const Slot* slots, std::size_t count, DistanceFn dist,
                 NearestK& top) {
    const std::size_t dim = rows.dim;
    // Far enough ahead that a row arrives by its turn, near enough that it is still cached then.
    constexpr std::size_t kAhead = 8;
    constexpr std::uintptr_t kLine = 64;
    // Every cache line the row touches, from the one holding its first float.
    auto fetch = [&](Slot s) {
        const float* row = rows.rows + static_cast<std::size_t>(s) * dim;
        const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(row + dim);
        for (std::uintptr_t a = reinterpret_cast<std::uintptr_t>(row) & ~(kLine - 1); a < end; a += kLine)
            __builtin_prefetch(reinterpret_cast<const void*>(a));
    };
    for (std::size_t i = 0; i < std::min(count, kAhead); ++i) fetch(slots[i]);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) fetch(slots[i + kAhead]);
        const float d = dist(query, rows.rows + static_cast<std::size_t>(slots[i]) * dim, dim);
        if (top.accepts(d)) top.offer(slots[i], d);
    }
}

}  // namespace qorel
