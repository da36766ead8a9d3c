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
#include <type_traits>
#include <unordered_map>

#include "database.h"

namespace qorel {

namespace {

// Every component but the id map that an applied record changes, behind the write locks the
// caller holds.
struct Components {
    HnswIndex& index;
    std::vector<std::string>& slot_ids;
    MetadataStore& meta;
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
    void insert(IdMap& ids, std::vector<WalEntry::Insert*>& items) {
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

    void flush(Components& c, IdMap& ids) {
        position_.clear();  // before the ids are moved out of the records
        c.insert(ids, items_);
        items_.clear();
    }

private:
    std::vector<WalEntry::Insert*> items_;
    std::unordered_map<std::string_view, std::size_t> position_;
};

// Whether applying the records adds or removes ids, which needs the id map exclusively.
bool changes_id_map(const IdMap& ids, std::span<const WalEntry> records) {
    for (const WalEntry& record : records) {
        const bool stored = ids.find(record.id()) != ids.end();
        if (record.kind() == WalKind::Insert ? !stored : record.kind() == WalKind::Delete && stored) return true;
    }
    return false;
}

// The records applied to `ids`: IdMap when the caller holds it exclusively, const IdMap when it
// holds it shared, which is enough when no record adds or removes an id (changes_id_map).
template <class Map>
void apply_records(Map& ids, Components& c, std::uint64_t dim, std::span<WalEntry> records) {
    constexpr bool kExclusive = !std::is_const_v<Map>;
    [[maybe_unused]] PendingInserts pending;
    for (WalEntry& record : records) {
        if (auto* e = std::get_if<WalEntry::Insert>(&record.op)) {
            if (e->vector.size() != dim) continue;
            auto it = ids.find(e->id);
            if constexpr (kExclusive) {
                if (pending.contains(e->id) || it == ids.end()) {
                    pending.add(*e);
                    continue;
                }
            } else {
                QOREL_ASSERT(it != ids.end(), "an insert applied under the shared id map");
            }
            c.index.update_vector(it->second, std::move(e->vector));
            c.set_metadata(it->second, std::move(e->metadata));
        } else if (auto* d = std::get_if<WalEntry::Delete>(&record.op)) {
            if constexpr (kExclusive) {
                if (pending.contains(d->id)) pending.flush(c, ids);
                auto it = ids.find(d->id);
                if (it == ids.end()) continue;
                const Slot s = it->second;
                ids.erase(it);
                c.tombstone(s);
            } else {
                QOREL_ASSERT(ids.find(d->id) == ids.end(), "a deletion applied under the shared id map");
            }
        } else if (auto* u = std::get_if<WalEntry::Update>(&record.op)) {
            if constexpr (kExclusive) {
                if (pending.contains(u->id)) pending.flush(c, ids);
            }
            auto it = ids.find(u->id);
            if (it == ids.end()) continue;
            if (u->vector && u->vector->size() == dim) c.index.update_vector(it->second, std::move(*u->vector));
            if (u->has_metadata_change) c.set_metadata(it->second, std::move(u->new_metadata));
        }
    }
    if constexpr (kExclusive) pending.flush(c, ids);
}

}  // namespace

void Database::apply(std::span<WalEntry> records) {
    if (records.empty()) return;
    // Writers are serialised (the log mutex), so what the look-up finds stays true until the
    // records are applied; only compaction may run in between, and it moves slots, not ids.
    bool exclusive;
    {
        auto ids = id_to_slot_.read();
        exclusive = changes_id_map(*ids, records);
    }
    auto apply_with = [&](auto& ids) {
        auto index = index_.write();
        auto slot_ids = slot_to_id_.write();
        auto meta = metadata_.write();
        auto mindex = metadata_index_.write();
        // Changes keep the metadata index in step, so it must exist first.
        if (!metadata_index_ready_.load(std::memory_order_acquire)) {
            build_metadata_index(*mindex, *index, *meta);
            metadata_index_ready_.store(true, std::memory_order_release);
        }
        Components c{*index, *slot_ids, *meta, *mindex};
        apply_records(*ids, c, dim_, records);
    };
    if (exclusive) {
        auto ids = id_to_slot_.write();
        apply_with(ids);
    } else {
        // Readers of the id map (get, contains, ids) go on while vectors are replaced.
        auto ids = id_to_slot_.read();
        apply_with(ids);
    }
}

void Database::replay_wal() {
    std::lock_guard<std::mutex> lock(wal_mutex_);
    WalReadResult log = wal_.read_for_replay();
    apply(log.entries);
}

}  // namespace qorel
