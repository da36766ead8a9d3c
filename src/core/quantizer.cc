#include "quantizer.h"

#include <cmath>
#include <type_traits>

#include <cstdint>
#include <limits>

#include "distance.h"
#include "error.h"
#include "simd.h"
#include "codec.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#define QOREL_SQ8_SSE2 1
#endif

namespace qorel {

namespace {

constexpr float kFloatMax = std::numeric_limits<float>::max();

// Keeps a product from being fused into the following addition: decoding promises the
// rounded product plus the minimum, whatever contraction flags the build uses.
template <typename T>
inline T rounded(T v) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
    __asm__("" : "+x"(v));
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__("" : "+w"(v));
#else
    volatile T keep = v;
    v = keep;
#endif
    return v;
}

// One code: (v - min) / scale in float, clamped to [0, 255] with NaN landing on 0, rounded
// half away from zero. The rounding is written as truncation plus a comparison of the exact
// fraction (x - trunc(x) is exact for 0 <= x <= 255) so the vector path can do the same.
inline std::uint8_t encode_one(float v, float min, float scale) {
    float x = (v - min) / scale;
    x = x > 0.0f ? x : 0.0f;        // also NaN
    x = x < 255.0f ? x : 255.0f;
    const int t = static_cast<int>(x);
    return static_cast<std::uint8_t>(t + (x - static_cast<float>(t) >= 0.5f ? 1 : 0));
}

inline float decode_one(std::uint8_t c, float min, float scale) {
    return rounded(scale * static_cast<float>(c)) + min;
}

#if QOREL_SQ8_SSE2

// Four codes as int32, with the same operations as encode_one lane by lane.
inline __m128i encode4(const float* v, const float* mins, const float* scales) {
    __m128 x = _mm_div_ps(_mm_sub_ps(_mm_loadu_ps(v), _mm_loadu_ps(mins)), _mm_loadu_ps(scales));
    x = _mm_max_ps(x, _mm_setzero_ps());  // maxps returns its second operand for a NaN
    x = _mm_min_ps(x, _mm_set1_ps(255.0f));
    const __m128i t = _mm_cvttps_epi32(x);
    const __m128 frac = _mm_sub_ps(x, _mm_cvtepi32_ps(t));
    // The all-ones mask is -1: subtracting it adds one where the fraction reaches a half.
    return _mm_sub_epi32(t, _mm_castps_si128(_mm_cmpge_ps(frac, _mm_set1_ps(0.5f))));
}

inline void encode16(const float* v, const float* mins, const float* scales, std::uint8_t* out) {
    const __m128i a = encode4(v, mins, scales);
    const __m128i b = encode4(v + 4, mins + 4, scales + 4);
    const __m128i c = encode4(v + 8, mins + 8, scales + 8);
    const __m128i d = encode4(v + 12, mins + 12, scales + 12);
    // Every lane holds 0..255, so the saturating packs are exact.
    const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
}

inline void decode4(__m128i codes32, const float* mins, const float* scales, float* out) {
    const __m128 product = rounded(_mm_mul_ps(_mm_loadu_ps(scales), _mm_cvtepi32_ps(codes32)));
    _mm_storeu_ps(out, _mm_add_ps(product, _mm_loadu_ps(mins)));
}

inline void decode16(const std::uint8_t* codes, const float* mins, const float* scales, float* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i c8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
    const __m128i lo = _mm_unpacklo_epi8(c8, zero);
    const __m128i hi = _mm_unpackhi_epi8(c8, zero);
    decode4(_mm_unpacklo_epi16(lo, zero), mins, scales, out);
    decode4(_mm_unpackhi_epi16(lo, zero), mins + 4, scales + 4, out + 4);
    decode4(_mm_unpacklo_epi16(hi, zero), mins + 8, scales + 8, out + 8);
    decode4(_mm_unpackhi_epi16(hi, zero), mins + 12, scales + 12, out + 12);
}

#endif  // QOREL_SQ8_SSE2

// Encodes (floats in) or decodes (codes in) one row: sixteen dimensions at a time where SSE2
// is there, the rest one by one with the same arithmetic.
template <class In, class Out>
void code_row(const In* in, Out* out, const float* mn, const float* sc, std::size_t dim) {
    constexpr bool kEncode = std::is_same_v<In, float>;
    std::size_t d = 0;
#if QOREL_SQ8_SSE2
    for (; d + 16 <= dim; d += 16) {
        if constexpr (kEncode)
            encode16(in + d, mn + d, sc + d, out + d);
        else
            decode16(in + d, mn + d, sc + d, out + d);
    }
#endif
    for (; d < dim; ++d) {
        if constexpr (kEncode)
            out[d] = encode_one(in[d], mn[d], sc[d]);
        else
            out[d] = decode_one(in[d], mn[d], sc[d]);
    }
}

}  // namespace

ScalarQuantizer ScalarQuantizer::train(std::span<const float> data, std::size_t dim) {
    QOREL_ASSERT(dim != 0, "quantizer trained with dimension 0");
    ScalarQuantizer q;
    q.dim = dim;
    q.mins.assign(dim, kFloatMax);
    q.scales.assign(dim, -kFloatMax);  // the running maxima until the scales are formed
    float* mins = q.mins.data();
    float* maxs = q.scales.data();
    const std::size_t rows = data.size() / dim;
    for (std::size_t r = 0; r < rows; ++r) {
        const float* row = data.data() + r * dim;
        for (std::size_t d = 0; d < dim; ++d) {
            const float v = row[d];
            // Comparisons with a NaN are false, so a NaN never replaces a bound.
            mins[d] = v < mins[d] ? v : mins[d];
            maxs[d] = v > maxs[d] ? v : maxs[d];
        }
    }
    // With no complete row the range is -inf (max - min overflows) and so is the scale.
    for (std::size_t d = 0; d < dim; ++d) {
        const float range = maxs[d] - mins[d];
        q.scales[d] = range == 0.0f ? 1.0f : range / 255.0f;
    }
    return q;
}

std::vector<std::uint8_t> ScalarQuantizer::quantize(std::span<const float> v) const {
    QOREL_ASSERT(v.empty() || v.size() == dim, "quantized vector does not match the quantizer dimension");
    std::vector<std::uint8_t> out(v.size());
    if (!v.empty()) quantize_into(v.data(), out.data());
    return out;
}

void ScalarQuantizer::quantize_into(const float* v, std::uint8_t* out) const {
    code_row(v, out, mins.data(), scales.data(), dim);
}

std::vector<std::uint8_t> ScalarQuantizer::quantize_batch(std::span<const float> data, std::size_t dim) const {
    QOREL_ASSERT(dim != 0 && dim == this->dim, "quantized rows do not match the quantizer dimension");
    const std::size_t rows = data.size() / dim;
    std::vector<std::uint8_t> out(rows * dim);
    for (std::size_t r = 0; r < rows; ++r) quantize_into(data.data() + r * dim, out.data() + r * dim);
    return out;
}

void ScalarQuantizer::decode(const std::uint8_t* codes, float* out) const {
    code_row(codes, out, mins.data(), scales.data(), dim);
}

void ScalarQuantizer::save(std::vector<std::uint8_t>& out) const {
    QOREL_ASSERT(dim <= std::numeric_limits<std::uint32_t>::max(), "quantizer dimension exceeds 32 bits");
    QOREL_ASSERT(mins.size() == dim && scales.size() == dim, "quantizer arrays do not match its dimension");
    ByteWriter w(out);
    w.u32(static_cast<std::uint32_t>(dim));
    w.floats(mins);
    w.floats(scales);
}

ScalarQuantizer ScalarQuantizer::load(std::span<const std::uint8_t> bytes, std::size_t* consumed) {
    ByteReader r(bytes);
    const std::uint32_t dim = r.u32();
    // Both arrays must be present before either is allocated: the count comes from the file.
    if (!r.fits(2ull * dim, 4)) ByteReader::eof();
    ScalarQuantizer q;
    q.dim = dim;
    if (dim != 0) {  // an empty vector's data() may be null, which memcpy must never see
        q.mins.resize(dim);
        q.scales.resize(dim);
        r.floats(q.mins.data(), dim);
        r.floats(q.scales.data(), dim);
    }
    if (consumed != nullptr) *consumed = r.position();
    return q;
}

namespace {

#if defined(__x86_64__)
// Decodes eight codes at a time in registers and accumulates the metric's sums: for squared
// Euclidean distance one sum, for the dot product one, for cosine three.
__attribute__((target("avx2,fma"))) void code_sums(const float* q, const std::uint8_t* codes, const float* mins,
                                                   const float* scales, std::size_t dim, Metric metric,
                                                   float* sums) {
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps();
    std::size_t d = 0;
    for (; d + 8 <= dim; d += 8) {
        const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + d));
        const __m256 c = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(raw));
        const __m256 v = _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(scales + d), c), _mm256_loadu_ps(mins + d));
        const __m256 x = _mm256_loadu_ps(q + d);
        if (metric == Metric::Euclidean) {
            const __m256 diff = _mm256_sub_ps(x, v);
            s0 = _mm256_fmadd_ps(diff, diff, s0);
        } else {
            s0 = _mm256_fmadd_ps(x, v, s0);
            if (metric == Metric::Cosine) {
                s1 = _mm256_fmadd_ps(x, x, s1);
                s2 = _mm256_fmadd_ps(v, v, s2);
            }
        }
    }
    float a = hsum_avx2(s0), b = hsum_avx2(s1), c = hsum_avx2(s2);
    for (; d < dim; ++d) {
        const float v = scales[d] * static_cast<float>(codes[d]) + mins[d];
        if (metric == Metric::Euclidean) {
            a += (q[d] - v) * (q[d] - v);
        } else {
            a += q[d] * v;
            b += q[d] * q[d];
            c += v * v;
        }
    }
    sums[0] = a;
    sums[1] = b;
    sums[2] = c;
}

// code_sums sixteen codes at a time, the last block under a mask (masked lanes load zeros and
// add nothing), with the same products and sums per lane. GCC reports the deliberately
// undefined registers the AVX-512 intrinsics start from once they are inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx2,avx512f,avx512bw,avx512vl"))) void code_sums_avx512(const float* q, const std::uint8_t* codes,
                                                                              const float* mins, const float* scales,
                                                                              std::size_t dim, Metric metric, float* sums) {
    __m512 s0 = _mm512_setzero_ps(), s1 = _mm512_setzero_ps(), s2 = _mm512_setzero_ps();
    for (std::size_t d = 0; d < dim; d += 16) {
        const std::size_t left = dim - d;
        const __mmask16 m = left >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << left) - 1);
        const __m512 c = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(m, codes + d)));
        const __m512 v = _mm512_add_ps(_mm512_mul_ps(_mm512_maskz_loadu_ps(m, scales + d), c), _mm512_maskz_loadu_ps(m, mins + d));
        const __m512 x = _mm512_maskz_loadu_ps(m, q + d);
        if (metric == Metric::Euclidean) {
            const __m512 diff = _mm512_sub_ps(x, v);
            s0 = _mm512_fmadd_ps(diff, diff, s0);
        } else {
            s0 = _mm512_fmadd_ps(x, v, s0);
            if (metric == Metric::Cosine) {
                s1 = _mm512_fmadd_ps(x, x, s1);
                s2 = _mm512_fmadd_ps(v, v, s2);
            }
        }
    }
    sums[0] = _mm512_reduce_add_ps(s0);
    sums[1] = _mm512_reduce_add_ps(s1);
    sums[2] = _mm512_reduce_add_ps(s2);
}
#pragma GCC diagnostic pop

const bool kCodesAvx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
const bool kCodesAvx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vl");
#endif

}  // namespace

float ScalarQuantizer::distance_to_codes(const float* q, const std::uint8_t* codes, Metric metric) const {
#if defined(__x86_64__)
    if (kCodesAvx2) {
        float s[3];
        (kCodesAvx512 ? code_sums_avx512 : code_sums)(q, codes, mins.data(), scales.data(), dim, metric, s);
        switch (metric) {
            case Metric::Euclidean: return s[0];
            case Metric::DotProduct: return -s[0];
            case Metric::Cosine: {
                // A zero vector is at distance 1 from every vector, as in the pair kernel.
                if (s[1] == 0.0f || s[2] == 0.0f || s[0] == 0.0f) return 1.0f;
                const double r = 1.0 - static_cast<double>(s[0]) / std::sqrt(static_cast<double>(s[1]) * s[2]);
                const float f = static_cast<float>(r);
                return f > 0.0f ? f : 0.0f;
            }
        }
    }
#endif
    thread_local std::vector<float> buffer;
    buffer.resize(dim);
    decode(codes, buffer.data());
    return distance(q, buffer.data(), dim, metric);
}

}  // namespace qorel
