#include "exact_batch.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "blas.h"
#include "parallel.h"

namespace qorel {

namespace {

// One product is at most kQueryBlock × kRowBlock floats (2 MiB, the per-core cache of the
// processors we measure on): each query's row of scores is still cached when it is turned into
// distances and offered to its heap. Large products keep the library's packing of the operands
// a small share of the work.
constexpr std::size_t kQueryBlock = 512;
constexpr std::size_t kRowBlock = 1024;

constexpr std::size_t kChunk = 16;

// The smallest of kChunk scores, NaN ignored (+inf when all are NaN): a NaN never beats the
// heap's worst, so skipping it cannot change what the heap keeps.
inline float chunk_min(const float* s) {
#if defined(__SSE2__)
    // minps keeps its second operand when the first is NaN.
    __m128 lo = _mm_set1_ps(std::numeric_limits<float>::infinity());
    for (std::size_t t = 0; t < kChunk; t += 4) lo = _mm_min_ps(_mm_loadu_ps(s + t), lo);
    lo = _mm_min_ps(_mm_movehl_ps(lo, lo), lo);
    lo = _mm_min_ss(_mm_shuffle_ps(lo, lo, 1), lo);
    return _mm_cvtss_f32(lo);
#else
    float lo = std::numeric_limits<float>::infinity();
    for (std::size_t t = 0; t < kChunk; ++t) lo = s[t] < lo ? s[t] : lo;
    return lo;
#endif
}

// The k best (slot, distance) pairs seen so far, as a max-heap on distance.
class TopK {
public:
    explicit TopK(std::size_t k) : k_(k) {}

    bool full() const { return heap_.size() >= k_; }
    float worst() const { return heap_.front().distance; }

    bool accepts(float d) const { return heap_.size() < k_ || distance_less(d, heap_.front().distance); }

    void offer(Slot s, float d) {
        if (heap_.size() < k_) {
            heap_.push_back({s, d});
            std::push_heap(heap_.begin(), heap_.end(), candidate_less);
            return;
        }
        std::pop_heap(heap_.begin(), heap_.end(), candidate_less);
        heap_.back() = {s, d};
        std::push_heap(heap_.begin(), heap_.end(), candidate_less);
    }

    std::vector<Candidate> take() { return std::move(heap_); }

private:
    std::size_t k_;
    std::vector<Candidate> heap_;
};

// Turns one query's inner products with `len` consecutive rows into distances, in place.
// `pair_conventions` follows the pair kernels where the two scorings differ: neither cosine nor
// squared Euclidean goes below 0. A zero query or row is at cosine distance 1 either way.
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

}  // namespace

std::vector<std::vector<Candidate>> search_exact_batch(const HnswIndex& index, const float* queries, std::size_t nq,
                                                       std::size_t k) {
    std::vector<std::vector<Candidate>> results(nq);
    if (nq == 0 || k == 0 || index.entry_point() == kNoSlot) return results;

    const std::size_t dim = index.dim();
    const Metric metric = index.metric();
    const float* base = index.vectors().data();
    const std::size_t n = std::min(index.node_count(), dim == 0 ? 0 : index.vectors().float_count() / dim);
    QOREL_ASSERT(index.norms().size() >= n, "fewer stored norms than rows");
    const float* norms = index.norms().data();

    // With deletions the live rows are picked from a byte per row, and the final distances
    // come from the pair kernel, as the single-query scan reports them.
    const bool has_deleted = !index.deleted().empty();
    std::vector<std::uint8_t> dead;
    if (has_deleted) {
        dead.assign(n, 0);
        for (Slot s : index.deleted())
            if (s < n) dead[s] = 1;
    }

    std::vector<float> q2(nq), sqrt_q2(nq);
    for (std::size_t i = 0; i < nq; ++i) {
        q2[i] = sum_of_squares({queries + i * dim, dim});
        sqrt_q2[i] = std::sqrt(q2[i]);
    }

    // Enough tasks to keep every worker busy: query blocks first; when the batch is too small
    // for that, the rows are split too and each query's partial heaps are merged at the end.
    const std::size_t threads = std::max<std::size_t>(1, parallel::max_threads());
    const std::size_t qb = std::clamp<std::size_t>((nq + threads - 1) / threads, 1, kQueryBlock);
    const std::size_t query_blocks = (nq + qb - 1) / qb;
    const std::size_t row_block_count = std::max<std::size_t>(1, (n + kRowBlock - 1) / kRowBlock);
    const std::size_t chunks =
        query_blocks >= threads ? 1 : std::min(row_block_count, (threads + query_blocks - 1) / query_blocks);
    const std::size_t blocks_per_chunk = (row_block_count + chunks - 1) / chunks;

    // parts[c * nq + i]: query i's heap over the rows of chunk c.
    std::vector<std::vector<Candidate>> parts(chunks * nq);
    parallel::for_each(0, query_blocks * chunks, [&](std::size_t task) {
        const std::size_t q0 = (task / chunks) * qb;
        const std::size_t qn = std::min(qb, nq - q0);
        const std::size_t chunk = task % chunks;
        const std::size_t r_begin = std::min(n, chunk * blocks_per_chunk * kRowBlock);
        const std::size_t r_end = std::min(n, r_begin + blocks_per_chunk * kRowBlock);

        std::vector<TopK> tops(qn, TopK(k));
        std::unique_ptr<float[]> scores(new float[qn * kRowBlock]);
        for (std::size_t r0 = r_begin; r0 < r_end; r0 += kRowBlock) {
            const std::size_t len = std::min(kRowBlock, r_end - r0);
            inner_products(queries + q0 * dim, qn, base + r0 * dim, len, dim, scores.get());
            for (std::size_t i = 0; i < qn; ++i) {
                float* s = scores.get() + i * len;
                TopK& top = tops[i];
                for (std::size_t c0 = 0; c0 < len; c0 += kChunk) {
                    const std::size_t c1 = std::min(len, c0 + kChunk);
                    // Scores become distances a chunk at a time, while the chunk is in L1.
                    to_distances(metric, has_deleted, q2[q0 + i], sqrt_q2[q0 + i], norms + r0 + c0, c1 - c0, s + c0);
                    // Once the heap is full almost no score beats its worst: test a chunk's
                    // smallest first and look at its scores one by one only when that wins.
                    if (top.full() && c1 - c0 == kChunk && !distance_less(chunk_min(s + c0), top.worst())) continue;
                    for (std::size_t j = c0; j < c1; ++j) {
                        if (!top.accepts(s[j])) continue;
                        if (has_deleted && dead[r0 + j]) continue;
                        top.offer(static_cast<Slot>(r0 + j), s[j]);
                    }
                }
            }
        }
        for (std::size_t i = 0; i < qn; ++i) parts[chunk * nq + q0 + i] = tops[i].take();
    });

    parallel::for_each(0, nq, [&](std::size_t i) {
        std::vector<Candidate>& out = results[i];
        out = std::move(parts[i]);
        for (std::size_t c = 1; c < chunks; ++c) {
            const std::vector<Candidate>& more = parts[c * nq + i];
            out.insert(out.end(), more.begin(), more.end());
        }
        if (out.size() > k) {
            std::nth_element(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(k), out.end(), candidate_less);
            out.resize(k);
        }
        if (has_deleted) {
            const float* q = queries + i * dim;
            for (Candidate& c : out) c.distance = distance(q, index.vector(c.slot), dim, metric);
        }
        std::sort(out.begin(), out.end(), candidate_less);
    });
    return results;
}

}  // namespace qorel
