// add, upsert, their batch forms, deletion and update. Each validates its input, appends its
// log record, and only then changes memory, taking locks in the database's canonical order.
// Every mutation holds the save gate shared from its append until its change is in memory.

#include <shared_mutex>
#include <unordered_map>

#include "database.h"

namespace qorel {

namespace {

using GateHold = std::shared_lock<RwLock>;

}  // namespace

void Database::check_dimension(std::size_t got) const {
    if (got != dim_) throw QorelError::dimension_mismatch(dim_, got);
}

void Database::append_log(const WalEntry& entry) {
    std::lock_guard<std::mutex> lock(wal_mutex_);
    wal_.append(entry);
}

void Database::add(std::string id, std::vector<float> vector, std::optional<Json> metadata) {
    check_dimension(vector.size());
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    if (ids->find(id) != ids->end()) throw QorelError::duplicate_id(id);
    append_log(WalEntry::Insert{id, vector, metadata});
    std::vector<BatchItem> one;
    one.push_back({std::move(id), std::move(vector), std::move(metadata)});
    insert_batch(*ids, std::move(one));
}

void Database::replace(Slot s, std::vector<float> vector, std::optional<Json> metadata) {
    index_.write()->update_vector(s, std::move(vector));
    auto meta = metadata_.write();
    auto mindex = metadata_index_.write();
    std::optional<Json>& old = (*meta)[s];
    mindex->remove(s, old ? &*old : nullptr);
    mindex->index(s, metadata ? &*metadata : nullptr);
    old = std::move(metadata);
}

void Database::upsert(std::string id, std::vector<float> vector, std::optional<Json> metadata) {
    check_dimension(vector.size());
    GateHold gate(save_gate_);
    append_log(WalEntry::Insert{id, vector, metadata});
    {
        auto ids = id_to_slot_.read();
        auto it = ids->find(id);
        if (it != ids->end()) {
            replace(it->second, std::move(vector), std::move(metadata));
            return;
        }
    }
    auto ids = id_to_slot_.write();
    auto it = ids->find(id);
    if (it != ids->end()) {
        replace(it->second, std::move(vector), std::move(metadata));
        return;
    }
    std::vector<BatchItem> one;
    one.push_back({std::move(id), std::move(vector), std::move(metadata)});
    insert_batch(*ids, std::move(one));
}

void Database::insert_batch(IdMap& ids, std::vector<BatchItem> items) {
    if (items.empty()) return;
    std::vector<std::vector<float>> vectors;
    vectors.reserve(items.size());
    for (auto& item : items) vectors.push_back(std::move(item.vector));

    auto index = index_.write();
    const std::vector<Slot> slots = vectors.size() == 1 ? std::vector<Slot>{index->insert(std::move(vectors[0]))}
                                                        : index->batch_insert(std::move(vectors));
    auto slot_ids = slot_to_id_.write();
    auto meta = metadata_.write();
    auto mindex = metadata_index_.write();
    const std::size_t needed = static_cast<std::size_t>(slots.back()) + 1;
    if (slot_ids->size() < needed) slot_ids->resize(needed);
    if (meta->size() < needed) meta->resize(needed);
    ids.reserve(ids.size() + items.size());
    for (std::size_t k = 0; k < items.size(); ++k) {
        const Slot s = slots[k];
        (*slot_ids)[s] = items[k].id;
        ids[std::move(items[k].id)] = s;
        mindex->index(s, items[k].metadata ? &*items[k].metadata : nullptr);
        (*meta)[s] = std::move(items[k].metadata);
    }
}

void Database::add_many(std::vector<BatchItem> items) {
    for (const auto& item : items) check_dimension(item.vector.size());
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    for (const auto& item : items)
        if (ids->find(item.id) != ids->end()) throw QorelError::duplicate_id(item.id);
    // A repeated new id would give one id two live slots, one of them unreachable by delete.
    if (items.size() > 1) {
        std::unordered_map<std::string_view, char> seen;
        seen.reserve(items.size());
        for (const auto& item : items)
            if (!seen.emplace(item.id, 0).second) throw QorelError::duplicate_id(item.id);
    }
    {
        std::lock_guard<std::mutex> lock(wal_mutex_);
        for (const auto& item : items) wal_.append(WalEntry::Insert{item.id, item.vector, item.metadata});
    }
    insert_batch(*ids, std::move(items));
}

void Database::upsert_many(std::vector<BatchItem> items) {
    for (const auto& item : items) check_dimension(item.vector.size());
    GateHold gate(save_gate_);
    {
        std::lock_guard<std::mutex> lock(wal_mutex_);
        for (const auto& item : items) wal_.append(WalEntry::Insert{item.id, item.vector, item.metadata});
    }
    std::vector<BatchItem> pending;
    {
        auto ids = id_to_slot_.read();
        for (auto& item : items) {
            auto it = ids->find(item.id);
            if (it != ids->end())
                replace(it->second, std::move(item.vector), std::move(item.metadata));
            else
                pending.push_back(std::move(item));
        }
    }
    if (pending.empty()) return;
    auto ids = id_to_slot_.write();
    // Reserved up front so that the views into queued ids stay valid.
    std::vector<BatchItem> queued;
    queued.reserve(pending.size());
    std::unordered_map<std::string_view, std::size_t> position;
    for (auto& item : pending) {
        auto it = ids->find(item.id);
        if (it != ids->end()) {
            replace(it->second, std::move(item.vector), std::move(item.metadata));
            continue;
        }
        auto pos = position.find(item.id);
        if (pos == position.end()) {
            queued.push_back(std::move(item));
            position.emplace(queued.back().id, queued.size() - 1);
        } else {
            // Same id again: as if upserted one by one, it keeps the first occurrence's slot
            // and takes the later vector and metadata.
            queued[pos->second].vector = std::move(item.vector);
            queued[pos->second].metadata = std::move(item.metadata);
        }
    }
    insert_batch(*ids, std::move(queued));
}

void Database::tombstone(Slot s) {
    index_.write()->mark_deleted(s);
    {
        auto slot_ids = slot_to_id_.write();
        if (s < slot_ids->size()) (*slot_ids)[s].clear();
    }
    auto meta = metadata_.write();
    if (s >= meta->size()) return;
    {
        auto mindex = metadata_index_.write();
        mindex->remove(s, (*meta)[s] ? &*(*meta)[s] : nullptr);
    }
    (*meta)[s].reset();
}

bool Database::remove(std::string_view id) {
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    auto it = ids->find(id);
    if (it == ids->end()) return false;
    append_log(WalEntry::Delete{std::string(id)});
    const Slot s = it->second;
    ids->erase(it);
    tombstone(s);
    return true;
}

std::size_t Database::remove_many(const std::vector<std::string>& id_list) {
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.write();
    std::lock_guard<std::mutex> log(wal_mutex_);
    auto index = index_.write();
    auto slot_ids = slot_to_id_.write();
    auto meta = metadata_.write();
    auto mindex = metadata_index_.write();
    std::size_t removed = 0;
    for (const std::string& id : id_list) {
        auto it = ids->find(id);
        if (it == ids->end()) continue;
        wal_.append(WalEntry::Delete{id});
        const Slot s = it->second;
        ids->erase(it);
        index->mark_deleted(s);
        if (s < slot_ids->size()) (*slot_ids)[s].clear();
        if (s < meta->size()) {
            mindex->remove(s, (*meta)[s] ? &*(*meta)[s] : nullptr);
            (*meta)[s].reset();
        }
        ++removed;
    }
    return removed;
}

void Database::update(std::string id, std::optional<std::vector<float>> vector, std::optional<Json> metadata) {
    GateHold gate(save_gate_);
    auto ids = id_to_slot_.read();
    auto it = ids->find(id);
    if (it == ids->end()) throw QorelError::not_found(id);
    if (vector) check_dimension(vector->size());
    WalEntry::Update record;
    record.id = id;
    record.vector = vector;
    record.has_metadata_change = metadata.has_value();
    record.new_metadata = metadata;
    append_log(record);
    const Slot s = it->second;
    if (vector) index_.write()->update_vector(s, std::move(*vector));
    if (metadata) {
        auto meta = metadata_.write();
        auto mindex = metadata_index_.write();
        std::optional<Json>& old = (*meta)[s];
        mindex->remove(s, old ? &*old : nullptr);
        mindex->index(s, &*metadata);
        old = std::move(metadata);
    }
}

}  // namespace qorel
