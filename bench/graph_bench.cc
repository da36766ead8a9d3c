// Graph benchmark, engine side. Driven by bench/graph_bench.py, which makes the data sets,
// computes the exact ground truth and runs the comparison library on the same data.
//
//   graph_bench build <base.fbin> <queries.fbin> <truth.ibin> <threads> <m> <efc> [quantized|serial]
//       builds with batch_insert on <threads> threads (or, with "serial", one insert at a time),
//       then sweeps ef over one-query-at-a-time graph searches on one thread; prints one JSON
//       object, with the node count and the count of nodes without edges on every layer.
//   graph_bench brute <base.fbin> <queries.fbin>
//       exact scan microseconds per query beside one plain sequential read of the same bytes.
//
// .fbin: uint32 rows, uint32 dim, rows*dim float32. .ibin: uint32 rows, uint32 k, rows*k uint32.

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

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
    // Per layer: how many nodes reach it and how many of those have no edge there (a node alone
    // on its layer has none, any other should have some).
    std::vector<std::size_t> on_layer(idx.max_layer() + 1), unlinked(idx.max_layer() + 1);
    for (Slot s = 0; s < idx.node_count(); ++s)
        for (std::size_t l = 0; l <= idx.level(s) && l < on_layer.size(); ++l) {
            ++on_layer[l];
            if (idx.neighbour_count(s, l) == 0) ++unlinked[l];
        }
    std::printf(" \"entry_level\": %zu, \"layers\": [", idx.level(idx.entry_point()));
    for (std::size_t l = 0; l < on_layer.size(); ++l)
        std::printf("%s{\"nodes\": %zu, \"unlinked\": %zu}", l ? ", " : "", on_layer[l], unlinked[l]);
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

int brute(int argc, char** argv) {
    if (argc < 4) return 2;
    std::uint32_t n, dim, nq, qdim;
    auto base = read_matrix<float>(argv[2], n, dim);
    auto queries = read_matrix<float>(argv[3], nq, qdim);
    HnswIndex idx(dim, Metric::Euclidean, 16, 200);
    {
        // Only the vectors and norms matter to the exact scan; skip linking by inserting rows
        // one at a time into a fresh index would be slow, so build the graph once.
        std::vector<std::vector<float>> vecs(n);
        for (std::size_t i = 0; i < n; ++i) vecs[i].assign(base.begin() + i * dim, base.begin() + (i + 1) * dim);
        idx.batch_insert(std::move(vecs));
    }
    const std::size_t reps = 5;
    double best_scan = 1e9, best_read = 1e9;
    volatile float sink = 0;
    for (std::size_t r = 0; r < reps; ++r) {
        auto t0 = Clock::now();
        for (std::size_t q = 0; q < nq; ++q) sink = sink + idx.search_brute_force({queries.data() + q * dim, dim}, 10)[0].distance;
        best_scan = std::min(best_scan, seconds_since(t0) / nq);

        // The floor: one plain sequential read of the same bytes per query.
        const float* p = idx.vectors().data();
        const std::size_t floats = idx.vectors().float_count();
        t0 = Clock::now();
        for (std::size_t q = 0; q < nq; ++q) {
            float a0 = 0, a1 = 0, a2 = 0, a3 = 0, a4 = 0, a5 = 0, a6 = 0, a7 = 0;
            for (std::size_t i = 0; i + 8 <= floats; i += 8) {
                a0 += p[i]; a1 += p[i + 1]; a2 += p[i + 2]; a3 += p[i + 3];
                a4 += p[i + 4]; a5 += p[i + 5]; a6 += p[i + 6]; a7 += p[i + 7];
            }
            sink = sink + a0 + a1 + a2 + a3 + a4 + a5 + a6 + a7;
        }
        best_read = std::min(best_read, seconds_since(t0) / nq);
    }
    std::printf("{\"brute_us_per_query\": %.1f, \"sequential_read_us\": %.1f, \"ratio\": %.2f, \"bytes\": %zu}\n",
                best_scan * 1e6, best_read * 1e6, best_scan / best_read, idx.vectors().float_count() * 4);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "build") == 0) return build(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "brute") == 0) return brute(argc, argv);
    std::fprintf(stderr, "usage: graph_bench build|brute ...\n");
    return 2;
}
