// Database-level writes: concurrent writers against compaction and saves, failed batches and
// refused vectors, each checked by reopening the directory and comparing with memory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>
#include "batch_items.h"
#include "file_size_limit.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/database.h"
#include "error.h"

namespace qorel {
namespace {

// "<prefix><i>", built without operator+ (GCC 12 warns about it falsely at -O2).
std::string key(const char* prefix, int i) {
    std::string out = prefix;
    out += std::to_string(i);
    return out;
}

using State = std::map<std::string, std::pair<std::vector<float>, std::optional<Json>>>;

class ApplyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qorel_apply_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/db";
    }
    void TearDown() override { std::filesystem::remove_all(std::filesystem::path(dir_).parent_path()); }

    std::unique_ptr<Database> create(std::uint64_t dim) {
        DatabaseConfig config;
        config.dim = dim;
        config.metric = Metric::Euclidean;
        return Database::open_or_create(dir_, config);
    }

    static State state(const Database& db) {
        State out;
        for (const std::string& id : db.ids()) out.emplace(id, db.get(id));
        return out;
    }

    std::string dir_;
};

// Many threads write a handful of shared ids while another compacts and saves, round after
// round. Memory and the log must agree on the order of every id's changes, and a vector must
// keep the metadata written with it: dropping the handle without a save and reopening shows
// both. Writers queue behind the compaction, so their changes race once it lets them go.
TEST_F(ApplyTest, ConcurrentWritersReplayToTheLiveState) {
    auto db = create(4);
    std::vector<BatchItem> base;
    for (int i = 0; i < 5000; ++i) base.push_back({key("f", i), {float(i), 1, 0, 0}, std::nullopt});
    add_items(*db, std::move(base));
    db->save();

    const std::vector<std::string> hot = {"a", "b", "c"};
    for (int round = 0; round < 12; ++round) {
        // Deleted slots, so that the compaction has a rebuild to do.
        std::vector<BatchItem> doomed;
        std::vector<std::string> doomed_ids;
        for (int i = 0; i < 50; ++i) {
            doomed.push_back({key("d", i), {0, float(i), 1, 0}, std::nullopt});
            doomed_ids.push_back(key("d", i));
        }
        add_items(*db, std::move(doomed));
        db->remove_many(doomed_ids);

        std::thread maintainer([&] {
            db->compact();
            if (round % 2) db->save();
        });
        std::vector<std::thread> writers;
        for (int w = 1; w <= 6; ++w) {
            writers.emplace_back([&, w] {
                std::mt19937 rng(round * 100 + w);
                for (int step = 0; step < 2; ++step) {
                    const std::string& id = hot[rng() % hot.size()];
                    // The metadata names the writer and step that its vector carries.
                    std::vector<float> v = {float(w), float(step), 0.5f, 1};
                    Json tag = {{"w", w}, {"s", step}};
                    switch (rng() % 6) {
                        case 0:
                        case 1:
                            db->upsert(id, v, tag);
                            break;
                        case 2:
                            upsert_items(*db, {{id, v, tag}, {hot[rng() % hot.size()], {float(step), float(w), 2, 1}, tag}});
                            break;
                        case 3:
                            try {
                                db->update(id, v, tag);
                            } catch (const QorelError&) {
                            }
                            break;
                        case 4:
                            db->remove(id);
                            break;
                        default:
                            db->remove_many({id, hot[rng() % hot.size()]});
                    }
                }
            });
        }
        for (auto& t : writers) t.join();
        maintainer.join();

        const State live = state(*db);
        db.reset();  // no save: the reopen is the last save plus the log
        db = Database::open(dir_);
        const State replayed = state(*db);
        ASSERT_EQ(replayed.size(), live.size()) << "round " << round;
        for (const auto& [id, value] : live) {
            auto it = replayed.find(id);
            ASSERT_NE(it, replayed.end()) << id;
            EXPECT_EQ(it->second, value) << id << " in round " << round;
            if (std::find(hot.begin(), hot.end(), id) == hot.end()) continue;
            ASSERT_TRUE(value.second) << id;
            const float w = value.second->at("w").get<float>();
            const float s = value.second->at("s").get<float>();
            const std::vector<float>& v = value.first;
            EXPECT_TRUE((v[0] == w && v[1] == s && v[2] == 0.5f) || (v[0] == s && v[1] == w && v[2] == 2)) << id;
        }
    }
}

// A reader never sees the vector of one write with the metadata of another.
TEST_F(ApplyTest, ReadersSeeVectorAndMetadataTogether) {
    auto db = create(8);
    db->add("p", std::vector<float>(8, 0.0f), Json{{"k", 0}});
    std::atomic<bool> stop{false};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                auto [vector, metadata] = db->get("p");
                if (!metadata || vector[0] != metadata->at("k").get<float>()) ++mismatches;
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (int k = 1; k <= 1500; ++k) {
                const int value = w * 1000 + k;
                if (k % 2)
                    db->upsert("p", std::vector<float>(8, float(value)), Json{{"k", value}});
                else
                    db->update("p", std::vector<float>(8, float(value)), Json{{"k", value}});
            }
        });
    }
    for (auto& t : writers) t.join();
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// A batch whose log write fails part-way raises, changes nothing in memory and leaves nothing
// in the log for the next open to apply.
TEST_F(ApplyTest, FailedBatchLeavesNoTrace) {
    {
        auto db = create(4);
        std::vector<BatchItem> stored;
        std::vector<std::string> stored_ids;
        for (int i = 0; i < 300; ++i) {
            stored.push_back({key("s", i), {0, float(i), 0, 1}, Json{{"i", i}}});
            stored_ids.push_back(key("s", i));
        }
        add_items(*db, std::move(stored));
        db->save();
        db->upsert("old", {1, 1, 1, 1}, std::nullopt);
        const auto log_size = std::filesystem::file_size(db->wal_path());

        std::vector<BatchItem> items;
        for (int i = 0; i < 300; ++i) items.push_back({key("b", i), {float(i), 0, 0, 1}, std::nullopt});
        std::vector<BatchItem> upserts = items;
        upserts.push_back({"old", {9, 9, 9, 9}, Json{{"changed", true}}});
        const State before = state(*db);

        // The log may grow by 1500 bytes: each batch below needs several times that.
        {
            FileSizeLimit limit(log_size + 1500);
            ASSERT_TRUE(limit.active());
            EXPECT_THROW(add_items(*db, items), QorelError);
            EXPECT_THROW(upsert_items(*db, upserts), QorelError);
            EXPECT_THROW(db->remove_many(stored_ids), QorelError);
            // Each failure gave its bytes back, so small batches still fit.
            for (int round = 0; round < 3; ++round) {
                add_items(*db, std::vector<BatchItem>(items.begin(), items.begin() + 5));
                db->remove_many({"b0", "b1", "b2", "b3", "b4"});
            }
        }

        EXPECT_EQ(state(*db), before);
        db->add("after", {4, 3, 2, 1}, std::nullopt);
    }
    auto reopened = Database::open(dir_);
    EXPECT_EQ(reopened->ids().size(), 302u);
    EXPECT_TRUE(reopened->contains("after"));
    EXPECT_TRUE(reopened->contains("s299"));
    EXPECT_FALSE(reopened->contains("b0"));
    EXPECT_EQ(reopened->get("old").first, (std::vector<float>{1, 1, 1, 1}));
}

// A change that memory cannot take (the index cannot grow) raises, and the log must not bring
// it back after a restart. The address space is capped a little above what the process uses,
// so the batch's rows and its log records fit but the index's room for them does not.
TEST_F(ApplyTest, AChangeMemoryCannotTakeIsNotReplayed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators abort instead of throwing under an address space limit";
#endif
    constexpr std::size_t kDim = 64, kRows = 200000;
    auto rows_of = [&](const char* prefix, std::size_t n, std::vector<std::string>& ids) {
        RowBlock rows;
        rows.reserve(n, kDim);
        std::vector<float> row(kDim);
        for (std::size_t i = 0; i < n; ++i) {
            ids.push_back(key(prefix, static_cast<int>(i)));
            row[i % kDim] = float(i);
            rows.add(row);
        }
        return rows;
    };
    {
        auto db = create(kDim);
        std::vector<std::string> warm_ids;
        db->add_many(warm_ids, rows_of("w", 2000, warm_ids), {});  // starts the worker threads
        db->save();
        std::vector<std::string> ids;
        RowBlock rows = rows_of("b", kRows, ids);

        std::size_t pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        ASSERT_NE(statm, nullptr);
        ASSERT_EQ(std::fscanf(statm, "%zu", &pages), 1);
        std::fclose(statm);
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_AS, &saved), 0);
        rlimit cap = saved;
        cap.rlim_cur = pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) + (std::size_t{8} << 20);
        ASSERT_EQ(::setrlimit(RLIMIT_AS, &cap), 0);
        bool raised = false;
        try {
            db->add_many(std::move(ids), std::move(rows), {});
        } catch (const std::exception&) {
            raised = true;
        }
        ::setrlimit(RLIMIT_AS, &saved);
        ASSERT_TRUE(raised);
        db->add("after", std::vector<float>(kDim, 1.0f), std::nullopt);
    }
    auto reopened = Database::open(dir_);
    EXPECT_EQ(reopened->len(), 2001u);
    EXPECT_FALSE(reopened->contains("b0"));
}

// Every writing call refuses a vector with a NaN or an infinity, names the id, and a batch with
// one such vector changes nothing.
TEST_F(ApplyTest, NonFiniteVectorsAreRefusedBeforeTheLog) {
    auto db = create(3);
    db->add("x", {1, 2, 3}, std::nullopt);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto message = [](auto&& call) {
        try {
            call();
        } catch (const QorelError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message([&] { db->add("y", {0, nan, 1}, std::nullopt); }),
              "invalid vector for id 'y': non-finite component at index 1 (NaN)");
    EXPECT_EQ(message([&] { db->upsert("x", {-inf, 0, 1}, std::nullopt); }),
              "invalid vector for id 'x': non-finite component at index 0 (-inf)");
    EXPECT_EQ(message([&] { db->update("x", std::vector<float>{0, 0, inf}, Json{{"m", 1}}); }),
              "invalid vector for id 'x': non-finite component at index 2 (inf)");
    // Unknown ids are reported as such first, as for a wrong dimension.
    EXPECT_EQ(message([&] { db->update("nope", std::vector<float>{nan, 0, 0}, std::nullopt); }), "id 'nope' not found");
    std::vector<BatchItem> batch = {{"p", {1, 1, 1}, std::nullopt}, {"q", {1, nan, 1}, std::nullopt}};
    EXPECT_EQ(message([&] { add_items(*db, batch); }), "invalid vector for id 'q': non-finite component at index 1 (NaN)");
    EXPECT_EQ(message([&] { upsert_items(*db, batch); }), "invalid vector for id 'q': non-finite component at index 1 (NaN)");
    EXPECT_EQ(db->ids(), std::vector<std::string>{"x"});
    EXPECT_EQ(db->get("x"), (std::pair<std::vector<float>, std::optional<Json>>{{1, 2, 3}, std::nullopt}));
    // The log holds the one insert: id "x", three floats, no metadata.
    EXPECT_EQ(std::filesystem::file_size(db->wal_path()), kWalRecordOverhead + (4 + 1) + (4 + 12) + 4);
}

}  // namespace
}  // namespace qorel
