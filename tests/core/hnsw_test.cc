#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "blas.h"
#include "hnsw/index.h"
#include "hnsw_checks.h"

namespace qorel {
namespace {

// Overlapping clusters: centres drawn from N(0, I), unit spread around them.
std::vector<std::vector<float>> clustered(std::size_t n, std::size_t dim, std::size_t centres, std::uint32_t seed) {
    auto c = gaussian(centres, dim, seed);
    std::mt19937 rng(seed + 1);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::uniform_int_distribution<std::size_t> pick(0, centres - 1);
    std::vector<std::vector<float>> out(n, std::vector<float>(dim));
    for (auto& v : out) {
        const auto& cc = c[pick(rng)];
        for (std::size_t d = 0; d < dim; ++d) v[d] = cc[d] + g(rng);
    }
    return out;
}

std::vector<Candidate> exact_knn(const HnswIndex& idx, const std::vector<float>& q, std::size_t k) {
    std::vector<Candidate> all;
    for (Slot s = 0; s < idx.node_count(); ++s)
        if (!idx.is_deleted(s)) all.push_back({s, distance(q.data(), idx.vector(s), idx.dim(), idx.metric())});
    std::sort(all.begin(), all.end(), candidate_less);
    if (all.size() > k) all.resize(k);
    return all;
}

double recall_at(const HnswIndex& idx, const std::vector<std::vector<float>>& queries, std::size_t k, std::size_t ef) {
    std::size_t hit = 0, total = 0;
    for (const auto& q : queries) {
        auto truth = exact_knn(idx, q, k);
        auto got = idx.search_graph(q, k, ef);
        std::set<Slot> t;
        for (auto& c : truth) t.insert(c.slot);
        for (auto& c : got) hit += t.count(c.slot);
        total += truth.size();
    }
    return static_cast<double>(hit) / static_cast<double>(total);
}

TEST(HnswIndex, FreshIndexAndDerivedParameters) {
    HnswIndex idx(4, Metric::Euclidean, 16, 200);
    EXPECT_EQ(idx.entry_point(), kNoSlot);
    EXPECT_EQ(idx.max_layer(), 0u);
    EXPECT_EQ(idx.active_count(), 0u);
    EXPECT_EQ(idx.m_max0(), 32u);
    EXPECT_NEAR(idx.ml(), 0.36067, 1e-5);
    std::vector<float> q{1, 2, 3, 4};
    EXPECT_TRUE(idx.search(q, 5, 10).empty());
    EXPECT_TRUE(idx.search_graph(q, 5, 10).empty());
    EXPECT_TRUE(idx.search_brute_force(q, 5).empty());
}

TEST(HnswIndex, RandomLevelsFollowTheGeometricLaw) {
    HnswIndex idx(2, Metric::Euclidean, 16, 200);
    std::size_t above0 = 0, above1 = 0;
    const std::size_t n = 200000;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t l = idx.random_level();
        ASSERT_LE(l, kMaxLevel);
        above0 += l >= 1;
        above1 += l >= 2;
    }
    EXPECT_NEAR(static_cast<double>(above0) / n, 1.0 / 16, 0.005);
    EXPECT_NEAR(static_cast<double>(above1) / n, 1.0 / 256, 0.001);
}

TEST(HnswIndex, FirstTwoInsertionsLinkToEachOther) {
    HnswIndex idx(2, Metric::Euclidean, 4, 20);
    EXPECT_EQ(idx.insert({0, 0}), 0u);
    EXPECT_EQ(idx.entry_point(), 0u);
    EXPECT_EQ(idx.max_layer(), idx.level(0));
    EXPECT_TRUE(idx.neighbours(0, 0).empty());
    EXPECT_EQ(idx.insert({1, 0}), 1u);
    const std::size_t shared = std::min(idx.level(0), idx.level(1));
    for (std::size_t layer = 0; layer <= shared; ++layer) {
        EXPECT_EQ(idx.neighbours(1, layer), std::vector<Slot>{0});
        EXPECT_EQ(idx.neighbours(0, layer), std::vector<Slot>{1});
    }
    check_invariants(idx);
}

TEST(HnswIndex, GraphRecallOnClusteredData) {
    const std::size_t dim = 32;
    auto data = clustered(20000, dim, 200, 11);
    HnswIndex idx(dim, Metric::Euclidean, 16, 200);
    idx.batch_insert(data);
    check_invariants(idx);
    auto queries = clustered(200, dim, 200, 11 + 1000);
    EXPECT_GE(recall_at(idx, queries, 10, 100), 0.95);

    // Deleted slots never come back, on either path.
    for (Slot s = 0; s < 20000; s += 3) idx.mark_deleted(s);
    for (std::size_t i = 0; i < 20; ++i) {
        for (auto& c : idx.search_graph(queries[i], 10, 100)) EXPECT_FALSE(idx.is_deleted(c.slot));
        for (auto& c : idx.search_brute_force(queries[i], 10)) EXPECT_FALSE(idx.is_deleted(c.slot));
    }
    EXPECT_GE(recall_at(idx, queries, 10, 100), 0.9);
}

// Clusters far apart and larger than a neighbour list: closest-first linking would leave each
// cluster an island, and searches would stay in the cluster of the entry point.
TEST(HnswIndex, GraphStaysConnectedAcrossSeparatedClusters) {
    const std::size_t dim = 16, clusters = 20, per = 600;
    auto centres = gaussian(clusters, dim, 41, 20.0f);
    std::mt19937 rng(42);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<std::vector<float>> data;
    for (std::size_t i = 0; i < clusters * per; ++i) {
        std::vector<float> v(dim);
        for (std::size_t d = 0; d < dim; ++d) v[d] = centres[i % clusters][d] + g(rng);
        data.push_back(std::move(v));
    }
    HnswIndex idx(dim, Metric::Euclidean, 8, 100);
    idx.batch_insert(data);
    check_invariants(idx);
    std::vector<std::vector<float>> queries;
    for (std::size_t i = 0; i < 100; ++i) {
        std::vector<float> v(dim);
        for (std::size_t d = 0; d < dim; ++d) v[d] = centres[i % clusters][d] + g(rng);
        queries.push_back(std::move(v));
    }
    const double r = recall_at(idx, queries, 10, 64);
    // Islands would give about one cluster in twenty.
    EXPECT_GE(r, 0.8);
}

TEST(HnswIndex, BruteForceIsExactAndSorted) {
    auto data = gaussian(500, 16, 3);
    for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
        HnswIndex idx(16, metric, 8, 50);
        idx.batch_insert(data);
        auto q = gaussian(1, 16, 4)[0];
        auto got = idx.search_brute_force(q, 10);
        auto truth = exact_knn(idx, q, 10);
        ASSERT_EQ(got.size(), 10u);
        for (std::size_t i = 0; i < 10; ++i) {
            EXPECT_EQ(got[i].slot, truth[i].slot);
            EXPECT_NEAR(got[i].distance, truth[i].distance, 1e-3f * (1 + std::fabs(truth[i].distance)));
            if (i) {
                EXPECT_LE(got[i - 1].distance, got[i].distance);
            }
        }
        // k beyond the live count returns every live slot once.
        idx.mark_deleted(0);
        auto everything = idx.search_brute_force(q, 1000);
        EXPECT_EQ(everything.size(), 499u);
        std::set<Slot> seen;
        for (auto& c : everything) seen.insert(c.slot);
        EXPECT_EQ(seen.size(), 499u);
        EXPECT_FALSE(seen.count(0));
        EXPECT_TRUE(idx.search_brute_force(q, 0).empty());
    }
}

TEST(HnswIndex, EfBelowKActsAsK) {
    auto data = gaussian(2000, 8, 5);
    HnswIndex idx(8, Metric::Euclidean, 8, 64);
    idx.batch_insert(data);
    auto q = gaussian(1, 8, 6)[0];
    EXPECT_EQ(idx.search_graph(q, 50, 1).size(), 50u);
    EXPECT_TRUE(idx.search_graph(q, 0, 10).empty());
}

// Pruning with a small m drops many nodes' last incoming edge. After a batch no live node may
// be unreachable; insertions, updates and deletions one at a time leave none without an
// incoming edge, and the walk over the whole graph (run by itself once enough has changed)
// reconnects the rest. Then a search for as many results as there are live nodes returns
// every one, and each node finds itself at the default beam.
TEST(HnswIndex, EveryLiveNodeStaysReachable) {
    const std::size_t dim = 16, first = 10000, n = 12000;
    auto data = clustered(n, dim, 40, 7);
    HnswIndex idx(dim, Metric::Euclidean, 6, 40);
    idx.batch_insert(std::vector<std::vector<float>>(data.begin(), data.begin() + first));
    EXPECT_EQ(idx.unreachable_count(), 0u) << "after a batch";
    for (std::size_t i = first; i < n; ++i) idx.insert(data[i]);
    for (Slot s = 0; s < 600; s += 3) idx.update_vector(s, data[n - 1 - s]);
    for (Slot s = 1; s < n; s += 5) idx.mark_deleted(s);
    check_invariants(idx);
    std::vector<std::size_t> in_edges(n);
    for (Slot s = 0; s < n; ++s)
        for (Slot v : idx.neighbours(s, 0)) ++in_edges[v];
    for (Slot s = 0; s < n; ++s) {
        if (!idx.is_deleted(s) && s != idx.entry_point()) {
            ASSERT_GT(in_edges[s], 0u) << "slot " << s;
        }
    }

    idx.repair_reachability();
    EXPECT_EQ(idx.unreachable_count(), 0u);
    EXPECT_EQ(idx.search_graph(data[0], idx.active_count(), idx.active_count()).size(), idx.active_count());
    // A node reachable through a single edge can still be missed by a greedy walk with lists
    // this short (m = 6 is the stress setting here): at most one in a hundred.
    std::size_t sampled = 0, found = 0;
    for (Slot s = 0; s < n; s += 7) {
        if (idx.is_deleted(s)) continue;
        const auto hit = idx.search_graph(std::vector<float>(idx.vector(s), idx.vector(s) + dim), 1, 200);
        ++sampled;
        found += !hit.empty() && hit[0].distance == 0.0f;
    }
    EXPECT_GE(found * 100, sampled * 99);
}

// Rows from another distribution link to each other while every stored node prunes its link
// back to them: an island with links in, which the incoming-edge counts alone do not see.
TEST(HnswIndex, RowsUnlikeTheStoredOnesJoinTheReachableGraph) {
    const std::size_t dim = 128, stored = 6000, batch = 600;
    // Stored rows vary along 8 directions only; the new rows along all 128, at the same norm.
    auto low = clustered(stored, 8, 20, 11);
    auto wide = gaussian(batch, dim, 12);
    std::vector<std::vector<float>> rows(stored, std::vector<float>(dim, 0.0f));
    double norms = 0.0;
    for (std::size_t i = 0; i < stored; ++i) {
        std::copy(low[i].begin(), low[i].end(), rows[i].begin());
        norms += std::sqrt(std::inner_product(low[i].begin(), low[i].end(), low[i].begin(), 0.0));
    }
    for (auto& v : wide) {
        const double scale = norms / stored / std::sqrt(std::inner_product(v.begin(), v.end(), v.begin(), 0.0));
        for (float& x : v) x = static_cast<float>(x * scale);
    }
    HnswIndex idx(dim, Metric::Euclidean, 8, 64);
    idx.batch_insert(rows);
    idx.repair_reachability();
    idx.batch_insert(wide);
    EXPECT_EQ(idx.unreachable_count(), 0u);
}

TEST(HnswIndex, UpdateVectorRelinks) {
    auto data = gaussian(400, 8, 21);
    HnswIndex idx(8, Metric::Euclidean, 6, 40);
    idx.batch_insert(data);
    // Move slot 5 next to slot 100: the walk must find it at its new place.
    std::vector<float> moved = data[100];
    moved[0] += 1e-3f;
    idx.update_vector(5, moved);
    check_invariants(idx);
    EXPECT_EQ(idx.norms()[5], vector_norm(moved));
    auto hit = idx.search_graph(moved, 2, 50);
    ASSERT_EQ(hit.size(), 2u);
    EXPECT_EQ(hit[0].slot, 5u);
    EXPECT_FLOAT_EQ(hit[0].distance, 0.0f);
    EXPECT_EQ(hit[1].slot, 100u);

    // The entry point case: re-linking starts from the smallest live slot other than itself.
    const Slot ep = idx.entry_point();
    idx.mark_deleted(ep == 0 ? 1 : 0);
    std::vector<float> near = data[200];
    near[1] += 1e-3f;
    idx.update_vector(ep, near);
    EXPECT_EQ(idx.entry_point(), ep);
    check_invariants(idx);
    auto hit2 = idx.search_graph(near, 1, 50);
    ASSERT_EQ(hit2.size(), 1u);
    EXPECT_EQ(hit2[0].slot, ep);

    // One node: only the vector and its norm change.
    HnswIndex one(2, Metric::Euclidean, 4, 10);
    one.insert({1, 1});
    one.update_vector(0, {3, 4});
    EXPECT_EQ(one.norms()[0], 5.0f);
    EXPECT_EQ(one.vector(0)[0], 3.0f);
}

TEST(HnswIndex, QuantizedSearchReturnsExactDistancesInOrder) {
    const std::size_t dim = 16;
    auto data = clustered(5000, dim, 50, 31);
    HnswIndex idx(dim, Metric::Euclidean, 12, 100);
    idx.batch_insert(data);
    idx.enable_quantized_search();
    ASSERT_TRUE(idx.quantized().has_value());
    EXPECT_EQ(idx.quantized()->codes.count(), 5000 * dim);
    // Later insertions append codes with the existing quantizer.
    idx.insert(data[0]);
    EXPECT_EQ(idx.quantized()->codes.count(), 5001 * dim);

    auto queries = clustered(50, dim, 50, 77);
    double recall = 0;
    for (const auto& q : queries) {
        auto got = idx.search_graph(q, 10, 80);
        ASSERT_EQ(got.size(), 10u);
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].distance, distance(q.data(), idx.vector(got[i].slot), dim, Metric::Euclidean));
            if (i) {
                EXPECT_LE(got[i - 1].distance, got[i].distance);
            }
        }
        auto truth = exact_knn(idx, q, 10);
        std::set<Slot> t;
        for (auto& c : truth) t.insert(c.slot);
        for (auto& c : got) recall += t.count(c.slot);
    }
    EXPECT_GE(recall / (50.0 * 10), 0.85);
    idx.disable_quantized_search();
    EXPECT_FALSE(idx.quantized().has_value());

    HnswIndex empty(dim, Metric::Euclidean, 12, 100);
    empty.enable_quantized_search();
    EXPECT_FALSE(empty.quantized().has_value());
}

// The hint goes to standard error once per process, whichever thread or index scans first.
// The scans run in a fresh copy of this test binary, since earlier tests of this process may
// already have printed it.
TEST(HnswIndex, BruteForceHintPrintedOncePerProcess) {
    if (std::getenv("QOREL_HINT_CHILD")) {
        HnswIndex a(4, Metric::Cosine, 4, 10), b(4, Metric::Euclidean, 4, 10);
        a.batch_insert(gaussian(50, 4, 1));
        b.batch_insert(gaussian(50, 4, 2));
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                std::vector<float> q{1, 2, 3, 4};
                for (int i = 0; i < 50; ++i) (t % 2 ? a : b).search(q, 3, 10);
            });
        for (auto& t : threads) t.join();
        return;
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        close(fds[0]);
        setenv("QOREL_HINT_CHILD", "1", 1);
        execl("/proc/self/exe", "qorel_tests", "--gtest_filter=HnswIndex.BruteForceHintPrintedOncePerProcess",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t r;
    while ((r = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(r));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A build that scores through BLAS has nothing to recommend.
    if (blas_enabled()) {
        EXPECT_EQ(out, "");
        return;
    }
    EXPECT_EQ(out,
              "qorel: brute-force search would be ~5x faster with BLAS. Install it with:\n"
              "  sudo apt install libopenblas-dev   # Debian/Ubuntu\n"
              "  sudo dnf install openblas-devel    # Fedora/RHEL\n"
              "  Then rebuild: pip install --force-reinstall qorel\n");
}

}  // namespace
}  // namespace qorel
