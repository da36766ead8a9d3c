// Fuzz target for the storage loader: arbitrary bytes as "graph.qorel", with a vectors file
// and a quantized file cut from the same input, must load or fail with an error, never crash
// or read out of range. After a successful load a search runs over whatever came back.
//
// Build and run (clang with libFuzzer; from the repository root):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
//     -I src/core -isystem build/dev/_deps/simsimd/simsimd-6.5.16/include -DSIMSIMD_DYNAMIC_DISPATCH=0 \
//     -DSIMSIMD_NATIVE_F16=0 -DSIMSIMD_NATIVE_BF16=0 tests/fuzz/graph_fuzz.cc src/core/storage/*.cc \
//     src/core/hnsw/*.cc src/core/distance.cc src/core/quantizer.cc src/core/parallel.cc src/core/error.cc \
//     -ltbb -o /tmp/graph_fuzz
//   mkdir -p /tmp/graph_corpus && /tmp/graph_fuzz -max_total_time=180 /tmp/graph_corpus
// Seed the corpus with saved databases: the input is the graph file, then 0xFF 0xFE, then the
// vectors file, then 0xFF 0xFE, then the quantized file (each separator optional).

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "storage/storage.h"

using namespace qorel;

namespace {

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
    const Storage st = Storage::make(dir());
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
    try {
        LoadedStorage loaded = load_storage(st);
        const std::vector<float> q(loaded.index.dim(), 0.5f);
        if (loaded.index.dim() <= 4096) {
            loaded.index.search(q, 5, 20);
            loaded.index.search_graph(q, 5, 20);
        }
    } catch (const QorelError&) {
    }
    return 0;
}
