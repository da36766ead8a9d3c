// add, upsert, their batch forms, deletion and update. Each validates its input, then, holding
// the save gate shared and its writer's turn (the log mutex), checks what depends on the stored
// ids and commits: its log records are appended as one unit and applied through apply(), the
// path replay takes too.

#include <cmath>
#include <shared_mutex>
#include <unordered_set>

#include "database.h"

namespace qorel {

namespace {

using GateHold = std::shared_lock<RwLock>;
// A writer's turn: the log mutex, held from the checks against the stored ids to the change in
// memory.
using Turn = std::lock_guard<std::mutex>;

std::vector<WalEntry> one(WalEntry record) {
    std::vector<WalEntry> records;
    records.push_back(std::move(record));
    return records;
}

std::vector<WalEntry> inserts(std::vector<BatchItem>& items) {
    std::vector<WalEntry> records;
    records.reserve(items.size());
    for (BatchItem& item : items)
        records.emplace_back(WalEntry::Insert{std::move(item.id), std::move(item.vector), std::move(item.metadata)});
    return records;
}

}  // namespace

void Database::check_dimension(std::size_t got) const {
    if (got != dim_) throw QorelError::dimension_mismatch(dim_, got);
}

void Database::check_vector(std::string_view id, std::span<const float> vector) const {
    check_dimension(vector.size());
    for (std::size_t i = 0; i < vector.size(); ++i)
        if (!std::isfinite(vector[i])) throw QorelError::non_finite_component(id, i, vector[i]);
}

void Database::commit(std::vector<WalEntry> records) {
    if (records.empty()) return;
    wal_.append(records);  // all or nothing
    apply(records);
}

void Database::add(std::string id, std::vector<float> vector, std::optional<Json> metadata) {
    check_vector(id, vector);
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    if (contains(id)) throw QorelError::duplicate_id(id);
    commit(one(WalEntry::Insert{std::move(id), std::move(vector), std::move(metadata)}));
}

void Database::upsert(std::string id, std::vector<float> vector, std::optional<Json> metadata) {
    check_vector(id, vector);
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    commit(one(WalEntry::Insert{std::move(id), std::move(vector), std::move(metadata)}));
}

void Database::add_many(std::vector<BatchItem> items) {
    for (const auto& item : items) check_vector(item.id, item.vector);
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    {
        auto ids = id_to_slot_.read();
        for (const auto& item : items)
            if (ids->find(item.id) != ids->end()) throw QorelError::duplicate_id(item.id);
    }
    // A repeated new id would give one id two live slots, one of them unreachable by delete.
    if (items.size() > 1) {
        std::unordered_set<std::string_view> seen;
        seen.reserve(items.size());
        for (const auto& item : items)
            if (!seen.insert(item.id).second) throw QorelError::duplicate_id(item.id);
    }
    commit(inserts(items));
}

void Database::upsert_many(std::vector<BatchItem> items) {
    for (const auto& item : items) check_vector(item.id, item.vector);
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    commit(inserts(items));
}

bool Database::remove(std::string_view id) {
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    if (!contains(id)) return false;
    commit(one(WalEntry::Delete{std::string(id)}));
    return true;
}

std::size_t Database::remove_many(const std::vector<std::string>& id_list) {
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
    GateHold gate(save_gate_);
    Turn turn(wal_mutex_);
    if (!contains(id)) throw QorelError::not_found(id);
    if (vector) check_vector(id, *vector);
    const bool has_metadata = metadata.has_value();
    commit(one(WalEntry::Update{std::move(id), std::move(vector), has_metadata, std::move(metadata)}));
}

}  // namespace qorel
