#include "distance.h"

#include "simd.h"

// SimSIMD's AVX-512 helpers start from deliberately undefined registers, which GCC reports
// once their bodies are inlined here; the reports are about the library, not this file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <simsimd/simsimd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#pragma GCC diagnostic pop

#include <cmath>
#include <limits>

namespace qorel {

std::optional<Metric> parse_metric(std::string_view name) {
    if (name == "cosine") return Metric::Cosine;
    if (name == "euclidean" || name == "l2") return Metric::Euclidean;
    if (name == "dot" || name == "dot_product") return Metric::DotProduct;
    return std::nullopt;
}

const char* metric_name(Metric m) {
    switch (m) {
        case Metric::Cosine: return "cosine";
        case Metric::Euclidean: return "euclidean";
        case Metric::DotProduct: return "dot_product";
    }
    return "unknown";
}

namespace {

using RawKernel = void (*)(const simsimd_f32_t*, const simsimd_f32_t*, simsimd_size_t, simsimd_distance_t*);

struct Kernels {
    RawKernel cos = nullptr;
    RawKernel l2sq = nullptr;
    RawKernel dot = nullptr;
    simsimd_capability_t isa = simsimd_cap_serial_k;
};

RawKernel find(simsimd_metric_kind_t kind, simsimd_capability_t caps, simsimd_capability_t* used) {
    simsimd_kernel_punned_t fn = nullptr;
    simsimd_find_kernel_punned(kind, simsimd_datatype_f32_k, caps, simsimd_cap_any_k, &fn, used);
    // The punned pointer is a generic function type; going through void(*)() is the
    // sanctioned way to convert between function pointer types.
    return reinterpret_cast<RawKernel>(reinterpret_cast<void (*)()>(fn));
}

Kernels resolve() {
    Kernels k;
    simsimd_capability_t caps = simsimd_capabilities();
    k.cos = find(simsimd_metric_cos_k, caps, &k.isa);
    k.l2sq = find(simsimd_metric_l2sq_k, caps, &k.isa);
    k.dot = find(simsimd_metric_dot_k, caps, &k.isa);
    return k;
}

// Resolved once, before any distance can be asked for (static initialisation of this unit).
const Kernels kKernels = resolve();

// Cosine distance with the sums and the normalisation in double. Slow path of
// cosine_distance, for the pairs whose vectorised result cannot be trusted.
[[gnu::noinline, gnu::cold]] float cosine_distance_exact(const float* a, const float* b, std::size_t n) {
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = a[i], y = b[i];
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    // A zero vector has no direction: it is at distance 1 from every vector, itself included,
    // as every scoring path has it.
    if (aa == 0.0 || bb == 0.0 || ab == 0.0) return 1.0f;
    const double d = 1.0 - ab * (1.0 / std::sqrt(aa)) * (1.0 / std::sqrt(bb));
    // A NaN or infinite component must never look like a perfect match.
    if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
    const float f = static_cast<float>(d);
    return f > 0.0f ? f : 0.0f;
}

float cosine_distance(const float* a, const float* b, std::size_t n) {
    simsimd_distance_t d = 0;
    kKernels.cos(a, b, n, &d);
    // The kernel returns 0 for two zero vectors, 1 when the dot product is 0, and clamps at 0
    // in double; rounding to float keeps it non-negative.
    const float f = static_cast<float>(d);
    if (f > 0.0f) return f;
    // A result of exactly 0 is also what the kernel's clamp makes of a NaN (from a NaN or
    // infinite component) and of vectors whose squared norm lies below the float normal range
    // (its approximate reciprocal square root is taken in float and breaks down there, so even
    // opposite tiny vectors come out as 0), and of two zero vectors, which are at distance 1.
    // Identical directions give 0 too; recomputing those exactly is cheap next to graph work
    // and only sharpens them.
    return cosine_distance_exact(a, b, n);
}

float euclidean_distance(const float* a, const float* b, std::size_t n) {
    simsimd_distance_t d = 0;
    kKernels.l2sq(a, b, n, &d);
    return static_cast<float>(d);
}

float negated_dot(const float* a, const float* b, std::size_t n) {
    simsimd_distance_t d = 0;
    kKernels.dot(a, b, n, &d);
    return -static_cast<float>(d);
}

#if defined(__x86_64__)
// The same kernels called directly from wrappers compiled for their instruction set, so that
// the kernel inlines and a distance costs one indirect call instead of two.
__attribute__((target("avx2,f16c,fma"))) float euclidean_haswell(const float* a, const float* b, std::size_t n) {
    simsimd_distance_t d = 0;
    simsimd_l2sq_f32_haswell(a, b, n, &d);
    return static_cast<float>(d);
}

__attribute__((target("avx2,f16c,fma"))) float negated_dot_haswell(const float* a, const float* b, std::size_t n) {
    simsimd_distance_t d = 0;
    simsimd_dot_f32_haswell(a, b, n, &d);
    return -static_cast<float>(d);
}

#if SIMSIMD_TARGET_SKYLAKE
__attribute__((target("avx2,avx512f,avx512bw,avx512vl,bmi2"))) float euclidean_skylake(const float* a, const float* b,
                                                                                     std::size_t n) {
    simsimd_distance_t d = 0;
    simsimd_l2sq_f32_skylake(a, b, n, &d);
    return static_cast<float>(d);
}

__attribute__((target("avx2,avx512f,avx512bw,avx512vl,bmi2"))) float negated_dot_skylake(const float* a, const float* b,
                                                                                       std::size_t n) {
    simsimd_distance_t d = 0;
    simsimd_dot_f32_skylake(a, b, n, &d);
    return -static_cast<float>(d);
}
#endif
#endif

}  // namespace

DistanceFn distance_fn(Metric m) {
#if defined(__x86_64__)
    if (m == Metric::Euclidean && kKernels.l2sq == reinterpret_cast<RawKernel>(&simsimd_l2sq_f32_haswell))
        return &euclidean_haswell;
    if (m == Metric::DotProduct && kKernels.dot == reinterpret_cast<RawKernel>(&simsimd_dot_f32_haswell))
        return &negated_dot_haswell;
#if SIMSIMD_TARGET_SKYLAKE
    if (m == Metric::Euclidean && kKernels.l2sq == reinterpret_cast<RawKernel>(&simsimd_l2sq_f32_skylake))
        return &euclidean_skylake;
    if (m == Metric::DotProduct && kKernels.dot == reinterpret_cast<RawKernel>(&simsimd_dot_f32_skylake))
        return &negated_dot_skylake;
#endif
#endif
    switch (m) {
        case Metric::Cosine: return &cosine_distance;
        case Metric::Euclidean: return &euclidean_distance;
        case Metric::DotProduct: break;
    }
    return &negated_dot;
}

float dot_product(const float* a, const float* b, std::size_t n) {
    simsimd_distance_t d = 0;
    kKernels.dot(a, b, n, &d);
    return static_cast<float>(d);
}

namespace {

#if defined(__x86_64__)
// Four rows per pass over the query: the query is loaded once for four rows and four
// independent FMA chains hide each other's latency, so a scan of short rows runs at memory
// speed instead of at the speed of one dependent chain per row.
__attribute__((target("avx2,fma"))) void dot_rows4_avx2(const float* q, const float* m, std::size_t dim,
                                                       std::size_t rows, float* out) {
    std::size_t j = 0;
    const std::size_t body = dim & ~std::size_t{7};
    for (; j + 4 <= rows; j += 4) {
        const float* r0 = m + j * dim;
        const float* r1 = r0 + dim;
        const float* r2 = r1 + dim;
        const float* r3 = r2 + dim;
        __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
        for (std::size_t i = 0; i < body; i += 8) {
            const __m256 x = _mm256_loadu_ps(q + i);
            a0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(r0 + i), a0);
            a1 = _mm256_fmadd_ps(x, _mm256_loadu_ps(r1 + i), a1);
            a2 = _mm256_fmadd_ps(x, _mm256_loadu_ps(r2 + i), a2);
            a3 = _mm256_fmadd_ps(x, _mm256_loadu_ps(r3 + i), a3);
        }
        float s0 = hsum_avx2(a0), s1 = hsum_avx2(a1), s2 = hsum_avx2(a2), s3 = hsum_avx2(a3);
        for (std::size_t i = body; i < dim; ++i) {
            s0 += q[i] * r0[i];
            s1 += q[i] * r1[i];
            s2 += q[i] * r2[i];
            s3 += q[i] * r3[i];
        }
        out[j] = s0;
        out[j + 1] = s1;
        out[j + 2] = s2;
        out[j + 3] = s3;
    }
    for (; j < rows; ++j) out[j] = dot_product(q, m + j * dim, dim);
}

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
// dot_rows4_avx2 (one eight-lane accumulator, hsum_avx2, then the last dim % 8 products added
// one by one), which takes what is left of a multiple of eight: so a row's inner product does
// not depend on how many rows are scored together.
__attribute__((target("avx2,fma"))) void dot_rows8_avx2(const float* q, const float* m, std::size_t dim,
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
    dot_rows4_avx2(q, m + j * dim, dim, count - j, out + j);
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif

}  // namespace

void dot_products_block(const float* query, const float* matrix, std::size_t dim, std::size_t rows, float* out) {
#if defined(__x86_64__)
    if (kHaveAvx2) {
        dot_rows8_avx2(query, matrix, dim, rows, out);
        return;
    }
#endif
    for (std::size_t j = 0; j < rows; ++j) out[j] = dot_product(query, matrix + j * dim, dim);
}

float sum_of_squares(std::span<const float> v) {
    float s = 0.0f;
    for (float x : v) s += x * x;
    return s;
}

const char* kernel_isa_name() {
    switch (kKernels.isa) {
        case simsimd_cap_serial_k: return "serial";
        case simsimd_cap_haswell_k: return "haswell";
        case simsimd_cap_skylake_k: return "skylake";
        case simsimd_cap_ice_k: return "ice";
        case simsimd_cap_genoa_k: return "genoa";
        case simsimd_cap_sapphire_k: return "sapphire";
        case simsimd_cap_turin_k: return "turin";
        case simsimd_cap_sierra_k: return "sierra";
        case simsimd_cap_neon_k: return "neon";
        case simsimd_cap_sve_k: return "sve";
        default: return "other";
    }
}

}  // namespace qorel
