// Fuzz target for the storage loader: arbitrary bytes as "graph.qorel", with a vectors file
// and a quantized file cut from the same input, must load or fail with an error, never crash
// or read out of range. After a successful load a search runs over whatever came back, and
// the directory is opened as a database whose writes then link new and changed vectors into
// the loaded graph.
//
// Built by CMake with -DQOREL_FUZZ=ON (clang); scripts/check_fuzz.sh runs it from the seed
// corpus in tests/fuzz/corpus/graph_fuzz (written by tests/fuzz/make_seeds.py).
// The input is the graph file, then 0xFF 0xFE, then the vectors file, then 0xFF 0xFE, then the
// quantized file (each separator optional).

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "db/database.h"
#include "storage/storage.h"

using namespace qorel;

namespace {

Env& posix = *Env::posix();

std::string dir() {
    static std::string d = [] {
        char tmpl[] = "/tmp/graph_fuzz_XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return d;
}

void put(const std::string& path, const std::uint8_t* p, std::size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (n) std::fwrite(p, 1, n, f);
    std::fclose(f);
}

// Splits at the first two-byte separator 0xFF 0xFE.
std::size_t split(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i + 1 < n; ++i)
        if (p[i] == 0xFF && p[i + 1] == 0xFE) return i;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Storage st = Storage::make(posix, dir());
    std::size_t a = split(data, size);
    put(st.graph_path, data, a);
    const std::uint8_t* rest = data + std::min(size, a + 2);
    std::size_t rest_n = a + 2 <= size ? size - a - 2 : 0;
    std::size_t b = split(rest, rest_n);
    put(st.vectors_path, rest, b);
    if (b + 2 <= rest_n)
        put(st.quantized_path, rest + b + 2, rest_n - b - 2);
    else
        std::remove(st.quantized_path.c_str());
    std::size_t dim = 0;
    try {
        LoadedStorage loaded = load_storage(st);
        dim = loaded.index.dim();
        // A graph without nodes may claim any dimension: size the query only once it is small.
        if (dim <= 4096) {
            const std::vector<float> q(dim, 0.5f);
            loaded.index.search(q, 5, 20);
            loaded.index.search_graph(q, 5, 20);
        }
    } catch (const QorelError&) {
        return 0;
    }
    if (dim > 64) return 0;

    // The writes below go to the log; the next input must not replay them.
    const std::string wal = join_path(dir(), "wal.qorel");
    try {
        std::unique_ptr<Database> db = Database::open(dir());
        const std::vector<float> v(dim, 0.25f);
        db->search(v, 5, 20, nullptr, std::nullopt);
        db->count(nullptr);
        db->stats();
        const std::vector<std::string> ids = db->ids();
        if (!ids.empty()) {
            db->get(ids.front());
            db->upsert(ids.front(), std::vector<float>(dim, -1.0f), Json{{"k", 1}});
            db->remove(ids.back());
        }
        db->upsert("fuzz", v, std::nullopt);
        db->search(v, 5, 20, nullptr, std::nullopt);
        db->stats();
    } catch (const QorelError&) {
    }
    std::remove(wal.c_str());
    return 0;
}
