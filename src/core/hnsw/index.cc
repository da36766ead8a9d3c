#include "index.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

#include "blas.h"
#include "codec.h"
#include "huge_pages.h"
#include "parallel.h"
#include "spinlock.h"
#include "walk_impl.h"

namespace qorel {

namespace {

std::atomic<bool> g_brute_force_hint_shown{false};

// Per-thread generator seeded from the operating system and reseeded now and then, so that
// levels (and with them the exact graph) are not reproducible from run to run.
struct LevelRng {
    std::mt19937_64 engine;
    std::uint64_t draws = 0;
    LevelRng() { reseed(); }
    void reseed() {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd()};
        engine.seed(seq);
        draws = 0;
    }
    std::uint64_t next() {
        if (++draws >= (1u << 20)) reseed();
        return engine();
    }
};

}  // namespace

[[gnu::noinline]] SearchScratch& detail::scratch() {
    thread_local SearchScratch s;
    return s;
}

void show_brute_force_hint_once() {
    // The hint only suggests what this build lacks: a build with BLAS stays silent.
    if (blas_enabled()) return;
    if (g_brute_force_hint_shown.exchange(true)) return;
    std::fputs(
        "qorel: brute-force search would be ~5x faster with BLAS. Install it with:\n"
        "  sudo apt install libopenblas-dev   # Debian/Ubuntu\n"
        "  sudo dnf install openblas-devel    # Fedora/RHEL\n"
        "  Then rebuild: pip install --force-reinstall qorel\n",
        stderr);
    std::fflush(stderr);
}

HnswIndex::HnswIndex(std::size_t dim, Metric metric, std::size_t m, std::size_t ef_construction)
    : dim_(dim),
      metric_(metric),
      m_(m),
      m_max0_(2 * m),
      ef_construction_(ef_construction),
      ml_(1.0 / std::log(static_cast<double>(m))),
      dist_fn_(distance_fn(metric)),
      stride0_(layer0_words(m)),
      stride_up_(upper_words(m)) {}

std::vector<Slot> HnswIndex::neighbours(Slot s, std::size_t layer) const {
    if (s >= node_count() || layer > levels_[s]) return {};
    ListLock guard(lock_word(s, layer));
    const std::uint32_t* p = list_ptr(s, layer);
    return std::vector<Slot>(p + 1, p + 1 + p[0]);
}

void HnswIndex::encode_node(Slot s, std::vector<std::uint8_t>& out) const {
    const std::size_t layers = std::size_t{levels_[s]} + 1;
    ByteWriter w(out);
    w.u32(static_cast<std::uint32_t>(layers));
    for (std::size_t layer = 0; layer < layers; ++layer) {
        ListLock guard(lock_word(s, layer));
        const std::uint32_t* p = list_ptr(s, layer);
        w.raw(p, (std::size_t{p[0]} + 1) * 4);  // the length, then the slots
    }
}

void HnswIndex::forget_changes() {
    std::fill(lists_changed_.begin(), lists_changed_.end(), std::uint8_t{0});
    rows_changed_.clear();
    deleted_since_save_.clear();
    records_changed_.clear();
    changed_wholly_ = false;
}

std::size_t HnswIndex::neighbour_count(Slot s, std::size_t layer) const {
    if (s >= node_count() || layer > levels_[s]) return 0;
    ListLock guard(lock_word(s, layer));
    return list_ptr(s, layer)[0];
}

std::size_t HnswIndex::random_level() const {
    thread_local LevelRng rng;
    const double r = static_cast<double>(rng.next() >> 11) * 0x1.0p-53;
    const double level = -std::log(r) * ml_;
    // r == 0 gives +inf and m < 2 gives an infinite or negative multiplier: saturate at the cap.
    if (!(level >= 0.0)) return 0;
    if (level >= static_cast<double>(kMaxLevel)) return kMaxLevel;
    return static_cast<std::size_t>(level);
}

void HnswIndex::append_node(std::size_t level) {
    links0_.resize(links0_.size() + stride0_, 0);
    append_levels(level);
}

void HnswIndex::append_levels(std::size_t level) {
    levels_.push_back(static_cast<std::uint8_t>(level));
    lists_changed_.push_back(1);
    up_first_.push_back(static_cast<std::uint32_t>(upper_blocks_));
    if (level > 0) {
        upper_blocks_ += level;
        links_up_.resize(upper_blocks_ * stride_up_, 0);
    }
}

bool HnswIndex::mark_deleted(Slot s) {
    if (s >= node_count()) return false;
    if (!deleted_.insert(s).second) return false;
    deleted_since_save_.push_back(s);
    if (deleted_bits_.size() <= s / 64) deleted_bits_.resize(s / 64 + 1, 0);
    deleted_bits_[s / 64] |= std::uint64_t{1} << (s % 64);
    active_count_.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

void HnswIndex::enable_quantized_search() {
    if (node_count() == 0) return;
    QuantizedSearch q;
    q.quantizer = ScalarQuantizer::train(vectors_.all(), dim_);
    const std::size_t rows = vectors_.count() / dim_;
    std::uint8_t* codes = q.codes.extend(rows * dim_);
    for (std::size_t r = 0; r < rows; ++r) q.quantizer.quantize_into(vectors_.row(r, dim_), codes + r * dim_);
    quantized_ = std::move(q);
}

void HnswIndex::load_quantized(ScalarQuantizer quantizer, CodeStore codes) {
    quantized_ = QuantizedSearch{std::move(quantizer), std::move(codes)};
}

void HnswIndex::load_reserve(std::size_t nodes, std::size_t upper_lists) {
    links0_.reserve(nodes * stride0_);
    levels_.reserve(nodes);
    up_first_.reserve(nodes);
    links_up_.reserve(upper_lists * stride_up_);
    // Loading writes every layer-0 list once: on huge pages that is a few faults, not one per
    // 4 KiB, and searches afterwards walk the lists with fewer translation misses.
    advise_huge_pages(links0_.data(), links0_.capacity() * sizeof(std::uint32_t));
}

void HnswIndex::load_append_node(std::size_t level) {
    QOREL_ASSERT(level <= kMaxLevel, "node level out of range");
    append_node(level);
}

void HnswIndex::load_set_list(Slot s, std::size_t layer, std::span<const Slot> ids) {
    QOREL_ASSERT(s < node_count() && layer <= levels_[s] && ids.size() <= limit(layer) + 1, "list out of range");
    std::uint32_t* p = writable_list(s, layer);
    p[0] = static_cast<std::uint32_t>(ids.size());
    std::copy(ids.begin(), ids.end(), p + 1);
}

void HnswIndex::load_finish(VectorStore store, std::vector<float> norms, std::unordered_set<Slot> deleted,
                            Slot entry_point, std::size_t max_layer) {
    vectors_ = std::move(store);
    norms_ = std::move(norms);
    deleted_ = std::move(deleted);
    deleted_bits_.clear();
    for (Slot s : deleted_) {
        QOREL_ASSERT(s < node_count(), "deleted slot out of range");
        if (deleted_bits_.size() <= s / 64) deleted_bits_.resize(s / 64 + 1, 0);
        deleted_bits_[s / 64] |= std::uint64_t{1} << (s % 64);
    }
    entry_point_ = entry_point;
    max_layer_ = max_layer;
    active_count_.store(node_count() - deleted_.size());
    // Counted at the first change instead: opening stays a read of the file.
    in_degree_.clear();
    in_edges_counted_ = false;
}

std::size_t HnswIndex::graph_memory_bytes() const {
    return links0_.capacity() * 4 + links_up_.capacity() * 4 + levels_.capacity() + up_first_.capacity() * 4;
}

std::uint64_t HnswIndex::node_record_bytes(std::uint64_t nodes, std::uint64_t upper_lists, std::uint64_t m) {
    // Per node: its layer-0 block, its level and the index of its first upper block.
    const std::uint64_t per_node = layer0_words(m) * sizeof(decltype(links0_)::value_type) +
                                   sizeof(decltype(levels_)::value_type) + sizeof(decltype(up_first_)::value_type);
    const std::uint64_t per_upper_list = upper_words(m) * sizeof(decltype(links_up_)::value_type);
    return nodes * per_node + upper_lists * per_upper_list;
}

void HnswIndex::adopt_vectors(std::unique_ptr<PrivateRegion> region) {
    const std::size_t floats = vectors_.count();
    QOREL_ASSERT(region && region->size() >= floats * sizeof(float), "region shorter than the stored rows");
    vectors_ = VectorStore::in_region(std::move(region), floats);
}

}  // namespace qorel
