// Re-linking a node whose vector changed, over many random graphs: levels are drawn afresh in
// every index, so the walk that re-links a node meets every shape of stale edge leading back to
// it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "hnsw/index.h"

namespace qorel {
namespace {

TEST(HnswRelink, UpdatedNodeKeepsEdgesOnEveryLayer) {
    std::mt19937 rng(7);
    std::normal_distribution<float> g(0.0f, 1.0f);
    constexpr std::size_t kDim = 8;
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<std::vector<float>> data(300, std::vector<float>(kDim));
        for (auto& v : data)
            for (auto& x : v) x = g(rng);
        HnswIndex idx(kDim, Metric::Euclidean, 6, 40);
        idx.batch_insert(data);

        // Moving a node right next to another makes it the nearest thing its own re-linking
        // walk can find, reached through the edges of nodes it no longer points to.
        for (Slot moved : {Slot{5}, Slot{77}}) {
            // The entry point re-links from another low slot, with no upper layers to walk.
            if (moved == idx.entry_point()) continue;
            std::vector<float> v = data[100 + moved];
            v[0] += 1e-3f;
            idx.update_vector(moved, v);
            for (std::size_t layer = 0; layer <= idx.level(moved); ++layer)
                ASSERT_GT(idx.neighbour_count(moved, layer), 0u) << "trial " << trial << " slot " << moved << " layer " << layer;
            const auto hits = idx.search_graph(v, 2, 50);
            ASSERT_EQ(hits.size(), 2u) << "trial " << trial;
            EXPECT_EQ(hits[0].slot, moved) << "trial " << trial;
        }
    }
}

// A node that keeps pointing at a re-linked one (the edge was one-way, so unlinking did not
// remove it) and is then chosen again as its neighbour must not receive it a second time: a
// doubled entry holds one of the list's few slots for good.
TEST(HnswRelink, RelinkingNeverListsANeighbourTwice) {
    std::mt19937 rng(11);
    std::normal_distribution<float> g(0.0f, 1.0f);
    constexpr std::size_t kDim = 8;
    std::vector<std::vector<float>> data(600, std::vector<float>(kDim));
    for (auto& v : data)
        for (auto& x : v) x = g(rng);
    HnswIndex idx(kDim, Metric::Euclidean, 4, 40);
    idx.batch_insert(data);
    // Moved away and back: the second re-linking finds the neighbourhood the node left, where
    // one-way edges to it survived the first.
    for (Slot s = 1; s < 600; s += 3) {
        idx.update_vector(s, data[(s + 300) % 600]);
        idx.update_vector(s, data[s]);
    }
    for (Slot s = 0; s < idx.node_count(); ++s)
        for (std::size_t layer = 0; layer <= idx.level(s); ++layer) {
            std::vector<Slot> list = idx.neighbours(s, layer);
            ASSERT_LE(list.size(), layer == 0 ? idx.m_max0() : idx.m());
            std::sort(list.begin(), list.end());
            ASSERT_EQ(std::adjacent_find(list.begin(), list.end()), list.end()) << "slot " << s << " layer " << layer;
        }
}

}  // namespace
}  // namespace qorel
