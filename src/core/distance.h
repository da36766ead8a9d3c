// The three metrics and every way the engine turns vectors into distances. Smaller is always
// nearer; no caller rescales, roots or negates a distance afterwards.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "types.h"

namespace qorel {

// Parses a metric name given at creation. Byte-exact: "cosine"; "euclidean" or "l2";
// "dot" or "dot_product".
std::optional<Metric> parse_metric(std::string_view name);

// "cosine", "euclidean" or "dot_product".
const char* metric_name(Metric m);

// A pair kernel returning the engine's distance. Resolved once per process from the
// processor's capabilities; never allocates, never locks.
using DistanceFn = float (*)(const float* a, const float* b, std::size_t n);

DistanceFn distance_fn(Metric m);

inline float distance(const float* a, const float* b, std::size_t n, Metric m) { return distance_fn(m)(a, b, n); }

inline float distance(std::span<const float> a, std::span<const float> b, Metric m) {
    return distance_fn(m)(a.data(), b.data(), a.size());
}

// Inner products of `query` with each of `rows` consecutive rows of `matrix` (row j at j*dim),
// for the exact scans, eight or four rows per pass where the processor allows. A row's product
// does not depend on how many rows are passed together (it may differ from the per-row kernel
// in the last bits).
void dot_products_block(const float* query, const float* matrix, std::size_t dim, std::size_t rows, float* out);

// Plain inner product through the dispatched kernel, rounded to float.
float dot_product(const float* a, const float* b, std::size_t n);

// Sum of squares accumulated in float in index order.
float sum_of_squares(std::span<const float> v);

// Euclidean norm kept per slot: the float sum of squares in index order, then a float root.
inline float vector_norm(std::span<const float> v);

// Distance of one stored row from its dot product with the query, the row's stored norm and
// the query's sum of squares. Used by the exact scan when nothing is deleted; differs from the
// pair kernels in the last bits only (a zero vector is at cosine distance 1 from any, in both).
inline float norm_based_score(Metric m, float q2, float sqrt_q2, float dot, float norm) {
    switch (m) {
        case Metric::Cosine:
            if (q2 == 0.0f || norm == 0.0f) return 1.0f;
            return 1.0f - dot / (sqrt_q2 * norm);
        case Metric::Euclidean:
            return (q2 + norm * norm) - (dot + dot);
        case Metric::DotProduct:
        default:
            return -dot;
    }
}

// Name of the instruction set the kernels were resolved to ("haswell", "skylake", "serial", ...).
const char* kernel_isa_name();

}  // namespace qorel

#include <cmath>

inline float qorel::vector_norm(std::span<const float> v) { return std::sqrt(sum_of_squares(v)); }
