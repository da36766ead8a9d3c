// Graph benchmark, engine side. Driven by bench/graph_bench.py, which makes the data sets,
// computes the exact ground truth and runs the comparison library on the same data.
//
//   graph_bench build <base.fbin> <queries.fbin> <truth.ibin> <threads> <m> <efc> [quantized|serial]
//       builds with batch_insert on <threads> threads (or, with "serial", one insert at a time),
//       then sweeps ef over one-query-at-a-time graph searches on one thread; prints one JSON
//       object, with per-layer list statistics (nodes, nodes without edges, doubled entries,
//       nodes no list points to).
//   graph_bench brute <base.fbin> <queries.fbin>
//       exact scan microseconds per query beside one plain sequential read of the same bytes,
//       for every metric, from memory (cold) and from cache (warm), and with 1 % of rows deleted.
//
// .fbin: uint32 rows, uint32 dim, rows*dim float32. .ibin: uint32 rows, uint32 k, rows*k uint32.

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "hnsw/index.h"
#include "parallel.h"

using namespace qorel;
using Clock = std::chrono::steady_clock;

namespace {

template <class T>
std::vector<T> read_matrix(const std::string& path, std::uint32_t& rows, std::uint32_t& cols) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    in.read(reinterpret_cast<char*>(&rows), 4);
    in.read(reinterpret_cast<char*>(&cols), 4);
    std::vector<T> data(static_cast<std::size_t>(rows) * cols);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(T)));
    if (!in) throw std::runtime_error("short file " + path);
    return data;
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Processor time of the whole process (every thread): on a shared machine a truer measure of
// the work a build does than the wall clock.
double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long rss_kib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

int build(int argc, char** argv) {
    if (argc < 8) return 2;
    std::uint32_t n, dim, nq, qdim, tq, k;
    auto base = read_matrix<float>(argv[2], n, dim);
    auto queries = read_matrix<float>(argv[3], nq, qdim);
    auto truth = read_matrix<std::uint32_t>(argv[4], tq, k);
    const std::size_t threads = std::stoul(argv[5]);
    const std::size_t m = std::stoul(argv[6]), efc = std::stoul(argv[7]);
    const bool quantized = argc > 8 && std::string(argv[8]) == "quantized";
    const bool serial = argc > 8 && std::string(argv[8]) == "serial";

    std::vector<std::vector<float>> vecs(n);
    for (std::size_t i = 0; i < n; ++i) vecs[i].assign(base.begin() + i * dim, base.begin() + (i + 1) * dim);
    std::vector<float>().swap(base);

    HnswIndex idx(dim, Metric::Euclidean, m, efc);
    const long rss_before = rss_kib();
    double build_s, build_cpu_s;
    {
        parallel::ThreadLimit limit(threads);
        const double c0 = cpu_seconds();
        auto t0 = Clock::now();
        if (serial) {
            for (auto& v : vecs) idx.insert(std::move(v));
        } else {
            idx.batch_insert(std::move(vecs));
        }
        build_s = seconds_since(t0);
        build_cpu_s = cpu_seconds() - c0;
    }
    std::vector<std::vector<float>>().swap(vecs);
    const long rss_after = rss_kib();

    std::printf("{\"build_seconds\": %.3f, \"build_cpu_seconds\": %.3f, \"threads\": %zu, \"n\": %u, \"dim\": %u,"
                " \"isa\": \"%s\",\n", build_s, build_cpu_s, threads, n, dim, kernel_isa_name());
    std::printf(" \"graph_bytes_per_vector\": %.1f, \"norm_bytes_per_vector\": 4, \"rss_delta_bytes_per_vector\": %.1f,\n",
                static_cast<double>(idx.graph_memory_bytes()) / n,
                (static_cast<double>(rss_after - rss_before) * 1024.0) / n - 4.0 * dim);
    // Per layer: how many nodes reach it, how many of those have no edge there (a node alone
    // on its layer has none, any other should have some), how many list entries repeat one
    // already in the same list (a wasted slot), and how many nodes no list points to (reached
    // only as an entry, so a search finds them only by luck).
    const std::size_t layers = idx.max_layer() + 1;
    std::vector<std::size_t> on_layer(layers), unlinked(layers), doubled(layers), unpointed(layers);
    std::vector<std::vector<bool>> pointed(layers);
    for (std::size_t l = 0; l < layers; ++l) pointed[l].assign(idx.node_count(), false);
    for (Slot s = 0; s < idx.node_count(); ++s)
        for (std::size_t l = 0; l <= idx.level(s) && l < layers; ++l) {
            ++on_layer[l];
            std::vector<Slot> list = idx.neighbours(s, l);
            if (list.empty()) ++unlinked[l];
            for (Slot v : list) pointed[l][v] = true;
            std::sort(list.begin(), list.end());
            doubled[l] += list.size() - static_cast<std::size_t>(std::unique(list.begin(), list.end()) - list.begin());
        }
    for (Slot s = 0; s < idx.node_count(); ++s)
        for (std::size_t l = 0; l <= idx.level(s) && l < layers; ++l) unpointed[l] += pointed[l][s] ? 0 : 1;
    std::printf(" \"entry_level\": %zu, \"layers\": [", idx.level(idx.entry_point()));
    for (std::size_t l = 0; l < layers; ++l)
        std::printf("%s{\"nodes\": %zu, \"unlinked\": %zu, \"doubled\": %zu, \"unpointed\": %zu}", l ? ", " : "",
                    on_layer[l], unlinked[l], doubled[l], unpointed[l]);
    std::printf("],\n");
    const std::size_t efs[] = {10, 20, 40, 80, 160, 320};
    for (int pass = 0; pass < (quantized ? 2 : 1); ++pass) {
        if (pass == 1) idx.enable_quantized_search();
        std::printf("%s", pass == 0 ? " \"sweep\": [" : "],\n \"quantized_sweep\": [");
        bool first = true;
        for (std::size_t ef : efs) {
            std::size_t hits = 0;
            auto t0 = Clock::now();
            for (std::size_t q = 0; q < nq; ++q) {
                auto res = idx.search_graph({queries.data() + q * dim, dim}, 10, ef);
                std::set<Slot> t(truth.begin() + q * k, truth.begin() + q * k + 10);
                for (auto& c : res) hits += t.count(c.slot);
            }
            const double s = seconds_since(t0);
            std::printf("%s{\"ef\": %zu, \"qps\": %.1f, \"recall\": %.4f}", first ? "" : ", ", ef, nq / s,
                        static_cast<double>(hits) / (nq * 10.0));
            first = false;
        }
    }
    std::printf("]}\n");
    return 0;
}

// The floor of an exact scan: one sequential read of the same floats, vectorised and with
// enough independent accumulators that only the memory system limits it.
#if defined(__x86_64__)
__attribute__((target("avx2"), noinline)) float read_all(const float* p, std::size_t floats) {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 32 <= floats; i += 32) {
        a0 = _mm256_add_ps(a0, _mm256_loadu_ps(p + i));
        a1 = _mm256_add_ps(a1, _mm256_loadu_ps(p + i + 8));
        a2 = _mm256_add_ps(a2, _mm256_loadu_ps(p + i + 16));
        a3 = _mm256_add_ps(a3, _mm256_loadu_ps(p + i + 24));
    }
    float out[8];
    _mm256_storeu_ps(out, _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
    float s = out[0] + out[1] + out[2] + out[3] + out[4] + out[5] + out[6] + out[7];
    for (; i < floats; ++i) s += p[i];
    return s;
}
#else
__attribute__((noinline)) float read_all(const float* p, std::size_t floats) {
    float a[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= floats; i += 8)
        for (int t = 0; t < 8; ++t) a[t] += p[i + t];
    float s = a[0] + a[1] + a[2] + a[3] + a[4] + a[5] + a[6] + a[7];
    for (; i < floats; ++i) s += p[i];
    return s;
}
#endif

// An index holding only vectors and norms (no graph): all the exact scan reads.
HnswIndex scan_only_index(const std::vector<float>& base, std::size_t n, std::size_t dim, Metric metric,
                          const std::unordered_set<Slot>& deleted) {
    HnswIndex idx(dim, metric, 16, 200);
    VectorStore store;
    store.append(base);
    std::vector<float> norms(n);
    for (std::size_t i = 0; i < n; ++i) {
        idx.load_append_node(0);
        norms[i] = vector_norm({base.data() + i * dim, dim});
    }
    idx.load_finish(std::move(store), std::move(norms), deleted, 0, 0);
    return idx;
}

// CPU time of the calling thread: on a shared machine a scan preempted half-way would
// otherwise count the other processes' time as its own.
double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct ScanTimes {
    double scan_us;
    double read_us;
};

// Best of `reps` mean per-query times of the scan and of the plain read. With `cold`, a pass
// over a buffer larger than the last-level cache precedes every query (untimed), so both start
// from memory, as a scan of a database larger than the cache would.
ScanTimes time_scan(const HnswIndex& idx, const std::vector<float>& queries, std::size_t nq, bool cold) {
    const std::size_t dim = idx.dim();
    const float* p = idx.vectors().data();
    const std::size_t floats = idx.vectors().float_count();
    std::vector<float> evict(cold ? 32u << 20 : 0, 1.0f);  // 128 MB, four times the cache
    volatile float sink = 0;
    auto flush = [&] {
        if (!cold) return;
        float s = 0;
        for (std::size_t i = 0; i < evict.size(); i += 16) s += evict[i];  // one read per line
        sink = sink + s;
    };
    double scan = 1e9, read = 1e9;
    for (std::size_t r = 0; r < 3; ++r) {
        double ts = 0, tr = 0;
        for (std::size_t q = 0; q < nq; ++q) {
            flush();
            double t0 = thread_seconds();
            auto res = idx.search_brute_force({queries.data() + q * dim, dim}, 10);
            ts += thread_seconds() - t0;
            sink = sink + res[0].distance;
            flush();
            t0 = thread_seconds();
            sink = sink + read_all(p, floats);
            tr += thread_seconds() - t0;
        }
        scan = std::min(scan, ts / nq);
        read = std::min(read, tr / nq);
    }
    return {scan * 1e6, read * 1e6};
}

int brute(int argc, char** argv) {
    if (argc < 4) return 2;
    std::uint32_t n, dim, nq, qdim;
    auto base = read_matrix<float>(argv[2], n, dim);
    auto queries = read_matrix<float>(argv[3], nq, qdim);
    // Cold runs flush the cache before each query: fewer queries keep the run short.
    const std::size_t cold_queries = std::min<std::size_t>(nq, 50);
    std::unordered_set<Slot> one_percent;
    for (Slot s = 0; s < n; s += 100) one_percent.insert(s);

    std::printf("{\"n\": %u, \"dim\": %u, \"bytes\": %zu, \"isa\": \"%s\", \"metrics\": {", n, dim,
                static_cast<std::size_t>(n) * dim * 4, kernel_isa_name());
    ScanTimes euclid_cold{};
    const Metric metrics[] = {Metric::Euclidean, Metric::Cosine, Metric::DotProduct};
    for (Metric metric : metrics) {
        const HnswIndex idx = scan_only_index(base, n, dim, metric, {});
        const ScanTimes cold = time_scan(idx, queries, cold_queries, true);
        const ScanTimes warm = time_scan(idx, queries, nq, false);
        const HnswIndex del = scan_only_index(base, n, dim, metric, one_percent);
        const ScanTimes cold_del = time_scan(del, queries, cold_queries, true);
        if (metric == Metric::Euclidean) euclid_cold = cold;
        std::printf("%s\"%s\": {\"cold_us\": %.1f, \"cold_read_us\": %.1f, \"cold_ratio\": %.2f, "
                    "\"warm_us\": %.1f, \"warm_read_us\": %.1f, \"warm_ratio\": %.2f, "
                    "\"deleted_1pct_cold_us\": %.1f, \"deleted_1pct_cold_ratio\": %.2f}",
                    metric == metrics[0] ? "" : ", ", metric_name(metric), cold.scan_us, cold.read_us,
                    cold.scan_us / cold.read_us, warm.scan_us, warm.read_us, warm.scan_us / warm.read_us,
                    cold_del.scan_us, cold_del.scan_us / cold_del.read_us);
        std::fflush(stdout);
    }
    std::printf("},\n \"brute_us_per_query\": %.1f, \"sequential_read_us\": %.1f, \"ratio\": %.2f}\n", euclid_cold.scan_us,
                euclid_cold.read_us, euclid_cold.scan_us / euclid_cold.read_us);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "build") == 0) return build(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "brute") == 0) return brute(argc, argv);
    std::fprintf(stderr, "usage: graph_bench build|brute ...\n");
    return 2;
}
