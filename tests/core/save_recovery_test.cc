// Saves interrupted at any file-system call, once or several times in a row, with and without
// quantization and compaction, reopen to the last completed save plus the log. The databases
// live in a FaultEnv, whose hook plays both the failing disk (one call fails, the process goes
// on) and the killed process (that call and every later one fail, so nothing after it reaches
// the files). At the end, power cuts in a MemEnv, for saves and for the log's batches.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/database.h"
#include "error.h"
#include "storage/fault_env.h"
#include "storage/mem_env.h"

namespace qorel {
namespace {

namespace fs = std::filesystem;

// Every database of these tests lives in this Env.
const std::shared_ptr<FaultEnv> faulty = std::make_shared<FaultEnv>(Env::posix());

using Snapshot = std::map<std::string, std::pair<std::vector<float>, std::string>>;

// Joins text and numbers (GCC 12 warns falsely about a literal added to a temporary string).
std::string cat(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& p : parts) out += p;
    return out;
}
std::string num(int i) { return std::to_string(i); }

Snapshot snapshot(const Database& db) {
    Snapshot out;
    for (const std::string& id : db.ids()) {
        auto [vector, metadata] = db.get(id);
        out[id] = {std::move(vector), metadata ? metadata->dump() : "none"};
    }
    return out;
}

// Installs the hook of `faulty` for its lifetime. The call for which `pick(number, name)` is true
// fails with ENOSPC (numbers count the calls made while installed, from 1); with `kill`, so does
// every later call.
class Fault {
public:
    using Pick = std::function<bool(int number, const std::string& call)>;

    Fault(Pick pick, bool kill, FaultEnv& env = *faulty) : env_(&env), state_(std::make_shared<State>()) {
        state_->pick = std::move(pick);
        state_->kill = kill;
        env.set_hook([s = state_](const char* call, const std::string& path) {
            const int number = ++s->count;
            s->calls.push_back(cat({call, " ", fs::path(path).filename().string()}));
            if (s->dead || s->pick(number, call)) {
                s->fired = true;
                s->dead = s->kill;
                throw QorelError::io_errno(ENOSPC);
            }
        });
    }
    static Fault at(int number, bool kill, FaultEnv& env = *faulty) {
        return Fault([number](int n, const std::string&) { return n == number; }, kill, env);
    }
    Fault(Fault&&) = default;
    ~Fault() {
        if (state_) env_->set_hook({});
    }

    bool fired() const { return state_->fired; }
    // "call file" for every call seen, in order.
    const std::vector<std::string>& calls() const { return state_->calls; }

private:
    struct State {
        Pick pick;
        bool kill = false;
        bool dead = false;
        bool fired = false;
        int count = 0;
        std::vector<std::string> calls;
    };
    FaultEnv* env_;
    std::shared_ptr<State> state_;
};

// Saves under the fault; true when the fault fired. The save then failed, unless the call
// was one whose failure a save ignores (deleting a quantized file it no longer writes).
bool save_under(Database& db, Fault fault) {
    try {
        db.save();
    } catch (const QorelError& e) {
        EXPECT_TRUE(fault.fired()) << e.what();
    }
    return fault.fired();
}

struct Config {
    bool quantize;
    bool compact;
};

class InterruptedSave : public ::testing::TestWithParam<Config> {
protected:
    void SetUp() override {
        // Hundreds of saves: on a memory file system their syncs cost nothing.
        std::string tmpl = fs::is_directory("/dev/shm") ? "/dev/shm/qorel_interrupted_XXXXXX"
                                                         : "/tmp/qorel_interrupted_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
        const std::string base = root_ + "/base";
        DatabaseConfig config;
        config.dim = 4;
        config.m = 4;
        config.quantize = GetParam().quantize;
        auto db = Database::open_or_create(base, config, faulty);
        for (int i = 0; i < 40; ++i)
            db->add(cat({"v", num(i)}), vec(i, 0), i % 4 ? std::optional<Json>(Json{{"i", i}}) : std::nullopt);
        db->save();
        // Changes after the save live only in the log.
        for (int i = 0; i < 40; i += 3) db->remove(cat({"v", num(i)}));
        change(*db, 1);
    }
    void TearDown() override { fs::remove_all(root_); }

    static std::vector<float> vec(int i, int round) {
        return {float(i), float(i % 7) - 3, float(round), 1.0f + float(i % 2)};
    }

    // A round of changes of every kind, different for every round.
    static void change(Database& db, int round) {
        const std::string r = std::to_string(round);
        db.upsert("v1", vec(100 + round, round), Json{{"round", round}});
        db.update("v2", vec(200 + round, round), std::nullopt);
        db.update("v4", std::nullopt, Json{{"meta", r}});
        db.add(cat({"new", r}), vec(300 + round, round), Json{{"new", round}});
        db.remove(cat({"v", num(4 + 3 * round)}));
    }

    // A fresh copy of the saved directory with its log, opened, compacted when asked.
    std::unique_ptr<Database> open_copy() {
        dir_ = cat({root_, "/run", num(++runs_)});
        fs::copy(root_ + "/base", dir_);
        auto db = Database::open(dir_, faulty);
        if (GetParam().compact) db->compact();
        return db;
    }

    // Reopens the directory as a new process would and checks it against the expected state.
    void expect_reopens_to(const Snapshot& expected, const std::string& what) {
        std::unique_ptr<Database> db;
        try {
            db = Database::open(dir_, faulty);
        } catch (const QorelError& e) {
            ADD_FAILURE() << what << ": " << e.what();
            return;
        }
        EXPECT_EQ(snapshot(*db), expected) << what;
        // The recovery is permanent: no graph.tmp is left for a later save to overwrite.
        EXPECT_FALSE(faulty->path_exists(dir_ + "/graph.tmp")) << what;
    }

    std::string root_;
    std::string dir_;
    int runs_ = 0;
};

TEST_P(InterruptedSave, OneInterruptionAtEveryCall) {
    for (bool kill : {false, true}) {
        for (int at = 1;; ++at) {
            auto db = open_copy();
            const Snapshot expected = snapshot(*db);
            if (!save_under(*db, Fault::at(at, kill))) break;
            db.reset();
            expect_reopens_to(expected, cat({kill ? "killed at call " : "failed at call ", num(at)}));
        }
    }
}

TEST_P(InterruptedSave, FailedSaveThenKilledSaveInOneProcess) {
    // The first save fails and the process goes on changing the database; a later save is
    // killed. Every pair of calls.
    int first_calls = 0;
    for (int first = 1;; ++first) {
        bool first_fired = false;
        for (int second = 1;; ++second) {
            auto db = open_copy();
            first_fired = save_under(*db, Fault::at(first, false));
            if (!first_fired) break;
            change(*db, 2);
            if (GetParam().compact) db->compact();
            const Snapshot expected = snapshot(*db);
            if (!save_under(*db, Fault::at(second, true))) {
                // The second save completed, and so must everything it reports.
                db.reset();
                expect_reopens_to(expected, cat({"completed after failing at ", num(first)}));
                break;
            }
            db.reset();
            expect_reopens_to(expected, cat({"failed at ", num(first), ", killed at ", num(second)}));
        }
        if (!first_fired) break;
        ++first_calls;
    }
    // A save after a compaction writes every file; otherwise the small change since the last
    // save is an increment, which takes fewer calls.
    EXPECT_GE(first_calls, GetParam().compact ? 12 : 9);
}

TEST_P(InterruptedSave, ThreeInterruptionsWithAReopenBetween) {
    // Failed, failed again after more changes, reopened by a new process, killed: sampled
    // positions for the first two (before, at and after the replacement of vectors.bin),
    // every call for the last.
    for (int first : {3, 8, 10, 12}) {
        for (int second : {1, 9, 10, 12}) {
            for (int third = 1; third <= 24; ++third) {
                auto db = open_copy();
                // An increment (no compaction) may take fewer calls than the position sampled.
                if (!save_under(*db, Fault::at(first, false))) {
                    ASSERT_FALSE(GetParam().compact) << first;
                    continue;
                }
                change(*db, 2);
                save_under(*db, Fault::at(second, false));
                change(*db, 3);
                const Snapshot expected = snapshot(*db);
                db.reset();
                db = Database::open(dir_, faulty);
                ASSERT_EQ(snapshot(*db), expected);
                if (GetParam().compact) db->compact();
                save_under(*db, Fault::at(third, true));
                db.reset();
                expect_reopens_to(expected, cat({num(first), "/", num(second), "/", num(third)}));
            }
        }
    }
}

TEST_P(InterruptedSave, OpenThatCannotMoveTheGraphIntoPlace) {
    // Kill the save right after vectors.bin is replaced, so that graph.tmp is the graph. A
    // compaction makes the save write every file.
    auto db = open_copy();
    if (!GetParam().compact) db->compact();
    const Snapshot expected = snapshot(*db);
    bool renamed = false;
    save_under(*db, Fault(
                        [&renamed](int, const std::string& call) {
                            const bool after = renamed;
                            renamed = renamed || call == "rename";
                            return after;
                        },
                        true));
    db.reset();
    ASSERT_TRUE(faulty->path_exists(dir_ + "/graph.tmp"));

    // A directory where nothing can be renamed (read-only, say): the open still recovers, in
    // memory, and the next save moves graph.tmp into place before it writes a new one.
    const std::string unsettled = dir_;
    for (int at = 1;; ++at) {
        // Each attempt starts from a copy of the same unsettled directory.
        dir_ = cat({root_, "/pending", num(at)});
        fs::copy(unsettled, dir_);
        std::unique_ptr<Database> handle;
        {
            Fault no_renames([](int, const std::string& call) { return call == "rename"; }, false);
            handle = Database::open(dir_, faulty);
        }
        ASSERT_EQ(snapshot(*handle), expected);
        ASSERT_TRUE(faulty->path_exists(dir_ + "/graph.tmp"));
        change(*handle, 2);
        const Snapshot changed = snapshot(*handle);
        const bool interrupted = save_under(*handle, Fault::at(at, true));
        handle.reset();
        expect_reopens_to(changed, cat({"pending, killed at ", num(at)}));
        if (!interrupted) break;
    }
}

TEST(InterruptedFirstSave, ReopensWithOrWithoutTheSavedFiles) {
    // Before its first save a database lives in its log; a first save stopped after it placed
    // vectors.bin has its graph only in graph.tmp, which the open must take up.
    char tmpl[] = "/tmp/qorel_first_save_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string root = tmpl;
    DatabaseConfig config;
    config.dim = 3;
    config.quantize = true;
    for (int at = 1;; ++at) {
        const std::string dir = cat({root, "/db", num(at)});
        auto db = Database::open_or_create(dir, config, faulty);
        for (int i = 0; i < 10; ++i) db->add(cat({"x", num(i)}), {float(i), 1, 2}, Json{{"i", i}});
        db->remove("x3");
        const Snapshot expected = snapshot(*db);
        const bool interrupted = save_under(*db, Fault::at(at, true));
        db.reset();
        // Opened with a dimension, as a program that creates its database on first use does.
        db = Database::open_or_create(dir, config, faulty);
        EXPECT_EQ(snapshot(*db), expected) << "killed at " << at;
        db.reset();
        if (faulty->path_exists(cat({dir, "/vectors.bin"}))) {
            EXPECT_EQ(snapshot(*Database::open(dir, faulty)), expected) << "killed at " << at;
            EXPECT_FALSE(faulty->path_exists(cat({dir, "/graph.tmp"}))) << "killed at " << at;
        }
        if (!interrupted) break;
    }
    fs::remove_all(root);
}

// A checkpoint that fails at any call leaves the write that asked for it in the log: a reopen
// holds it, and the next checkpoint saves. Bounds the writes have not reached save nothing.
TEST(Checkpoint, FailingAtAnyCallLosesNothingAndTheNextOneSaves) {
    char tmpl[] = "/tmp/qorel_checkpoint_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string root = tmpl;
    DatabaseConfig config;
    config.dim = 3;
    const CheckpointPolicy by_time{1e-12, 0}, by_length{0, 1};
    for (int at = 1;; ++at) {
        const std::string dir = cat({root, "/db", num(at)});
        auto db = Database::open_or_create(dir, config, faulty);
        for (int i = 0; i < 10; ++i) db->add(cat({"x", num(i)}), {float(i), 1, 2}, Json{{"i", i}});
        EXPECT_FALSE(db->checkpoint(CheckpointPolicy::never()));
        EXPECT_FALSE(db->checkpoint({1e9, std::uint64_t{1} << 40}));
        EXPECT_GT(db->stats().wal_bytes, 0u);
        EXPECT_FALSE(db->stats().last_checkpoint);
        db->save();
        db->upsert("x1", {9, 9, 9}, std::nullopt);
        db->remove("x2");
        const Snapshot expected = snapshot(*db);
        bool failed = false, fired = false;
        {
            Fault fault = Fault::at(at, false);
            try {
                EXPECT_TRUE(db->checkpoint(at % 2 ? by_time : by_length));
            } catch (const QorelError&) {
                failed = true;
            }
            fired = fault.fired();
            EXPECT_TRUE(fired || !failed);
        }
        if (failed) {
            db.reset();
            db = Database::open(dir, faulty);
            EXPECT_EQ(snapshot(*db), expected) << "failed at " << at;
            EXPECT_TRUE(db->checkpoint(by_time)) << "failed at " << at;  // the replay counts
        }
        EXPECT_EQ(db->stats().wal_bytes, 0u);
        EXPECT_TRUE(db->stats().last_checkpoint);
        EXPECT_FALSE(faulty->path_exists(db->wal_path()));
        db.reset();
        EXPECT_EQ(snapshot(*Database::open(dir, faulty)), expected) << "failed at " << at;
        if (!fired) break;
    }
    fs::remove_all(root);
}

// ---- Power cuts, in memory: each operation is cut off at every file-system call in turn (that
// call and all later ones fail), then either the process is gone (the files keep what it wrote)
// or the power too (MemEnv::crash keeps only what was synced). The reopened database holds the
// state before the operation or after it; an operation that returned keeps its result unless
// only the power cut could take it (changes since the last save live in an unsynced log).

struct PowerCutCase {
    const char* name;
    // Fills the new database; returns the state a power cut right afterwards would leave.
    std::function<Snapshot(Database&)> setup;
    std::function<void(Database&)> op;
    bool durable;  // once it returns, the result survives a power cut too
};

std::vector<float> row(int i) { return {float(i), float(i % 5), 1.0f, float(i % 3) - 1}; }

// Long enough that a batch of 200 fills the log writer's buffer.
std::string long_id(const std::string& prefix, int i) { return cat({prefix, "-with-an-identifier-of-some-length-", num(i)}); }

// `count` rows with metadata, as one batch.
void add_rows(Database& db, const std::string& prefix, int first, int count) {
    std::vector<std::string> ids;
    RowBlock rows;
    std::vector<std::optional<Json>> metadata;
    for (int i = first; i < first + count; ++i) {
        ids.push_back(long_id(prefix, i));
        rows.add(row(i));
        metadata.emplace_back(Json{{"i", i}});
    }
    db.add_many(std::move(ids), std::move(rows), std::move(metadata));
}

Snapshot saved_rows(Database& db) {
    add_rows(db, "r", 0, 240);
    for (int i = 0; i < 240; i += 6) db.remove(long_id("r", i));
    db.save();
    return snapshot(db);
}

void expect_power_cuts_keep_old_or_new(const PowerCutCase& c) {
    DatabaseConfig config;
    config.dim = 4;
    config.m = 4;
    Snapshot after;
    for (int at = 0;; ++at) {  // 0: no cut, which gives the state after
        bool fired = false;
        for (const bool power : {false, true}) {
            auto mem = std::make_shared<MemEnv>();
            auto env = std::make_shared<FaultEnv>(mem);
            auto db = Database::open_or_create("/db", config, env);
            const Snapshot durable = c.setup(*db);
            const Snapshot before = snapshot(*db);
            {
                Fault cut = Fault::at(at, true, *env);
                try {
                    c.op(*db);
                } catch (const QorelError& e) {
                    EXPECT_TRUE(cut.fired()) << e.what();
                }
                fired = cut.fired();
                if (!fired) after = snapshot(*db);
                db.reset();  // still cut off: whatever it writes on closing is lost too
            }
            if (power) mem->crash();
            const std::string what = cat({c.name, power ? ", power cut at call " : ", killed at call ", num(at)});
            try {
                const Snapshot got = snapshot(*Database::open("/db", env));
                if (!fired && (!power || c.durable)) {
                    EXPECT_EQ(got, after) << what;
                } else {
                    EXPECT_TRUE(got == (power ? durable : before) || got == after) << what;
                }
            } catch (const QorelError& e) {
                ADD_FAILURE() << what << ": " << e.what();
            }
        }
        if (at > 0 && !fired) break;
    }
}

TEST(PowerCut, EveryCallOfAnOperationKeepsTheOldOrTheNewState) {
    const PowerCutCase cases[] = {
        {"save",
         [](Database& db) {
             const Snapshot saved = saved_rows(db);
             add_rows(db, "new", 0, 50);
             db.remove(long_id("r", 1));
             db.update(long_id("r", 2), row(1000), Json{{"updated", true}});
             return saved;
         },
         [](Database& db) { db.save(); }, true},
        // Batches larger than the writer's buffer reach the log in several writes.
        {"add_many", saved_rows, [](Database& db) { add_rows(db, "batch", 0, 200); }, false},
        {"delete_many", saved_rows,
         [](Database& db) {
             std::vector<std::string> ids;
             for (int i = 0; i < 240; ++i) ids.push_back(long_id("r", i));
             EXPECT_EQ(db.remove_many(ids), 200u);
         },
         false},
        {"compact and save", saved_rows,
         [](Database& db) {
             db.compact();
             db.save();
         },
         true},
    };
    for (const PowerCutCase& c : cases) expect_power_cuts_keep_old_or_new(c);
}

// ---- Readers beside the writer. Every generation gives each id the same components in another
// order and adds no slot, so the vectors files of two saves (before a compaction) have the same
// length and norms: only the whole contents tell them apart.

constexpr int kReaderIds = 40;

std::vector<float> generation_row(int i, int generation) {
    const float parts[4] = {float(i % 7 + 1), 2.0f, 3.0f, float(i % 3 + 5)};
    std::vector<float> out(4);
    for (int k = 0; k < 4; ++k) out[k] = parts[(k + generation) % 4];
    return out;
}

// Replaces the vectors of ids `generation` and on, then deletes the first of them for good;
// `after` runs after each of the two calls.
void write_generation(Database& db, int generation, const std::function<void()>& after = [] {}) {
    std::vector<std::string> ids;
    RowBlock rows;
    std::vector<std::optional<Json>> metadata;
    for (int i = generation; i < kReaderIds; ++i) {
        ids.push_back(long_id("g", i));
        rows.add(generation_row(i, generation));
        metadata.emplace_back(Json{{"generation", generation}});
    }
    db.upsert_many(std::move(ids), std::move(rows), std::move(metadata));
    after();
    db.remove(long_id("g", generation));
    after();
}

std::unique_ptr<Database> open_reader(const std::shared_ptr<Env>& env) {
    return Database::open("/db", env, OpenMode::ReadOnly);
}

std::unique_ptr<Database> reader_test_writer(const std::shared_ptr<Env>& env) {
    DatabaseConfig config;
    config.dim = 4;
    config.m = 4;
    config.metric = Metric::Euclidean;
    auto db = Database::open_or_create("/db", config, env);
    write_generation(*db, 0);
    db->save();
    write_generation(*db, 1);  // in the log only
    return db;
}

// A reader opened before each file-system call of the writer (saves between their renames, a
// save that failed there and left graph.tmp as the graph, the log's deletion and its appends,
// a batch part-written) sees the state the writer had then, and itself calls nothing that
// changes a file.
TEST(Reader, OpenedAtEveryCallOfTheWriterSeesItsStateAndChangesNothing) {
    auto env = std::make_shared<FaultEnv>(std::make_shared<MemEnv>());
    auto writer = reader_test_writer(env);
    Snapshot expected = snapshot(*writer);
    bool reading = false;
    int reads = 0;
    std::string fail_before;  // "call file" of a call to fail once, after the reader has looked
    env->set_hook([&](const char* call, const std::string& path) {
        const std::string what = cat({call, " ", fs::path(path).filename().string()});
        ASSERT_FALSE(reading) << "the reader called " << what;
        reading = true;
        try {
            EXPECT_EQ(snapshot(*open_reader(env)), expected) << "before " << what;
        } catch (const QorelError& e) {
            ADD_FAILURE() << "before " << what << ": " << e.what();
        }
        reading = false;
        ++reads;
        if (what == fail_before) {
            fail_before.clear();
            throw QorelError::io_errno(ENOSPC);
        }
    });
    const auto changed = [&] { expected = snapshot(*writer); };
    writer->save();
    write_generation(*writer, 2, changed);
    writer->compact();
    writer->save();
    // A save that fails before its last rename: graph.tmp stays the graph of vectors.bin, and
    // the writer goes on appending to the log it kept.
    write_generation(*writer, 3, changed);
    fail_before = "rename graph.qorel";
    EXPECT_THROW(writer->save(), QorelError);
    EXPECT_TRUE(env->file_exists("/db/graph.tmp"));
    write_generation(*writer, 4, changed);
    env->set_hook({});
    EXPECT_EQ(snapshot(*open_reader(env)), expected);
    EXPECT_GT(reads, 30);
}

// Runs `land` once, just before the reader's open reaches `file` (mapped or opened for reading):
// a save landing in the middle of a reader's open.
class MidReadEnv final : public Env {
public:
    MidReadEnv(std::shared_ptr<Env> inner, std::string file, std::function<void()> land)
        : inner_(std::move(inner)), file_(std::move(file)), land_(std::move(land)) {}

    bool path_exists(const std::string& p) override { return inner_->path_exists(p); }
    bool file_exists(const std::string& p) override { return inner_->file_exists(p); }
    bool is_directory(const std::string& p) override { return inner_->is_directory(p); }
    std::uint64_t file_size(const std::string& p) override { return inner_->file_size(p); }
    std::optional<FileId> file_id(const std::string& p) override { return inner_->file_id(p); }
    std::optional<std::string> real_path(const std::string& p) override { return inner_->real_path(p); }
    std::unique_ptr<ReadableFile> open_readable(const std::string& p) override {
        reach(p);
        return inner_->open_readable(p);
    }
    MappedFile map_file(const std::string& p) override {
        reach(p);
        return inner_->map_file(p);
    }
    std::unique_ptr<WritableFile> open_writable(const std::string& p, WriteMode m) override {
        return inner_->open_writable(p, m);
    }
    void rename_file(const std::string& f, const std::string& t) override { inner_->rename_file(f, t); }
    bool remove_file_if_exists(const std::string& p) override { return inner_->remove_file_if_exists(p); }
    void make_directory(const std::string& p) override { inner_->make_directory(p); }
    void sync_directory(const std::string& p) override { inner_->sync_directory(p); }
    void truncate_file(const std::string& p, std::uint64_t n) override { inner_->truncate_file(p, n); }
    LockAttempt try_lock(const std::string& p, LockMode m) override { return inner_->try_lock(p, m); }

    bool landed() const { return !land_; }

    // Opens and maps of a file of this name so far.
    int reached(const std::string& file) const {
        auto it = reached_.find(file);
        return it == reached_.end() ? 0 : it->second;
    }

private:
    void reach(const std::string& p) {
        ++reached_[fs::path(p).filename().string()];
        if (!land_ || fs::path(p).filename() != file_) return;
        auto land = std::move(land_);
        land_ = nullptr;
        land();
    }

    std::shared_ptr<Env> inner_;
    std::string file_;
    std::function<void()> land_;
    std::map<std::string, int> reached_;
};

// A save (and the new log after it) lands while a reader has read the graph but not yet the
// vectors or the log: the reader reads again and sees the newest state, never the old graph
// with the new vectors or the new log. refresh() then moves it on, and changes are refused.
TEST(Reader, ReadsAgainWhenASaveLandsMidRead) {
    for (const std::string file : {"vectors.bin", "wal.qorel"}) {
        auto mem = std::make_shared<MemEnv>();
        auto writer = reader_test_writer(mem);
        auto env = std::make_shared<MidReadEnv>(mem, file, [&] {
            write_generation(*writer, 2);
            writer->save();
            write_generation(*writer, 3);
        });
        auto reader = open_reader(env);
        ASSERT_TRUE(env->landed()) << file;
        EXPECT_EQ(snapshot(*reader), snapshot(*writer)) << file;

        write_generation(*writer, 4);
        writer->save();
        write_generation(*writer, 5);
        reader->refresh();
        EXPECT_EQ(snapshot(*reader), snapshot(*writer)) << file;
        EXPECT_TRUE(reader->read_only());
        try {
            write_generation(*reader, 6);
            ADD_FAILURE() << "a read-only database took a change";
        } catch (const QorelError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::ReadOnly);
        }
    }
}

// Between saves the log only grows: refresh() applies the records past those it applied and
// reads no data file again, and after a save it reads the new files.
TEST(Reader, RefreshAppliesOnlyWhatTheLogGained) {
    auto mem = std::make_shared<MemEnv>();
    auto writer = reader_test_writer(mem);
    auto env = std::make_shared<MidReadEnv>(mem, "", nullptr);
    auto reader = open_reader(env);
    const int graph_reads = env->reached("graph.qorel"), vector_reads = env->reached("vectors.bin");
    for (int generation = 2; generation < 5; ++generation) {
        write_generation(*writer, generation);
        reader->refresh();
        EXPECT_EQ(snapshot(*reader), snapshot(*writer)) << generation;
    }
    EXPECT_EQ(env->reached("graph.qorel"), graph_reads);
    EXPECT_EQ(env->reached("vectors.bin"), vector_reads);
    writer->save();
    write_generation(*writer, 5);
    reader->refresh();
    EXPECT_EQ(snapshot(*reader), snapshot(*writer));
    EXPECT_GT(env->reached("graph.qorel"), graph_reads);
}

INSTANTIATE_TEST_SUITE_P(Configs, InterruptedSave,
                         ::testing::Values(Config{false, false}, Config{true, false}, Config{false, true},
                                           Config{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.quantize ? "Quantized" : "Plain") +
                                    (info.param.compact ? "Compacted" : "");
                         });

}  // namespace
}  // namespace qorel
