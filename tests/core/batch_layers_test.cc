// Batch insertion, whose parallel phase links nodes from the worker pool (the ThreadSanitizer
// job runs these). The upper layers of a graph built in one large batch: nodes taller than
// anything linked before them must still be linked on their own upper layers, or every search
// starts its descent on a low layer from a single node.

#include <gtest/gtest.h>

#include <algorithm>
#include <queue>
#include <random>
#include <set>
#include <vector>

#include "clustered_rows.h"
#include "hnsw/index.h"
#include "hnsw_checks.h"

namespace qorel {
namespace {

// Nodes of `layer` reachable from the entry point along that layer's edges.
std::size_t reachable_on_layer(const HnswIndex& idx, std::size_t layer) {
    std::vector<bool> seen(idx.node_count());
    std::queue<Slot> todo;
    todo.push(idx.entry_point());
    seen[idx.entry_point()] = true;
    std::size_t count = 0;
    while (!todo.empty()) {
        const Slot s = todo.front();
        todo.pop();
        ++count;
        for (Slot v : idx.neighbours(s, layer))
            if (!seen[v]) {
                seen[v] = true;
                todo.push(v);
            }
    }
    return count;
}

double recall(const HnswIndex& idx, const std::vector<std::vector<float>>& queries, std::size_t ef) {
    std::size_t hits = 0;
    for (const auto& q : queries) {
        std::vector<Candidate> all;
        for (Slot s = 0; s < idx.node_count(); ++s) all.push_back({s, distance(q.data(), idx.vector(s), q.size(), idx.metric())});
        std::partial_sort(all.begin(), all.begin() + 10, all.end(), candidate_less);
        std::set<Slot> truth;
        for (std::size_t i = 0; i < 10; ++i) truth.insert(all[i].slot);
        for (const Candidate& c : idx.search_graph(q, 10, ef)) hits += truth.count(c.slot);
    }
    return static_cast<double>(hits) / static_cast<double>(queries.size() * 10);
}

// With m = 4 a quarter of the nodes reach layer 1 and the top of 20,000 nodes lies around
// layer 7, several layers above the tallest of the first few hundred: the nodes that open
// those layers arrive while the batch is being linked in parallel.
TEST(BatchLayers, EveryUpperLayerIsLinkedAndReachableFromTheEntryPoint) {
    const std::size_t dim = 8, n = 20000;
    HnswIndex idx(dim, Metric::Euclidean, 4, 40);
    idx.batch_insert(clustered(n, dim, 50, 3, 2.0f));

    std::vector<std::size_t> on_layer(idx.max_layer() + 1);
    std::size_t tallest = 0;
    for (Slot s = 0; s < n; ++s) {
        tallest = std::max(tallest, idx.level(s));
        for (std::size_t l = 0; l <= idx.level(s); ++l) ++on_layer[l];
    }
    ASSERT_EQ(idx.max_layer(), tallest);
    ASSERT_EQ(idx.level(idx.entry_point()), tallest);

    for (std::size_t layer = 1; layer <= idx.max_layer(); ++layer) {
        SCOPED_TRACE(layer);
        if (on_layer[layer] < 2) continue;  // a node alone on its layer has nobody to link to
        for (Slot s = 0; s < n; ++s) {
            if (idx.level(s) >= layer) {
                ASSERT_GT(idx.neighbour_count(s, layer), 0u) << "slot " << s;
            }
        }
        // Pruning may leave a rare node without incoming edges, never a whole layer; on the few
        // nodes of the top layers, with lists of four, one or two such nodes are a large share.
        const std::size_t nodes = on_layer[layer];
        const std::size_t enough = nodes >= 100 ? nodes * 9 / 10 : nodes / 2 + 1;
        EXPECT_GE(reachable_on_layer(idx, layer), enough) << "of " << nodes;
    }
}

// A second batch taller than the first: its tall nodes must join the layers the first batch
// never reached and take over as the entry point.
TEST(BatchLayers, LaterBatchRaisesTheTopAndLinksIt) {
    const std::size_t dim = 8;
    HnswIndex idx(dim, Metric::Euclidean, 4, 40);
    idx.batch_insert(clustered(200, dim, 10, 5, 2.0f));
    idx.batch_insert(clustered(20000, dim, 50, 6, 2.0f));
    for (std::size_t layer = 1; layer <= idx.max_layer(); ++layer) {
        std::size_t nodes = 0, linked = 0;
        for (Slot s = 0; s < idx.node_count(); ++s)
            if (idx.level(s) >= layer) {
                ++nodes;
                linked += idx.neighbour_count(s, layer) > 0;
            }
        if (nodes >= 2) {
            EXPECT_EQ(linked, nodes) << "layer " << layer;
        }
    }
    EXPECT_EQ(idx.level(idx.entry_point()), idx.max_layer());
}

// The parallel batch must build as good a graph as one insert at a time: recall at a small
// beam, where the quality of the descent shows most, may not trail the serial build's. The
// batch's graph depends on how its threads interleave, which moves recall at ef 10 over 200
// queries by a few hundredths from run to run; a build that links badly loses far more.
TEST(BatchLayers, BatchBuildRecallMatchesOneByOne) {
    const std::size_t dim = 16, n = 12000;
    auto data = clustered(n, dim, 100, 8, 2.0f);
    auto queries = clustered(200, dim, 100, 8, 2.0f);  // the same centres
    std::mt19937 rng(9);
    std::normal_distribution<float> g(0.0f, 0.3f);
    for (auto& q : queries)
        for (auto& x : q) x += g(rng);

    HnswIndex serial(dim, Metric::Euclidean, 6, 60), batch(dim, Metric::Euclidean, 6, 60);
    for (const auto& v : data) serial.insert(v);
    batch.batch_insert(data);
    for (const auto& [ef, slack] : {std::pair{10u, 0.06}, std::pair{40u, 0.03}}) {
        SCOPED_TRACE(ef);
        EXPECT_GE(recall(batch, queries, ef), recall(serial, queries, ef) - slack);
    }
}

// Workers linking at the same time prune the same crowded lists (a few tight clusters, small
// lists, so that nearly every back-link overflows one) and meet nodes whose lower lists are
// still being written. Whatever the interleaving, every list stays within its bound and names
// each neighbour once: a doubled entry would hold one of the few slots for good.
TEST(BatchLayers, ConcurrentLinkingKeepsListsBoundedAndDistinct) {
    const std::size_t dim = 4;
    HnswIndex idx(dim, Metric::Euclidean, 3, 24);
    for (std::uint32_t round = 0; round < 3; ++round) idx.batch_insert(clustered(3000, dim, 5, 20 + round, 2.0f));
    for (Slot s = 0; s < idx.node_count(); ++s) {
        for (std::size_t layer = 0; layer <= idx.level(s); ++layer) {
            std::vector<Slot> list = idx.neighbours(s, layer);
            ASSERT_LE(list.size(), layer == 0 ? idx.m_max0() : idx.m()) << "slot " << s << " layer " << layer;
            std::sort(list.begin(), list.end());
            ASSERT_EQ(std::adjacent_find(list.begin(), list.end()), list.end())
                << "neighbour listed twice: slot " << s << " layer " << layer;
            for (Slot v : list) {
                ASSERT_NE(v, s);
                ASSERT_GE(idx.level(v), layer);
            }
            if (layer == 0) {
                ASSERT_FALSE(list.empty()) << "slot " << s << " left without edges";
            }
        }
    }
}

// A batch's rows are copied, normed and quantized in parts on several threads: every row, norm
// and code must land in its own slot, across part boundaries and after an earlier batch, exactly
// as the same rows inserted one at a time.
TEST(BatchLayers, BatchStoresEachRowsVectorNormAndCodesInItsSlot) {
    const std::size_t dim = 24;
    const auto first = clustered(3000, dim, 20, 41);
    const auto second = clustered(5001, dim, 20, 42);  // several parts, the last one short
    HnswIndex batch(dim, Metric::Cosine, 8, 40), single(dim, Metric::Cosine, 8, 40);
    batch.batch_insert(first);
    for (const auto& v : first) single.insert(v);
    batch.enable_quantized_search();
    CodeStore codes;
    codes.append(batch.quantized()->codes.all());
    single.load_quantized(batch.quantized()->quantizer, std::move(codes));
    batch.batch_insert(second);
    for (const auto& v : second) single.insert(v);

    ASSERT_EQ(batch.node_count(), single.node_count());
    ASSERT_TRUE(std::ranges::equal(batch.quantized()->codes.all(), single.quantized()->codes.all()));
    for (Slot s = 0; s < batch.node_count(); ++s) {
        ASSERT_TRUE(std::equal(batch.vector(s), batch.vector(s) + dim, single.vector(s))) << "slot " << s;
        ASSERT_EQ(batch.norms()[s], single.norms()[s]) << "slot " << s;
        ASSERT_LE(batch.neighbour_count(s, 0), batch.m_max0()) << "slot " << s;
    }
}

TEST(HnswIndex, SingleAndBatchInsertionKeepInvariants) {
    auto data = gaussian(3000, 8, 7);
    HnswIndex single(8, Metric::Euclidean, 6, 40);
    for (auto v : data) single.insert(std::move(v));
    check_invariants(single);

    // Batch sizes around the serial prefix of 128, into an empty and a non-empty index.
    for (std::size_t n : {1u, 2u, 128u, 129u, 1000u}) {
        SCOPED_TRACE(n);
        HnswIndex idx(8, Metric::Cosine, 6, 40);
        auto ids = idx.batch_insert(gaussian(n, 8, static_cast<std::uint32_t>(n)));
        ASSERT_EQ(ids.size(), n);
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(ids[i], i);
        EXPECT_EQ(idx.active_count(), n);
        check_invariants(idx);
        auto more = idx.batch_insert(gaussian(n, 8, 99));
        EXPECT_EQ(more.front(), n);
        EXPECT_EQ(idx.node_count(), 2 * n);
        check_invariants(idx);
    }
    HnswIndex empty(8, Metric::Cosine, 6, 40);
    EXPECT_TRUE(empty.batch_insert(std::vector<std::vector<float>>{}).empty());
    EXPECT_EQ(empty.entry_point(), kNoSlot);
}

}  // namespace
}  // namespace qorel
