// add, upsert, their batch forms, deletion and update. Each validates its input, then, holding
// the save gate shared and its writer's turn (the log mutex), checks what depends on the stored
// ids and commits: its log records are appended as one unit and applied through apply(), the
// path replay takes too.

#include <unordered_set>
// After a C++ library header, which defines __GLIBC__ on glibc systems.
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "database.h"

namespace qorel {

namespace {

using GateHold = SharedLock;
// A writer's turn: the log mutex, held from the checks against the stored ids to the change in
// memory.
using Turn = MutexLock;

std::vector<WalEntry> one(WalEntry record) {
    std::vector<WalEntry> records;
    records.push_back(std::move(record));
    return records;
}

}  // namespace

void Database::check_dimension(std::size_t got) const {
    if (got != dim_) throw QorelError::dimension_mismatch(dim_, got);
}

void Database::check_vector(std::string_view id, std::span<const float> vector) const {
    check_stored_vector(id, vector, dim_);
}

template <class Records>
void Database::log_and_apply(Records& records) {
    wal_.append(records);  // all or nothing
    wal_bytes_.store(wal_.length(), std::memory_order_relaxed);
    try {
        apply(records);
    } catch (...) {
        wal_.undo_last_append();
        wal_bytes_.store(wal_.length(), std::memory_order_relaxed);
        throw;
    }
}

void Database::commit(std::vector<WalEntry> records) {
    if (records.empty()) return;
    std::size_t new_ids = 0;
    bool changes_vectors = false;
    {
        auto stored = id_to_slot_.read();
        for (const WalEntry& r : records) {
            if (const auto* e = std::get_if<WalEntry::Insert>(&r.op)) {
                changes_vectors = true;
                new_ids += stored->find(e->id) == stored->end();
            } else if (const auto* u = std::get_if<WalEntry::Update>(&r.op)) {
                changes_vectors = changes_vectors || u->vector.has_value();
            }
        }
    }
    reserve_for_apply(new_ids, changes_vectors);
    log_and_apply(records);
}

void Database::add(std::string id, std::vector<float> vector, std::optional<Json> metadata) {
    check_writable();
    check_vector(id, vector);
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    if (contains(id)) throw QorelError::duplicate_id(id);
    commit(one(WalEntry::Insert{std::move(id), std::move(vector), std::move(metadata)}));
}

void Database::upsert(std::string id, std::vector<float> vector, std::optional<Json> metadata) {
    check_writable();
    check_vector(id, vector);
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    commit(one(WalEntry::Insert{std::move(id), std::move(vector), std::move(metadata)}));
}

// A large batch grows the index's arrays (each growth frees the previous, smaller copy) and
// frees its own block; the allocator keeps freed pages in the middle of its heap for reuse
// unless asked to return them, and the process would keep them resident.
void Database::return_freed_memory(std::size_t vector_bytes) {
    constexpr std::size_t kTrimAfterBytes = std::size_t{1} << 20;
#if defined(__GLIBC__)
    if (vector_bytes >= kTrimAfterBytes) malloc_trim(0);
#else
    (void)vector_bytes;
#endif
}

InsertBlock Database::checked_block(std::vector<std::string> ids, RowBlock rows,
                                    std::vector<std::optional<Json>> metadata) const {
    QOREL_ASSERT(rows.size() == ids.size() && (metadata.empty() || metadata.size() == ids.size()),
                 "a batch's ids, rows and metadata disagree in number");
    for (std::size_t i = 0; i < ids.size(); ++i) check_vector(ids[i], rows.row(i));
    if (metadata.empty()) metadata.resize(ids.size());
    return InsertBlock{dim_, std::move(ids), rows.take(), std::move(metadata)};
}

void Database::commit(InsertBlock& block) {
    if (block.size() == 0) return;
    std::size_t new_ids = 0;
    {
        auto stored = id_to_slot_.read();
        for (const std::string& id : block.ids) new_ids += stored->find(id) == stored->end();
    }
    reserve_for_apply(new_ids, true);
    log_and_apply(block);
}

void Database::add_many(std::vector<std::string> ids, RowBlock rows, std::vector<std::optional<Json>> metadata) {
    check_writable();
    const std::size_t bytes = rows.floats().size_bytes();
    {
        InsertBlock block = checked_block(std::move(ids), std::move(rows), std::move(metadata));
        GateHold gate(save_gate_);
        Turn turn(wal_mutex_);
        {
            auto stored = id_to_slot_.read();
            for (const std::string& id : block.ids)
                if (stored->find(id) != stored->end()) throw QorelError::duplicate_id(id);
        }
        // A repeated new id would give one id two live slots, one of them unreachable by delete.
        if (block.size() > 1) {
            std::unordered_set<std::string_view> seen;
            seen.reserve(block.size());
            for (const std::string& id : block.ids)
                if (!seen.insert(id).second) throw QorelError::duplicate_id(id);
        }
        commit(block);
    }
    return_freed_memory(bytes);
}

void Database::upsert_many(std::vector<std::string> ids, RowBlock rows, std::vector<std::optional<Json>> metadata) {
    check_writable();
    const std::size_t bytes = rows.floats().size_bytes();
    {
        InsertBlock block = checked_block(std::move(ids), std::move(rows), std::move(metadata));
        GateHold gate(save_gate_);
        Turn turn(wal_mutex_);
        commit(block);
    }
    return_freed_memory(bytes);
}

bool Database::remove(std::string_view id) {
    check_writable();
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    if (!contains(id)) return false;
    commit(one(WalEntry::Delete{std::string(id)}));
    return true;
}

std::size_t Database::remove_many(const std::vector<std::string>& id_list) {
    check_writable();
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    // Only ids stored now, each once: the count is what the call deleted.
    std::vector<WalEntry> records;
    {
        auto ids = id_to_slot_.read();
        std::unordered_set<std::string_view> seen;
        for (const std::string& id : id_list)
            if (ids->find(id) != ids->end() && seen.insert(id).second) records.emplace_back(WalEntry::Delete{id});
    }
    const std::size_t removed = records.size();
    commit(std::move(records));
    return removed;
}

void Database::update(std::string id, std::optional<std::vector<float>> vector, std::optional<Json> metadata) {
    check_writable();
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    if (!contains(id)) throw QorelError::not_found(id);
    if (vector) check_vector(id, *vector);
    const bool has_metadata = metadata.has_value();
    commit(one(WalEntry::Update{std::move(id), std::move(vector), has_metadata, std::move(metadata)}));
}

}  // namespace qorel
