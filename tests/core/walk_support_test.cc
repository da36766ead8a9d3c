// The pieces the graph walks and the batch build stand on: the visited marks reused from search
// to search on one thread, and the in-order parallel loop that links a batch.

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "hnsw/walk_impl.h"
#include "parallel.h"

namespace qorel {
namespace {

// Marks are cleared by remembering which words were set; a mark left over from an earlier
// search (also one made before the table grew) would hide a node from every later walk.
TEST(VisitedTable, EachSearchStartsWithNoMarksAsTheGraphGrows) {
    detail::VisitedTable visited;
    visited.begin(100);
    for (Slot s : {0u, 1u, 63u, 64u, 99u}) EXPECT_FALSE(visited.test_and_set(s));
    for (Slot s : {0u, 1u, 63u, 64u, 99u}) EXPECT_TRUE(visited.test_and_set(s));
    EXPECT_FALSE(visited.contains(2));

    visited.begin(100000);
    for (Slot s : {0u, 1u, 63u, 64u, 99u, 99999u}) EXPECT_FALSE(visited.contains(s)) << s;
    for (Slot s = 0; s < 100000; s += 7) EXPECT_FALSE(visited.test_and_set(s));
    visited.begin(100000);
    for (Slot s = 0; s < 100000; ++s) ASSERT_FALSE(visited.contains(s)) << s;
}

// Every index exactly once, whatever the range's size against the step and the thread count.
TEST(Parallel, InOrderLoopCallsEveryIndexOnce) {
    for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 1000u, 100003u}) {
        std::vector<std::atomic<int>> calls(n + 10);
        parallel::for_each_in_order(10, n + 10, [&](std::size_t i) { calls[i].fetch_add(1); });
        for (std::size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(calls[i].load(), i < 10 ? 0 : 1) << "n " << n << " i " << i;
    }
}

}  // namespace
}  // namespace qorel
