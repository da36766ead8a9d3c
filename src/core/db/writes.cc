// add, upsert and their batch forms. Each validates its whole input first and only then
// changes memory, taking locks in the database's canonical order.

#include <unordered_map>

#include "database.h"

namespace qorel {

void Database::check_dimension(std::size_t got) const {
    if (got != dim_) throw QorelError::dimension_mismatch(dim_, got);
}

void Database::add(std::string id, std::vector<float> vector, std::optional<Json> metadata) {
    check_dimension(vector.size());
    auto ids = id_to_slot_.write();
    if (ids->find(id) != ids->end()) throw QorelError::duplicate_id(id);
    // The write-ahead record of this insertion goes here, before memory changes.
    auto index = index_.write();
    const Slot slot = index->insert(std::move(vector));
    {
        auto slot_ids = slot_to_id_.write();
        slot_ids->resize(slot);
        slot_ids->push_back(id);
    }
    metadata_index_.write()->index(slot, metadata ? &*metadata : nullptr);
    {
        auto meta = metadata_.write();
        meta->resize(slot);
        meta->push_back(std::move(metadata));
    }
    ids->emplace(std::move(id), slot);
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
    // The write-ahead record of this upsert goes here, before any lock is taken.
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
    const std::vector<Slot> slots =
        vectors.size() == 1 ? std::vector<Slot>{index->insert(std::move(vectors[0]))} : index->batch_insert(std::move(vectors));
    auto slot_ids = slot_to_id_.write();
    auto meta = metadata_.write();
    auto mindex = metadata_index_.write();
    const std::size_t needed = static_cast<std::size_t>(slots.back()) + 1;
    if (slot_ids->size() < needed) slot_ids->resize(needed);
    if (meta->size() < needed) meta->resize(needed);
    for (std::size_t k = 0; k < items.size(); ++k) {
        const Slot s = slots[k];
        ids[items[k].id] = s;
        (*slot_ids)[s] = std::move(items[k].id);
        mindex->index(s, items[k].metadata ? &*items[k].metadata : nullptr);
        (*meta)[s] = std::move(items[k].metadata);
    }
}

void Database::add_many(std::vector<BatchItem> items) {
    for (const auto& item : items) check_dimension(item.vector.size());
    auto ids = id_to_slot_.write();
    for (const auto& item : items)
        if (ids->find(item.id) != ids->end()) throw QorelError::duplicate_id(item.id);
    // A repeated new id would give one id two live slots, one of them unreachable by delete.
    if (items.size() > 1) {
        std::unordered_map<std::string_view, std::size_t> seen;
        seen.reserve(items.size());
        for (const auto& item : items)
            if (!seen.emplace(item.id, 0).second) throw QorelError::duplicate_id(item.id);
    }
    // The write-ahead records of the batch go here, in batch order.
    insert_batch(*ids, std::move(items));
}

void Database::upsert_many(std::vector<BatchItem> items) {
    for (const auto& item : items) check_dimension(item.vector.size());
    // The write-ahead records of the batch go here, in batch order, before any lock is taken.
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

}  // namespace qorel
