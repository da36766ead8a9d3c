// Keyword search over the full-text index, and its fusion with the vector search.

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "metadata/flat_text.h"
#include "parallel.h"
#include "search_internal.h"
#include "storage/metadata_text.h"

namespace qorel {

namespace {

// A field name longer than this is refused: the name is a metadata key, and text.qorel bounds
// what it reads by it.
constexpr std::size_t kMaxFieldBytes = std::size_t{1} << 16;

void check_hybrid(const HybridOptions& options) {
    if (!(options.weight >= 0.0 && options.weight <= 1.0))
        throw std::invalid_argument("weight must be between 0 and 1");
}

}  // namespace

void Database::enable_text_index(std::string field, bool stem) {
    check_writable();
    if (field.empty()) throw std::invalid_argument("the text index needs a field name");
    if (field.size() > kMaxFieldBytes) throw std::invalid_argument("field name too long");
    if (utf8_error_offset(field)) throw std::invalid_argument("field name is not valid UTF-8");
    SharedLock gate(save_gate_);
    MutexLock turn(wal_mutex_);
    TextConfig wanted{std::move(field), stem};
    if (text_index_.read()->config() == wanted) return;
    std::vector<WalEntry> records;
    records.emplace_back(WalEntry::EnableText{std::move(wanted.field), stem});
    commit(std::move(records));
}

std::optional<TextConfig> Database::text_index_config() const { return text_index_.read()->config(); }

void Database::build_text_index(TextIndex& text, const HnswIndex& index, const MetadataStore& meta) {
    if (!text.config()) return;
    const std::string& field = text.config()->field;
    const std::size_t n = std::min(index.node_count(), meta.size());
    for (Slot s = 0; s < n; ++s) {
        if (index.is_deleted(s)) continue;
        if (const std::optional<std::string_view> stored = meta.stored_text(s)) {
            // A flat text hands over the member's characters as they are (the subset has no
            // escapes); anything else is parsed into a value that is dropped at once, so that
            // building keeps no decoded row.
            std::optional<std::string_view> found;
            const bool flat = scan_flat_object(*stored, [&](const FlatMember& m) {
                if (m.key == field && m.kind == FlatKind::String) found = m.value.substr(1, m.value.size() - 2);
            });
            if (flat) {
                if (found) text.index(s, *found);
                continue;
            }
            const std::optional<Json> row = parse_metadata_text(
                std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(stored->data()), stored->size()));
            text.index_metadata(s, row ? &*row : nullptr);
        } else if (const std::optional<Json>& row = meta[s]) {
            text.index_metadata(s, &*row);
        }
    }
}

void Database::ensure_text_index(const HnswIndex& index, const MetadataStore& meta) const {
    if (text_index_ready_.load(std::memory_order_acquire)) return;
    auto text = text_index_.write();
    if (text_index_ready_.load(std::memory_order_relaxed)) return;  // another thread built it
    build_text_index(*text, index, meta);
    text_index_ready_.store(true, std::memory_order_release);
}

std::vector<TextHit> Database::text_hits(const ReadView& view, std::string_view query, std::size_t k,
                                         const Filter* filter, const TextStats* given) const {
    if (k == 0) return {};
    if (!filter) return text_index_.read()->search(query, k, nullptr, given);
    auto mindex = metadata_index_.read();
    const ColumnFilter test(*filter, *mindex);
    if (test.never()) return {};
    const Filter* rest = test.rest();
    const std::function<bool(Slot)> admit = [&](Slot s) {
        return test.admits(s) && (rest == nullptr || rest->matches(metadata_at(*view.meta, s)));
    };
    return text_index_.read()->search(query, k, &admit, given);
}

std::vector<SearchResult> Database::search_text(std::string_view query, std::size_t k, const Filter* filter) const {
    return search_text_many({std::string(query)}, k, filter).front();
}

std::vector<std::vector<SearchResult>> Database::search_text_many(const std::vector<std::string>& queries, std::size_t k,
                                                                  const Filter* filter,
                                                                  const TextStats* given) const {
    std::vector<std::vector<SearchResult>> results(queries.size());
    ReadView view(*this);
    if (filter) ensure_metadata_index(*view.index, *view.meta);
    ensure_text_index(*view.index, *view.meta);
    if (given) text_index_.read()->check_stats(queries, *given);
    parallel::for_each(0, queries.size(), [&](std::size_t i) {
        std::vector<Candidate> found;
        for (const TextHit& h : text_hits(view, queries[i], k, filter, given))
            found.push_back({h.slot, static_cast<float>(-h.score)});
        results[i] = assemble(view, found, std::nullopt);
    });
    return results;
}

TextStats Database::text_stats(const std::vector<std::string>& queries) const {
    ReadView view(*this);
    ensure_text_index(*view.index, *view.meta);
    return text_index_.read()->stats(queries);
}

std::vector<SearchResult> Database::fuse(const ReadView& view, const std::vector<Candidate>& nearest,
                                         const std::vector<TextHit>& keyword, std::size_t k,
                                         const HybridOptions& options) const {
    const double rrf_k = static_cast<double>(options.rrf_k);
    std::unordered_map<Slot, double> fused;
    for (std::size_t r = 0; r < nearest.size(); ++r)
        fused[nearest[r].slot] += options.weight / (rrf_k + static_cast<double>(r + 1));
    for (std::size_t r = 0; r < keyword.size(); ++r)
        fused[keyword[r].slot] += (1.0 - options.weight) / (rrf_k + static_cast<double>(r + 1));
    std::vector<std::pair<Slot, double>> ranked(fused.begin(), fused.end());
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return a.second > b.second || (a.second == b.second && a.first < b.first);
    });
    if (ranked.size() > k) ranked.resize(k);
    std::vector<Candidate> found;
    found.reserve(ranked.size());
    for (const auto& [slot, score] : ranked) found.push_back({slot, static_cast<float>(-score)});
    return assemble(view, found, std::nullopt);
}

std::vector<SearchResult> Database::search_hybrid(std::span<const float> vector, std::string_view query, std::size_t k,
                                                  const Filter* filter, const HybridOptions& options) const {
    return search_hybrid_many({std::vector<float>(vector.begin(), vector.end())}, {std::string(query)}, k, filter,
                              options)
        .front();
}

std::vector<std::vector<SearchResult>> Database::search_hybrid_many(const std::vector<std::vector<float>>& vectors,
                                                                    const std::vector<std::string>& queries,
                                                                    std::size_t k, const Filter* filter,
                                                                    const HybridOptions& options) const {
    if (vectors.size() != queries.size()) throw std::invalid_argument("vectors and queries differ in number");
    for (const auto& v : vectors) check_dimension(v.size());
    check_hybrid(options);
    const std::size_t n = queries.size();
    std::vector<std::vector<SearchResult>> results(n);
    if (k == 0) return results;
    const std::size_t wanted = options.wanted(k);
    const std::size_t ef = effective_ef(wanted, options.ef_search);
    ReadView view(*this);
    if (filter) ensure_metadata_index(*view.index, *view.meta);
    ensure_text_index(*view.index, *view.meta);
    // The vector searches first, under one filter plan; the plan holds the metadata-index lock
    // while it lives, so it is dropped before the keyword searches take that lock again.
    std::vector<std::vector<Candidate>> nearest(n);
    if (view.index->entry_point() != kNoSlot) {
        if (!filter) {
            parallel::for_each(0, n, [&](std::size_t i) { nearest[i] = view.index->search(vectors[i], wanted, ef); });
        } else {
            const FilterPlan plan = plan_filter(view, *filter);
            const std::size_t ef_f = std::max(ef, 4 * wanted);
            parallel::for_each(0, n, [&](std::size_t i) {
                nearest[i] = search_filtered(view, vectors[i], wanted, ef_f, *filter, plan);
            });
        }
    }
    parallel::for_each(0, n, [&](std::size_t i) {
        results[i] = fuse(view, nearest[i], text_hits(view, queries[i], wanted, filter), k, options);
    });
    return results;
}

}  // namespace qorel
