// Many threads on one Database at once: writers on overlapping ids, batch writers whose batch
// insertion links nodes from the worker pool, searchers walking the lists those writers
// change, and a thread that compacts and saves meanwhile. The checking build runs these under
// ThreadSanitizer; in every build they check that the database stays consistent and that what
// a save wrote is what memory held. Last, threads opening and dropping one directory.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "batch_items.h"
#include "db/database.h"
#include "db/open_registry.h"

namespace qorel {
namespace {

constexpr std::size_t kDim = 8;

std::vector<float> vec(std::size_t key, std::size_t round) {
    std::vector<float> v(kDim);
    for (std::size_t j = 0; j < kDim; ++j) v[j] = static_cast<float>((key * 7 + j * 3 + round) % 13) - 6.0f;
    return v;
}

std::string name(const char* prefix, std::size_t n) {
    std::string out(prefix);
    out += std::to_string(n);
    return out;
}

std::string temp_dir() {
    char tmpl[] = "/tmp/qorel_concurrent_XXXXXX";
    return std::string(mkdtemp(tmpl)) + "/db";
}

std::map<std::string, std::pair<std::vector<float>, std::optional<Json>>> snapshot(const Database& db) {
    std::map<std::string, std::pair<std::vector<float>, std::optional<Json>>> out;
    for (const std::string& id : db.ids()) out[id] = db.get(id);
    return out;
}

void expect_consistent(const Database& db) {
    const std::vector<std::string> ids = db.ids();
    EXPECT_EQ(db.len(), ids.size());
    EXPECT_EQ(db.count(nullptr), ids.size());
    for (const std::string& id : ids) {
        EXPECT_TRUE(db.contains(id));
        EXPECT_EQ(db.get(id).first.size(), kDim);
    }
}

class ConcurrentDatabase : public ::testing::TestWithParam<bool> {};

TEST_P(ConcurrentDatabase, WritersSearchersAndMaintenanceShareOneDatabase) {
    const std::string path = temp_dir();
    DatabaseConfig config;
    config.dim = kDim;
    config.m = 6;
    config.ef_construction = 24;
    config.quantize = GetParam();
    std::unique_ptr<Database> db = Database::open_or_create(path, config);
    // Past the exact-scan threshold, so that searches walk the graph the writers change.
    std::vector<BatchItem> seed;
    for (std::size_t i = 0; i < 600; ++i) seed.push_back({name("s", i), vec(i, 0), std::nullopt});
    add_items(*db, std::move(seed));
    if (GetParam()) db->enable_quantized_search();

    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    // Single-item writers share the ids w0..w39 and the seeded ids.
    for (std::size_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t r = 0; r < 150; ++r) {
                const std::size_t key = (r * 5 + t) % 40;
                const std::string id = name("w", key);
                try {
                    switch (r % 4) {
                        case 0: db->upsert(id, vec(key, r), Json{{"t", t}, {"r", r}}); break;
                        case 1: db->update(id, vec(key, r + 1), std::nullopt); break;
                        case 2: db->remove(id); break;
                        default: db->update(name("s", r), std::nullopt, Json{{"r", r}}); break;
                    }
                } catch (const QorelError& e) {
                    // update of an id another thread has just deleted
                    if (e.kind() != ErrorKind::NotFound) failed = true;
                }
            }
        });
    }
    // A batch writer: large enough batches go through the parallel linking phase.
    threads.emplace_back([&] {
        for (std::size_t r = 0; r < 4; ++r) {
            std::vector<BatchItem> items;
            for (std::size_t i = 0; i < 120; ++i)
                items.push_back({name("b", r * 60 + i), vec(i + r, r), Json{{"batch", r}}});
            upsert_items(*db, std::move(items));
        }
    });
    for (std::size_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t r = 0; r < 200; ++r) {
                const std::vector<float> q = vec(r + t, r);
                const auto hits = db->search(q, 5, 32, nullptr, std::nullopt);
                if (hits.size() > 5) failed = true;
                for (const auto& h : hits) {
                    try {
                        if (db->get(h.id).first.size() != kDim) failed = true;
                    } catch (const QorelError& e) {
                        if (e.kind() != ErrorKind::NotFound) failed = true;
                    }
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (std::size_t r = 0; r < 3; ++r) {
            db->compact();
            db->save();
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(failed);
    expect_consistent(*db);

    const auto live = snapshot(*db);
    db->save();
    db.reset();
    std::unique_ptr<Database> again = Database::open(path);
    expect_consistent(*again);
    EXPECT_EQ(snapshot(*again), live);
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

INSTANTIATE_TEST_SUITE_P(Search, ConcurrentDatabase, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Quantized" : "Plain"; });

TEST(OpenRegistry, ThreadsOpeningAndDroppingNeverCollide) {
    // A stress test of the moment the last handle goes: the weak reference has expired but the
    // closing Database still holds the lock. An open arriving then must wait for the release
    // instead of finding its own process in the way. (The moment is short: how often this
    // reaches it depends on how the threads are scheduled.)
    const std::string db_dir = temp_dir();
    DatabaseConfig config;
    config.dim = 2;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i) {
                try {
                    auto db = open_shared(db_dir, config);
                    if ((i + t) % 7 == 0) db->upsert(std::to_string(t), {1.0f, 2.0f}, std::nullopt);
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(open_shared(db_dir, config)->len(), 4u);
    std::filesystem::remove_all(std::filesystem::path(db_dir).parent_path());
}

}  // namespace
}  // namespace qorel
