// Cost of one `distance` call per metric and dimension, next to a plain scalar loop with float
// accumulation built into this same binary. Each timed pass scores a query against every row
// of a working set far larger than L1/L2, the way a graph walk touches stored vectors; the
// best of several runs is reported.
//
//   distance_bench [rows]     (default 4096 rows)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "distance.h"

namespace {

using qorel::Metric;

// Opaque to the optimiser: the timed loops must really run and cannot be hoisted.
#if defined(__GNUC__) && !defined(__clang__)
#define BENCH_OPAQUE __attribute__((noipa))
#else
#define BENCH_OPAQUE __attribute__((noinline))
#endif

inline void clobber_memory() { __asm__ __volatile__("" : : : "memory"); }
inline void keep(float v) { __asm__ __volatile__("" : : "x"(v) : "memory"); }

BENCH_OPAQUE float scalar_cosine(const float* a, const float* b, std::size_t n) {
    float ab = 0.0f, aa = 0.0f, bb = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        ab += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
    }
    if (aa == 0.0f && bb == 0.0f) return 0.0f;
    if (ab == 0.0f) return 1.0f;
    const double d = 1.0 - ab * (1.0 / std::sqrt(static_cast<double>(aa))) * (1.0 / std::sqrt(static_cast<double>(bb)));
    const float f = static_cast<float>(d);
    return f > 0.0f ? f : 0.0f;
}

BENCH_OPAQUE float scalar_l2sq(const float* a, const float* b, std::size_t n) {
    float s = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float d = a[i] - b[i];
        s += d * d;
    }
    return s;
}

BENCH_OPAQUE float scalar_neg_dot(const float* a, const float* b, std::size_t n) {
    float s = 0.0f;
    for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return -s;
}

using ScalarFn = float (*)(const float*, const float*, std::size_t);

ScalarFn scalar_for(Metric m) {
    switch (m) {
        case Metric::Cosine: return &scalar_cosine;
        case Metric::Euclidean: return &scalar_l2sq;
        case Metric::DotProduct: break;
    }
    return &scalar_neg_dot;
}

constexpr int kRuns = 7;
constexpr std::size_t kQueries = 8;
// Floats touched per run; keeps every run in the tens of milliseconds whatever the dimension.
constexpr double kFloatsPerRun = 1 << 25;

struct Data {
    std::size_t dim, rows;
    std::vector<float> matrix, queries;
};

Data make_data(std::size_t dim, std::size_t rows, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Data d{dim, rows, std::vector<float>(dim * rows), std::vector<float>(dim * kQueries)};
    for (float& x : d.matrix) x = u(rng);
    for (float& x : d.queries) x = u(rng);
    return d;
}

// Best nanoseconds per call over kRuns runs; *checksum gets the last run's sum of distances.
template <typename Score>
double time_calls(const Data& d, Score score, double* checksum) {
    const std::size_t reps = std::max<std::size_t>(1, static_cast<std::size_t>(kFloatsPerRun / (d.dim * d.rows)));
    double best = 1e300;
    for (int run = 0; run < kRuns; ++run) {
        double total = 0.0;
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t rep = 0; rep < reps; ++rep) {
            const float* q = d.queries.data() + (rep % kQueries) * d.dim;
            clobber_memory();  // the vectors may have changed: nothing carries over between passes
            float sum = 0.0f;
            for (std::size_t j = 0; j < d.rows; ++j) sum += score(q, d.matrix.data() + j * d.dim, d.dim);
            keep(sum);
            total += sum;
        }
        const auto t1 = std::chrono::steady_clock::now();
        const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count();
        best = std::min(best, ns / static_cast<double>(reps * d.rows));
        *checksum = total;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4096;
    if (rows == 0) {
        std::fprintf(stderr, "usage: %s [rows]\n", argv[0]);
        return 2;
    }
    std::printf("distance kernels: isa=%s, %zu rows per pass, best of %d runs\n\n", qorel::kernel_isa_name(), rows,
                kRuns);
    std::printf("%-12s %6s %10s %10s %8s %10s\n", "metric", "dim", "simd ns", "scalar ns", "speedup", "rel diff");

    std::mt19937 rng(42);
    int status = 0;
    for (std::size_t dim : {128, 384, 768, 1536}) {
        const Data data = make_data(dim, rows, rng);
        for (Metric m : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
            const ScalarFn scalar = scalar_for(m);
            double simd_sum = 0.0, scalar_sum = 0.0;
            const double simd_ns = time_calls(
                data, [m](const float* a, const float* b, std::size_t n) { return qorel::distance(a, b, n, m); },
                &simd_sum);
            const double scalar_ns = time_calls(data, scalar, &scalar_sum);
            // Both must compute the same thing; the sums differ only by rounding.
            const double rel = std::fabs(simd_sum - scalar_sum) / std::max(1.0, std::fabs(scalar_sum));
            if (rel > 1e-3) status = 1;
            std::printf("%-12s %6zu %10.1f %10.1f %7.1fx %10.1e\n", qorel::metric_name(m), dim, simd_ns, scalar_ns,
                        scalar_ns / simd_ns, rel);
        }
    }
    if (status != 0) std::printf("\nMISMATCH: the dispatched kernels disagree with the scalar loops\n");
    return status;
}
