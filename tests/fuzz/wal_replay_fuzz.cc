// Fuzz target for log replay: arbitrary bytes as "wal.qorel" next to a small saved database.
// Opening must never crash, and the state it gives must be what the log's intact records say,
// applied in order over the saved state (checked against a plain map). A write after the open
// must then survive a second open: new records never land behind a damaged tail.
//
// Built by CMake with -DQOREL_FUZZ=ON (clang); scripts/check_fuzz.sh runs it from the seed
// corpus in tests/fuzz/corpus/wal_replay_fuzz, which holds logs written by the engine.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "db/database.h"
#include "storage/files.h"
#include "storage/storage.h"
#include "storage/wal.h"
#include "fuzz_check.h"

using namespace qorel;

namespace {

Env& posix = *Env::posix();

constexpr std::uint64_t kDim = 4;

struct Row {
    std::vector<float> vector;
    std::optional<Json> metadata;
};

using Model = std::map<std::string, Row>;

std::vector<float> base_vector(int i) {
    return {static_cast<float>(i), 1.0f, static_cast<float>(i % 3), -0.5f};
}

// The saved state every input starts from; the ids match the logs of the seed corpus.
Model base_model() {
    Model m;
    for (int i = 0; i < 12; ++i)
        m["v" + std::to_string(i)] = {base_vector(i), i % 2 ? std::optional<Json>(Json{{"i", i}}) : std::nullopt};
    return m;
}

const std::string& dir() {
    static const std::string d = [] {
        char tmpl[] = "/tmp/wal_replay_fuzz_XXXXXX";
        std::string path(mkdtemp(tmpl));
        DatabaseConfig config;
        config.dim = kDim;
        config.m = 4;
        config.ef_construction = 16;
        std::unique_ptr<Database> db = Database::open_or_create(path, config);
        for (auto& [id, row] : base_model()) db->add(id, row.vector, row.metadata);
        db->save();
        return path;
    }();
    return d;
}

bool finite(const std::vector<float>& v) {
    for (float x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

// The log's intact records applied to the saved state. Ids that ever received a non-finite
// vector are left out of the comparison: whether replay keeps such a record is a policy of its
// own, checked elsewhere.
Model expected_state(std::span<const std::uint8_t> log, std::set<std::string>& unchecked) {
    Model m = base_model();
    for (WalEntry& entry : parse_wal(log).entries) {
        if (auto* e = std::get_if<WalEntry::Insert>(&entry.op)) {
            if (e->vector.size() != kDim) continue;
            if (!finite(e->vector)) unchecked.insert(e->id);
            m[e->id] = {e->vector, e->metadata};
        } else if (auto* d = std::get_if<WalEntry::Delete>(&entry.op)) {
            m.erase(d->id);
        } else if (auto* u = std::get_if<WalEntry::Update>(&entry.op)) {
            auto it = m.find(u->id);
            if (it == m.end()) continue;
            if (u->vector && u->vector->size() == kDim) {
                if (!finite(*u->vector)) unchecked.insert(u->id);
                it->second.vector = *u->vector;
            }
            if (u->has_metadata_change) it->second.metadata = u->new_metadata;
        }
    }
    return m;
}

void compare(Database& db, const Model& want, const std::set<std::string>& unchecked) {
    std::set<std::string> got;
    for (std::string& id : db.ids())
        if (!unchecked.count(id)) got.insert(std::move(id));
    std::set<std::string> wanted;
    for (const auto& [id, row] : want)
        if (!unchecked.count(id)) wanted.insert(id);
    check(got == wanted);
    for (const std::string& id : wanted) {
        auto [vector, metadata] = db.get(id);
        const Row& row = want.at(id);
        check(vector.size() == kDim && std::memcmp(vector.data(), row.vector.data(), kDim * 4) == 0);
        check(metadata == row.metadata);
    }
}

// Everything but the saved data files goes before the next input (the log, and any file
// replay keeps aside).
void reset() {
    const Storage st = Storage::make(posix, dir());
    for (const auto& entry : std::filesystem::directory_iterator(dir())) {
        const std::string p = entry.path().string();
        if (p != st.graph_path && p != st.vectors_path) std::filesystem::remove_all(entry.path());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string wal = join_path(dir(), "wal.qorel");
    {
        BufferedFileWriter out(posix, wal, BufferedFileWriter::Mode::Truncate);
        out.write(data, size);
        out.close();
    }
    std::set<std::string> unchecked;
    const Model want = expected_state({data, size}, unchecked);
    {
        std::unique_ptr<Database> db = Database::open(dir());
        compare(*db, want, unchecked);
        check(db->len() == db->ids().size());
        const std::vector<float> q{0.5f, 0.5f, 0.5f, 0.5f};
        check(db->search(q, 3, 10, nullptr, std::nullopt).size() == std::min<std::size_t>(3, db->len()));
        db->upsert("after-replay", q, Json{{"fresh", true}});
    }
    {
        std::unique_ptr<Database> db = Database::open(dir());
        check(db->contains("after-replay"));
        Model again = want;
        again["after-replay"] = {{0.5f, 0.5f, 0.5f, 0.5f}, Json{{"fresh", true}}};
        compare(*db, again, unchecked);
    }
    reset();
    return 0;
}
