// Rows and graph checks shared by the tests of the graph index.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "hnsw/index.h"

namespace qorel {

inline std::vector<std::vector<float>> gaussian(std::size_t n, std::size_t dim, std::uint32_t seed, float spread = 1.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, spread);
    std::vector<std::vector<float>> out(n, std::vector<float>(dim));
    for (auto& v : out)
        for (auto& x : v) x = g(rng);
    return out;
}

// Checks the structural invariants that hold whenever no insertion is in progress.
inline void check_invariants(const HnswIndex& idx) {
    const std::size_t n = idx.node_count();
    std::size_t top = 0;
    for (Slot s = 0; s < n; ++s) {
        top = std::max(top, idx.level(s));
        for (std::size_t layer = 0; layer <= idx.level(s); ++layer) {
            auto list = idx.neighbours(s, layer);
            ASSERT_LE(list.size(), layer == 0 ? idx.m_max0() : idx.m()) << "slot " << s << " layer " << layer;
            for (Slot v : list) {
                ASSERT_LT(v, n);
                ASSERT_GE(idx.level(v), layer) << "edge to a node without that layer";
                ASSERT_NE(v, s) << "self edge";
            }
        }
    }
    if (n == 0) {
        EXPECT_EQ(idx.entry_point(), kNoSlot);
        return;
    }
    ASSERT_LT(idx.entry_point(), n);
    EXPECT_EQ(idx.max_layer(), top);
    EXPECT_EQ(idx.level(idx.entry_point()), idx.max_layer());
    EXPECT_EQ(idx.active_count(), n - idx.deleted().size());
}

}  // namespace qorel
