// Parts of the engine shared between threads, each on its own: the reader-writer lock, the
// metadata index's and store's parts built lazily by whichever reader comes first, and the
// in-order parallel loop that links a batch (the ThreadSanitizer job runs these).

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "db/rwlock.h"
#include "error.h"
#include "metadata/metadata_index.h"
#include "metadata/metadata_store.h"
#include "parallel.h"

namespace qorel {
namespace {

// With a writer waiting in between, a thread's second read of a writer-preferring lock never
// returns, nor does its write while it reads: checking builds refuse both at once, for the
// thread that holds the lock only.
TEST(RwLock, ASecondAcquisitionByTheReadingThreadIsRefused) {
    if (!RwLock::kChecksRecursion) GTEST_SKIP() << "release builds keep no record of held locks";
    Guarded<int> value(1);
    auto first = value.read();
    EXPECT_THROW(value.read(), InternalError);
    EXPECT_THROW(value.write(), InternalError);
    std::thread other([&] { EXPECT_EQ(*value.read(), 1); });
    other.join();
    first.release();
    *value.write() = 2;
    auto again = value.read();
    EXPECT_EQ(*again, 2);
}

// A thread taking a lock it holds for writing is refused in every build, rather than going
// on as if it held the lock twice (its first release would then free it for everyone).
TEST(RwLock, TakingALockTheThreadWritesUnderIsRefused) {
    RwLock lock;
    lock.lock();
    EXPECT_THROW(lock.lock(), InternalError);
    EXPECT_THROW(lock.lock_shared(), InternalError);
    lock.unlock();
    std::thread other([&] { ExclusiveLock hold(lock); });
    other.join();
    SharedLock hold(lock);
}

// Every index exactly once, whatever the range's size against the step and the thread count.
TEST(Parallel, InOrderLoopCallsEveryIndexOnce) {
    for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 1000u, 100003u}) {
        std::vector<std::atomic<int>> calls(n + 10);
        parallel::for_each_in_order(10, n + 10, [&](std::size_t i) { calls[i].fetch_add(1); });
        for (std::size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(calls[i].load(), i < 10 ? 0 : 1) << "n " << n << " i " << i;
    }
}

// Readers that meet the sorted numbers out of date at the same time share one rebuild and all
// see the whole, current order.
TEST(FieldIndex, ConcurrentReadersRebuildTheNumberOrderOnce) {
    std::vector<std::optional<Json>> rows;
    for (int i = 0; i < 5000; ++i) rows.emplace_back(Json{{"n", (i * 7919) % 5000}});
    MetadataIndex index;
    index.rebuild(rows, {});
    const FieldIndex* field = index.field("n");
    ASSERT_NE(field, nullptr);
    std::vector<std::size_t> counts(4, 0);
    std::vector<std::thread> readers;
    for (std::size_t r = 0; r < counts.size(); ++r)
        readers.emplace_back([&, r] { counts[r] = field->number_slots(FieldIndex::Side::Below, 2500.0).size(); });
    for (std::thread& t : readers) t.join();
    for (const std::size_t c : counts) EXPECT_EQ(c, 2500u);
}

// Rows kept as text decode on first read, once, even when many threads read them at a time.
TEST(MetadataStore, DecodesStoredTextsOnFirstReadFromAnyThread) {
    std::string all;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (int i = 0; i < 200; ++i) {
        const std::string text = R"({"i":)" + std::to_string(i) + R"(,"s":"v)" + std::to_string(i % 7) + R"("})";
        spans.emplace_back(all.size(), text.size());
        all += text;
    }
    MetadataStore store;
    store.load_texts(220, std::vector<char>(all.begin(), all.end()));
    for (Slot s = 0; s < 200; ++s) store.set_text(s, spans[s].first, spans[s].second);
    ASSERT_TRUE(store.stored_text(5).has_value());
    EXPECT_EQ(*store.stored_text(5), R"({"i":5,"s":"v5"})");
    EXPECT_FALSE(store.stored_text(210).has_value());

    const MetadataStore& reader = store;
    std::vector<std::thread> threads;
    std::vector<std::vector<const Json*>> seen(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (Slot s = 0; s < 220; ++s) {
                const std::optional<Json>& row = reader[s];
                seen[t].push_back(row ? &*row : nullptr);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (Slot s = 0; s < 220; ++s) {
        for (int t = 1; t < 4; ++t) EXPECT_EQ(seen[t][s], seen[0][s]);  // decoded once, in place
        if (s < 200) {
            ASSERT_NE(seen[0][s], nullptr);
            EXPECT_EQ((*seen[0][s])["i"], Json(s));
            EXPECT_FALSE(store.stored_text(s).has_value());  // no longer written back as text
        } else {
            EXPECT_EQ(seen[0][s], nullptr);
        }
    }
    // A change replaces the decoded row, and shrinking forgets texts for good.
    store[3] = Json::parse(R"({"x":1})");
    EXPECT_EQ((*reader[3])["x"], Json(1));
    store.load_texts(4, std::vector<char>(all.begin(), all.end()));
    store.set_text(2, spans[2].first, spans[2].second);
    store.resize(2);
    store.resize(4);
    EXPECT_FALSE(reader[2].has_value());
    EXPECT_FALSE(store.stored_text(2).has_value());
}

}  // namespace
}  // namespace qorel
