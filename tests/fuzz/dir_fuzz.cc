// Fuzz target for opening a whole database directory: one input is cut into "graph.qorel",
// "vectors.bin", "vectors.sq8", "wal.qorel" and "graph.tmp" (the graph of a save interrupted
// between its renames), each part ending at the separator kSeparator; a missing or empty part
// is a missing file. Opening must succeed or throw QorelError, never crash, read out of range
// or allocate without bound. What opens must then be usable and keep its state through a save
// and a second open.
//
// Built by CMake with -DQOREL_FUZZ=ON (clang); scripts/check_fuzz.sh runs it from the seed
// corpus in tests/fuzz/corpus/dir_fuzz, which holds directories written by the engine.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/database.h"
#include "storage/files.h"
#include "storage/storage.h"
#include "fuzz_check.h"

using namespace qorel;

namespace {

Env& posix = *Env::posix();

constexpr std::string_view kSeparator = "\xffQS\xfe";

const std::string& dir() {
    static const std::string d = [] {
        char tmpl[] = "/tmp/dir_fuzz_XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return d;
}

void clear() {
    for (const auto& entry : std::filesystem::directory_iterator(dir())) std::filesystem::remove_all(entry.path());
}

std::vector<std::string_view> parts(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> out;
    while (out.size() < 5) {
        const std::size_t cut = rest.find(kSeparator);
        out.push_back(rest.substr(0, cut));
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + kSeparator.size());
    }
    return out;
}

// Every stored id with its vector and metadata, read through the public calls.
std::map<std::string, std::pair<std::vector<float>, std::optional<Json>>> snapshot(const Database& db) {
    std::map<std::string, std::pair<std::vector<float>, std::optional<Json>>> out;
    for (const std::string& id : db.ids()) out[id] = db.get(id);
    return out;
}

bool same(const decltype(snapshot(std::declval<const Database&>()))& a,
          const decltype(snapshot(std::declval<const Database&>()))& b) {
    if (a.size() != b.size()) return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
        if (ia->first != ib->first || ia->second.second != ib->second.second) return false;
        const auto& va = ia->second.first;
        const auto& vb = ib->second.first;
        // Bitwise, so that a stored NaN compares equal to itself.
        if (va.size() != vb.size() || std::memcmp(va.data(), vb.data(), va.size() * 4) != 0) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    clear();
    const Storage st = Storage::make(posix, dir());
    const std::string names[5] = {st.graph_path, st.vectors_path, st.quantized_path, join_path(dir(), "wal.qorel"),
                                  temporary_path(st.graph_path)};
    const std::vector<std::string_view> files = parts(data, size);
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].empty()) continue;
        BufferedFileWriter out(posix, names[i], BufferedFileWriter::Mode::Truncate);
        out.write(files[i].data(), files[i].size());
        out.close();
    }

    std::unique_ptr<Database> db;
    try {
        db = Database::open(dir());
    } catch (const QorelError&) {
        return 0;
    }
    // A graph without nodes may claim any dimension; keep the writes below small.
    if (db->dim() > 256) return 0;
    const std::size_t dim = db->dim();
    check(db->len() == db->ids().size());
    check(db->count(nullptr) == db->len());
    const std::vector<float> q(dim, 0.5f);
    // A damaged graph that still loads may be disconnected, so fewer hits than k are possible.
    check(db->search(q, 4, 16, nullptr, std::nullopt).size() <= 4);
    db->stats();

    const std::vector<std::string> ids = db->ids();
    if (!ids.empty()) {
        db->update(ids.front(), std::vector<float>(dim, -1.0f), Json{{"k", 1}});
        db->remove(ids.back());
    }
    db->upsert("fuzz", q, std::nullopt);
    db->compact();
    check(db->len() == db->ids().size());

    // What a save wrote opens to the same state, with or without the log it replaced.
    const auto before = snapshot(*db);
    // Every file of the input is a regular file the save may replace: a failure is a fault.
    db->save();
    db.reset();
    std::unique_ptr<Database> again = Database::open(dir());
    check(same(before, snapshot(*again)));
    return 0;
}
