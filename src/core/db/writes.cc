// add, upsert, their batch forms, deletion and update. Each validates its input, then, holding
// the save gate shared and id_to_slot exclusively, checks what depends on the stored ids, and
// commits: its log records are appended as one unit and applied through apply(), the path
// replay takes too.

#include <cmath>
#include <shared_mutex>
#include <unordered_set>

#include "database.h"

namespace qorel {

namespace {

using GateHold = std::shared_lock<RwLock>;

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

void Database::commit(IdMap& ids, std::vector<WalEntry> records) {
    if (records.empty()) return;
    {
        std::lock_guard<std::mutex> lock(wal_mutex_);
        wal_.append(records);  // all or nothing
    }
    apply(ids, records);
}

void Database::add(std::string id, std::vector<float> vector, std::optional<Json> metadata) {
    check_vector(id, vector);
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    if (ids->find(id) != ids->end()) throw QorelError::duplicate_id(id);
    commit(*ids, one(WalEntry::Insert{std::move(id), std::move(vector), std::move(metadata)}));
}

void Database::upsert(std::string id, std::vector<float> vector, std::optional<Json> metadata) {
    check_vector(id, vector);
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    commit(*ids, one(WalEntry::Insert{std::move(id), std::move(vector), std::move(metadata)}));
}

void Database::add_many(std::vector<BatchItem> items) {
    for (const auto& item : items) check_vector(item.id, item.vector);
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    for (const auto& item : items)
        if (ids->find(item.id) != ids->end()) throw QorelError::duplicate_id(item.id);
    // A repeated new id would give one id two live slots, one of them unreachable by delete.
    if (items.size() > 1) {
        std::unordered_set<std::string_view> seen;
        seen.reserve(items.size());
        for (const auto& item : items)
            if (!seen.insert(item.id).second) throw QorelError::duplicate_id(item.id);
    }
    commit(*ids, inserts(items));
}

void Database::upsert_many(std::vector<BatchItem> items) {
    for (const auto& item : items) check_vector(item.id, item.vector);
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    commit(*ids, inserts(items));
}

bool Database::remove(std::string_view id) {
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    if (ids->find(id) == ids->end()) return false;
    commit(*ids, one(WalEntry::Delete{std::string(id)}));
    return true;
}

std::size_t Database::remove_many(const std::vector<std::string>& id_list) {
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    // Only ids stored now, each once: the count is what the call deleted.
    std::vector<WalEntry> records;
    std::unordered_set<std::string_view> seen;
    for (const std::string& id : id_list)
        if (ids->find(id) != ids->end() && seen.insert(id).second) records.emplace_back(WalEntry::Delete{id});
    const std::size_t removed = records.size();
    commit(*ids, std::move(records));
    return removed;
}

void Database::update(std::string id, std::optional<std::vector<float>> vector, std::optional<Json> metadata) {
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    if (ids->find(id) == ids->end()) throw QorelError::not_found(id);
    if (vector) check_vector(id, *vector);
    const bool has_metadata = metadata.has_value();
    commit(*ids, one(WalEntry::Update{std::move(id), std::move(vector), has_metadata, std::move(metadata)}));
}

}  // namespace qorel
