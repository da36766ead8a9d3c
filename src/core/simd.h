// Small AVX2 helpers shared by the hand-vectorised kernels. Only callable from functions
// compiled for AVX2 (target attribute) after a run-time check of the processor.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

namespace qorel {

// Sum of the eight lanes.
__attribute__((target("avx2,fma"))) inline float hsum_avx2(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 0x55));
    return _mm_cvtss_f32(s);
}

}  // namespace qorel
#endif
