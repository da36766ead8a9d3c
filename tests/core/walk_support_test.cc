// What the graph walks stand on: the visited marks reused from search to search on one thread.

#include <gtest/gtest.h>

#include <vector>

#include "hnsw/walk_impl.h"

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

}  // namespace
}  // namespace qorel
