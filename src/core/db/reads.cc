// Retrieval, listing, statistics and the quantized-search switches.

#include "database.h"

namespace qorel {

std::pair<std::vector<float>, std::optional<Json>> Database::get(std::string_view id) const {
    // The id map stays read-locked throughout, so no deletion or compaction moves the slot
    // between the look-up and the copies.
    auto ids = id_to_slot_.read();
    auto it = ids->find(id);
    if (it == ids->end()) throw QorelError::not_found(id);
    const Slot s = it->second;
    // Both read locks at once: a change replaces a vector and its metadata together (holding
    // both for writing), so the pair read is always one that was written together.
    auto index = index_.read();
    if (s >= index->node_count()) throw QorelError::corrupt_data("vector slot missing");
    std::vector<float> vector(index->vector(s), index->vector(s) + index->dim());
    auto meta = metadata_.read();
    std::optional<Json> metadata;
    if (s < meta->size()) metadata = (*meta)[s];
    return {std::move(vector), std::move(metadata)};
}

std::vector<std::string> Database::ids() const {
    auto ids = id_to_slot_.read();
    std::vector<std::string> out;
    out.reserve(ids->size());
    for (const auto& entry : *ids) out.push_back(entry.first);
    return out;
}

std::vector<CheckResult> Database::check() {
    std::vector<CheckResult> out;
    {
        // No save replaces the files and no write appends to the log while they are read.
        SharedLock gate(save_gate_);
        MutexLock log(wal_mutex_);
        out = check_files(storage_);
    }
    const HnswIndex::GraphCheck g = index_.read()->check_graph();
    const bool ok = g.unreachable == 0 && g.lists_over_limit == 0 && g.bad_links == 0;
    out.push_back({"graph", ok,
                   std::to_string(g.unreachable) + " live vectors unreachable, " + std::to_string(g.lists_over_limit) +
                       " lists over their limit, " + std::to_string(g.bad_links) + " bad links"});
    return out;
}

Stats Database::stats() const {
    Stats st;
    st.wal_bytes = wal_bytes_.load(std::memory_order_relaxed);
    st.wal_replay_seconds = static_cast<double>(replay_ns_.load(std::memory_order_relaxed)) * 1e-9;
    if (const std::int64_t saved = last_save_ns_.load(std::memory_order_relaxed); saved >= 0)
        st.last_checkpoint = static_cast<double>(saved) * 1e-9;
    if (const std::optional<TextConfig> text = text_index_config()) st.text_field = text->field;
    auto index = index_.read();
    st.num_deleted = index->deleted().size();
    st.uses_quantized_search = index->quantized().has_value();
    const std::size_t n = index->node_count();
    if (n == 0) return st;
    st.num_vectors = index->active_count();
    st.num_layers = index->max_layer() + 1;
    std::size_t sum = 0, max_d = 0, min_d = SIZE_MAX;
    for (Slot s = 0; s < n; ++s) {
        if (index->is_deleted(s)) continue;
        const std::size_t d = index->neighbour_count(s, 0);
        sum += d;
        max_d = std::max(max_d, d);
        min_d = std::min(min_d, d);
    }
    st.avg_degree_layer0 = st.num_vectors ? static_cast<double>(sum) / static_cast<double>(st.num_vectors) : 0.0;
    st.max_degree_layer0 = max_d;
    st.min_degree_layer0 = st.num_vectors ? min_d : 0;
    st.memory_vectors_bytes = index->vectors().count() * 4;
    std::size_t edges = 0;
    for (Slot s = 0; s < n; ++s)
        for (std::size_t layer = 0; layer <= index->level(s); ++layer) edges += index->neighbour_count(s, layer);
    st.memory_graph_bytes = edges * 4;
    if (index->quantized()) st.memory_quantized_bytes = index->quantized()->codes.count() + 8 * index->quantized()->quantizer.dim;
    st.uses_brute_force = index->uses_brute_force();
    return st;
}

std::size_t Database::total_slots() const { return index_.read()->node_count(); }

std::size_t Database::deleted_count() const { return index_.read()->deleted().size(); }

bool Database::quantized_search() const { return index_.read()->quantized().has_value(); }

void Database::enable_quantized_search() {
    check_writable();
    index_.write()->enable_quantized_search();
}

void Database::disable_quantized_search() {
    check_writable();
    index_.write()->disable_quantized_search();
}

}  // namespace qorel
