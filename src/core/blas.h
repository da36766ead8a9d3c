// The one matrix product of the engine: inner products of a block of queries with a block of
// stored rows. Goes to OpenBLAS when the build found it (cmake/QorelBlas.cmake), otherwise to
// the engine's own row kernels, so callers never depend on how the build was configured.
#pragma once

#include <cstddef>

namespace qorel {

// True when this build scores through BLAS. The brute-force hint is printed only when false.
bool blas_enabled();

// out[i * rows + j] = <queries[i], matrix[j]> for i < nq, j < rows; queries and matrix are
// row-major with `dim` floats per row. Runs on the calling thread only: batch callers spread
// blocks over the worker pool themselves, so the library's own threads never compete with it.
void inner_products(const float* queries, std::size_t nq, const float* matrix, std::size_t rows, std::size_t dim,
                    float* out);

}  // namespace qorel
