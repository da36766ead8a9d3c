// The one way logged changes reach memory. A live mutation appends its records and hands them
// to apply(); opening a database hands the log's records to the same function. Whatever a
// running database did with a record, a reopened one does again, so the two cannot drift.
//
// A record is applied as follows (everything by id, never by slot):
//   Insert  - the id is stored: its vector and metadata are replaced; otherwise it is inserted.
//   Delete  - the id is stored: it is deleted; otherwise nothing happens.
//   Update  - the id is stored: the vector when given, the metadata when changed; otherwise
//             nothing happens.
// A vector of another dimension (a log written by another database) is skipped.

#include <algorithm>
#include <unordered_map>

#include "database.h"

namespace qorel {

namespace {

// Every component an applied record changes, behind the write locks the caller holds.
struct Components {
    IdMap& ids;
    HnswIndex& index;
    std::vector<std::string>& slot_ids;
    std::vector<std::optional<Json>>& meta;
    MetadataIndex& mindex;

    void set_metadata(Slot s, std::optional<Json> value) {
        std::optional<Json>& old = meta[s];
        mindex.remove(s, old ? &*old : nullptr);
        mindex.index(s, value ? &*value : nullptr);
        old = std::move(value);
    }

    void tombstone(Slot s) {
        index.mark_deleted(s);
        if (s < slot_ids.size()) slot_ids[s].clear();
        if (s < meta.size()) set_metadata(s, std::nullopt);
    }

    // Inserts new ids through one batch insertion, which builds the graph in parallel.
    void insert(std::vector<WalEntry::Insert*>& items) {
        if (items.empty()) return;
        std::vector<std::vector<float>> vectors;
        vectors.reserve(items.size());
        for (WalEntry::Insert* item : items) vectors.push_back(std::move(item->vector));
        const std::vector<Slot> slots =
            vectors.size() == 1 ? std::vector<Slot>{index.insert(std::move(vectors[0]))} : index.batch_insert(std::move(vectors));
        const std::size_t needed = static_cast<std::size_t>(*std::max_element(slots.begin(), slots.end())) + 1;
        if (slot_ids.size() < needed) slot_ids.resize(needed);
        if (meta.size() < needed) meta.resize(needed);
        ids.reserve(ids.size() + items.size());
        for (std::size_t k = 0; k < items.size(); ++k) {
            const Slot s = slots[k];
            slot_ids[s] = items[k]->id;
            ids[std::move(items[k]->id)] = s;
            set_metadata(s, std::move(items[k]->metadata));
        }
    }
};

// Inserts of ids not stored yet, gathered so that a run of them becomes one batch insertion.
// The records stay where they are until the batch is inserted; `position` looks at their ids.
class PendingInserts {
public:
    bool empty() const { return items_.empty(); }
    bool contains(std::string_view id) const { return position_.count(id) != 0; }

    // A repeated id keeps its first record's place (and so its slot), as the same calls made
    // one by one would, and takes the later vector and metadata.
    void add(WalEntry::Insert& item) {
        auto [at, fresh] = position_.emplace(item.id, items_.size());
        if (fresh) {
            items_.push_back(&item);
            return;
        }
        WalEntry::Insert& first = *items_[at->second];
        first.vector = std::move(item.vector);
        first.metadata = std::move(item.metadata);
    }

    void flush(Components& c) {
        position_.clear();  // before the ids are moved out of the records
        c.insert(items_);
        items_.clear();
    }

private:
    std::vector<WalEntry::Insert*> items_;
    std::unordered_map<std::string_view, std::size_t> position_;
};

}  // namespace

void Database::apply(IdMap& ids, std::span<WalEntry> records) {
    if (records.empty()) return;
    auto index = index_.write();
    auto slot_ids = slot_to_id_.write();
    auto meta = metadata_.write();
    auto mindex = metadata_index_.write();
    Components c{ids, *index, *slot_ids, *meta, *mindex};
    PendingInserts pending;

    for (WalEntry& record : records) {
        if (auto* e = std::get_if<WalEntry::Insert>(&record.op)) {
            if (e->vector.size() != dim_) continue;
            if (pending.contains(e->id)) {
                pending.add(*e);
                continue;
            }
            auto it = ids.find(e->id);
            if (it == ids.end()) {
                pending.add(*e);
                continue;
            }
            index->update_vector(it->second, std::move(e->vector));
            c.set_metadata(it->second, std::move(e->metadata));
        } else if (auto* d = std::get_if<WalEntry::Delete>(&record.op)) {
            if (pending.contains(d->id)) pending.flush(c);
            auto it = ids.find(d->id);
            if (it == ids.end()) continue;
            const Slot s = it->second;
            ids.erase(it);
            c.tombstone(s);
        } else if (auto* u = std::get_if<WalEntry::Update>(&record.op)) {
            if (pending.contains(u->id)) pending.flush(c);
            auto it = ids.find(u->id);
            if (it == ids.end()) continue;
            if (u->vector && u->vector->size() == dim_) index->update_vector(it->second, std::move(*u->vector));
            if (u->has_metadata_change) c.set_metadata(it->second, std::move(u->new_metadata));
        }
    }
    pending.flush(c);
}

void Database::replay_wal() {
    WalReadResult log;
    {
        std::lock_guard<std::mutex> lock(wal_mutex_);
        log = wal_.read_for_replay();
    }
    auto ids = id_to_slot_.write();
    apply(*ids, log.entries);
}

}  // namespace qorel
