#include "exact/batch.h"

#include <algorithm>
#include <bit>
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

// How the rows are split among tasks: enough tasks to keep every worker busy, query blocks
// first; when the batch is too small for that, the rows are split too and each query's partial
// heaps are merged at the end.
struct Split {
    std::size_t qb, query_blocks, chunks, blocks_per_chunk;

    Split(std::size_t nq, std::size_t n) {
        const std::size_t threads = std::max<std::size_t>(1, parallel::max_threads());
        qb = std::clamp<std::size_t>((nq + threads - 1) / threads, 1, kQueryBlock);
        query_blocks = (nq + qb - 1) / qb;
        const std::size_t row_block_count = std::max<std::size_t>(1, (n + kRowBlock - 1) / kRowBlock);
        chunks = query_blocks >= threads ? 1 : std::min(row_block_count, (threads + query_blocks - 1) / query_blocks);
        blocks_per_chunk = (row_block_count + chunks - 1) / chunks;
    }
};

// What every task reads: the stored rows, the queries and their norms.
struct BatchInput {
    const float* base;
    const float* norms;
    std::size_t n, dim;
    Metric metric;
    const float* queries;
    std::vector<float> q2, sqrt_q2;
    // With deletions: a byte per row marking the dead ones, and the pair kernels' conventions.
    bool has_deleted;
    std::vector<std::uint8_t> dead;
};

// Offers one query's distances to `len` rows from `r0` to its heap, a chunk at a time.
void offer_row_block(const BatchInput& in, std::size_t query, std::size_t r0, std::size_t len, float* s,
                     NearestK& top) {
    for (std::size_t c0 = 0; c0 < len; c0 += kChunk) {
        const std::size_t c1 = std::min(len, c0 + kChunk);
        // Scores become distances a chunk at a time, while the chunk is in L1.
        to_distances(in.metric, in.has_deleted, in.q2[query], in.sqrt_q2[query], in.norms + r0 + c0, c1 - c0, s + c0);
        // Once the heap is full almost no score beats its worst: test a chunk's smallest first
        // and look at its scores one by one only when that wins.
        if (top.full() && c1 - c0 == kChunk && !distance_less(chunk_min(s + c0), top.worst())) continue;
        for (std::size_t j = c0; j < c1; ++j) {
            if (!top.accepts(s[j])) continue;
            if (in.has_deleted && in.dead[r0 + j]) continue;
            top.offer(static_cast<Slot>(r0 + j), s[j]);
        }
    }
}

// Queries [q0, q0 + qn) against rows [r_begin, r_end): one heap per query.
std::vector<NearestK> scan_task(const BatchInput& in, std::size_t q0, std::size_t qn, std::size_t r_begin,
                                std::size_t r_end, std::size_t k) {
    std::vector<NearestK> tops(qn, NearestK(k, r_end - r_begin));
    std::unique_ptr<float[]> scores(new float[qn * kRowBlock]);
    for (std::size_t r0 = r_begin; r0 < r_end; r0 += kRowBlock) {
        const std::size_t len = std::min(kRowBlock, r_end - r0);
        inner_products(in.queries + q0 * in.dim, qn, in.base + r0 * in.dim, len, in.dim, scores.get());
        for (std::size_t i = 0; i < qn; ++i) offer_row_block(in, q0 + i, r0, len, scores.get() + i * len, tops[i]);
    }
    return tops;
}

}  // namespace

std::vector<std::vector<Candidate>> search_exact_batch(const ScanRows& rows, const std::uint64_t* dead,
                                                       std::size_t dead_words, const float* queries, std::size_t nq,
                                                       std::size_t k) {
    std::vector<std::vector<Candidate>> results(nq);
    if (nq == 0 || k == 0 || rows.count == 0) return results;

    BatchInput in;
    in.dim = rows.dim;
    in.metric = rows.metric;
    in.base = rows.rows;
    in.n = rows.count;
    in.norms = rows.norms;
    in.queries = queries;
    // With deletions the live rows are picked from a byte per row, and the final distances
    // come from the pair kernel, as the single-query scan reports them.
    in.has_deleted = dead != nullptr;
    if (in.has_deleted) {
        in.dead.assign(in.n, 0);
        for (std::size_t w = 0; w < dead_words && w * 64 < in.n; ++w)
            for (std::uint64_t bits = dead[w]; bits != 0; bits &= bits - 1) {
                const std::size_t s = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
                if (s < in.n) in.dead[s] = 1;
            }
    }
    in.q2.resize(nq);
    in.sqrt_q2.resize(nq);
    for (std::size_t i = 0; i < nq; ++i) {
        in.q2[i] = sum_of_squares({queries + i * in.dim, in.dim});
        in.sqrt_q2[i] = std::sqrt(in.q2[i]);
    }

    const Split split(nq, in.n);
    const std::size_t chunks = split.chunks;
    // parts[c * nq + i]: query i's heap over the rows of chunk c.
    std::vector<std::vector<Candidate>> parts(chunks * nq);
    parallel::for_each(0, split.query_blocks * chunks, [&](std::size_t task) {
        const std::size_t q0 = (task / chunks) * split.qb;
        const std::size_t qn = std::min(split.qb, nq - q0);
        const std::size_t chunk = task % chunks;
        const std::size_t r_begin = std::min(in.n, chunk * split.blocks_per_chunk * kRowBlock);
        const std::size_t r_end = std::min(in.n, r_begin + split.blocks_per_chunk * kRowBlock);
        std::vector<NearestK> tops = scan_task(in, q0, qn, r_begin, r_end, k);
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
        if (in.has_deleted) {
            const float* q = queries + i * in.dim;
            for (Candidate& c : out) c.distance = distance(q, in.base + std::size_t{c.slot} * in.dim, in.dim, in.metric);
        }
        std::sort(out.begin(), out.end(), candidate_less);
    });
    return results;
}

}  // namespace qorel
