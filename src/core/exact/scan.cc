#include "exact/scan.h"

#include <cmath>

namespace qorel {

namespace {

// Rows whose inner products are formed before they are turned into distances and offered: the
// scores of one block stay in L1 (256 B) while the rows stream past.
constexpr std::size_t kBlock = 64;


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

void scan_norm_scores(const ScanRows& rows, const float* query, NearestK& top) {
    const float q2 = sum_of_squares({query, rows.dim});
    const float sqrt_q2 = std::sqrt(q2);
    float s[kBlock];
    for (std::size_t j0 = 0; j0 < rows.count; j0 += kBlock) {
        const std::size_t len = std::min(kBlock, rows.count - j0);
        dot_products_block(query, rows.rows + j0 * rows.dim, rows.dim, len, s);
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
        dot_products_block(query, block, dim, len, s);
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
