#include "blas.h"

#include "distance.h"

#if QOREL_HAVE_BLAS
#include <mutex>

#define QOREL_BLAS_CAT2(a, b) a##b
#define QOREL_BLAS_CAT(a, b) QOREL_BLAS_CAT2(a, b)
#define QOREL_BLAS_FN(name) QOREL_BLAS_CAT(QOREL_BLAS_PREFIX, name)

// The two OpenBLAS builds we link (the registry wheel and the system library) differ only in
// a symbol prefix, so the two functions used are declared here rather than taken from either
// build's header. Both use 32-bit integers; the enumerations are passed as their C values.
extern "C" {
void QOREL_BLAS_FN(cblas_sgemm)(int order, int trans_a, int trans_b, int m, int n, int k, float alpha, const float* a,
                                int lda, const float* b, int ldb, float beta, float* c, int ldc);
void QOREL_BLAS_FN(openblas_set_num_threads)(int threads);
}

namespace {
constexpr int kRowMajor = 101;
constexpr int kNoTrans = 111;
constexpr int kTrans = 112;
std::once_flag g_single_threaded;
}  // namespace
#endif

namespace qorel {

bool blas_enabled() {
#if QOREL_HAVE_BLAS
    return true;
#else
    return false;
#endif
}

void inner_products(const float* queries, std::size_t nq, const float* matrix, std::size_t rows, std::size_t dim,
                    float* out) {
    if (nq == 0 || rows == 0) return;
    if (dim == 0) {
        for (std::size_t i = 0; i < nq * rows; ++i) out[i] = 0.0f;
        return;
    }
#if QOREL_HAVE_BLAS
    // Every product is one block of a batch that the worker pool already spreads over the
    // processors; library threads on top would only oversubscribe them.
    std::call_once(g_single_threaded, [] { QOREL_BLAS_FN(openblas_set_num_threads)(1); });
    const int d = static_cast<int>(dim);
    QOREL_BLAS_FN(cblas_sgemm)(kRowMajor, kNoTrans, kTrans, static_cast<int>(nq), static_cast<int>(rows), d, 1.0f,
                               queries, d, matrix, d, 0.0f, out, static_cast<int>(rows));
#else
    for (std::size_t i = 0; i < nq; ++i) dot_products_block(queries + i * dim, matrix, dim, rows, out + i * rows);
#endif
}

}  // namespace qorel
