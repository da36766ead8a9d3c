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
#include <chrono>
#include <type_traits>
#include <unordered_map>

#include "database.h"

namespace qorel {

namespace {

// One insertion as it is applied: its id and metadata are moved out when it takes effect, its
// vector is read where it lies (a log record's own vector, or a row of a batch's block).
// `owner`, when set, holds the vector and is freed once the vector has been copied.
struct InsertRef {
    std::string* id;
    std::span<const float> vector;
    std::optional<Json>* metadata;
    std::vector<float>* owner = nullptr;
};

// Every component but the id map that an applied record changes, behind the write locks the
// caller holds.
struct Components {
    HnswIndex& index;
    std::vector<std::string>& slot_ids;
    MetadataStore& meta;
    MetadataIndex& mindex;
    TextIndex& text;

    void set_metadata(Slot s, std::optional<Json> value) {
        std::optional<Json>& old = meta[s];
        mindex.remove(s, old ? &*old : nullptr);
        mindex.index(s, value ? &*value : nullptr);
        text.index_metadata(s, value ? &*value : nullptr);
        old = std::move(value);
        index.note_record_changed(s);
    }

    void tombstone(Slot s) {
        index.mark_deleted(s);
        if (s < slot_ids.size()) slot_ids[s].clear();
        if (s < meta.size()) set_metadata(s, std::nullopt);
    }

    void replace_vector(Slot s, InsertRef& item) {
        if (item.owner && item.owner->data() == item.vector.data()) {
            index.update_vector(s, std::move(*item.owner));
        } else {
            index.update_vector(s, std::vector<float>(item.vector.begin(), item.vector.end()));
        }
    }

    // Inserts new ids through one batch insertion, which builds the graph in parallel.
    void insert(IdMap& ids, std::vector<InsertRef>& items) {
        if (items.empty()) return;
        const std::size_t dim = index.dim();
        // Rows of a batch's block that follow one another go in as they lie; anything else
        // (log records, a block with repeated ids) is gathered into one block first, freeing
        // each record's vector as it is copied.
        bool adjacent = true;
        for (std::size_t k = 1; k < items.size() && adjacent; ++k)
            adjacent = items[k].vector.data() == items[k - 1].vector.data() + dim;
        std::vector<float> gathered;
        std::span<const float> rows;
        if (adjacent) {
            rows = {items.front().vector.data(), items.size() * dim};
        } else {
            gathered.reserve(items.size() * dim);
            for (InsertRef& item : items) {
                gathered.insert(gathered.end(), item.vector.begin(), item.vector.end());
                if (item.owner) std::vector<float>().swap(*item.owner);
            }
            rows = gathered;
        }
        const std::vector<Slot> slots = items.size() == 1
                                            ? std::vector<Slot>{index.insert(std::vector<float>(rows.begin(), rows.end()))}
                                            : index.batch_insert(rows);
        std::vector<float>().swap(gathered);
        const std::size_t needed = static_cast<std::size_t>(*std::max_element(slots.begin(), slots.end())) + 1;
        if (slot_ids.size() < needed) slot_ids.resize(needed);
        if (meta.size() < needed) meta.resize(needed);
        ids.reserve(ids.size() + items.size());
        for (std::size_t k = 0; k < items.size(); ++k) {
            const Slot s = slots[k];
            slot_ids[s] = *items[k].id;
            ids[std::move(*items[k].id)] = s;
            set_metadata(s, std::move(*items[k].metadata));
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
    void add(const InsertRef& item) {
        auto [at, fresh] = position_.emplace(*item.id, items_.size());
        if (fresh) {
            items_.push_back(item);
            return;
        }
        InsertRef& first = items_[at->second];
        first.vector = item.vector;
        first.owner = item.owner;
        *first.metadata = std::move(*item.metadata);
    }

    void flush(Components& c, IdMap& ids) {
        position_.clear();  // before the ids are moved out of the records
        c.insert(ids, items_);
        items_.clear();
    }

private:
    std::vector<InsertRef> items_;
    std::unordered_map<std::string_view, std::size_t> position_;
};

bool adds_or_removes(const IdMap& ids, const WalEntry& record) {
    const bool stored = ids.find(record.id()) != ids.end();
    return record.kind() == WalKind::Insert ? !stored : record.kind() == WalKind::Delete && stored;
}

// Whether applying the records adds or removes ids, which needs the id map exclusively.
bool changes_id_map(const IdMap& ids, std::span<const WalEntry> records) {
    return std::any_of(records.begin(), records.end(), [&](const WalEntry& r) { return adds_or_removes(ids, r); });
}

bool changes_id_map(const IdMap& ids, const InsertBlock& block) {
    return std::any_of(block.ids.begin(), block.ids.end(), [&](const std::string& id) { return ids.find(id) == ids.end(); });
}

// One insertion applied to `ids`: IdMap when the caller holds it exclusively, const IdMap when
// it holds it shared, which is enough when no insertion adds an id (changes_id_map).
template <class Map>
void apply_insert(Map& ids, Components& c, PendingInserts& pending, InsertRef item) {
    constexpr bool kExclusive = !std::is_const_v<Map>;
    auto it = ids.find(*item.id);
    if constexpr (kExclusive) {
        if (pending.contains(*item.id) || it == ids.end()) {
            pending.add(item);
            return;
        }
    } else {
        QOREL_ASSERT(it != ids.end(), "an insert applied under the shared id map");
    }
    c.replace_vector(it->second, item);
    c.set_metadata(it->second, std::move(*item.metadata));
}

// The text index rebuilt over another field or word form, from the rows as they now are.
void enable_text(Components& c, WalEntry::EnableText& e, void (*build)(TextIndex&, const HnswIndex&, const MetadataStore&)) {
    c.text.configure(TextConfig{std::move(e.field), e.stem});
    build(c.text, c.index, c.meta);
}

template <class Map>
void apply_records(Map& ids, Components& c, std::uint64_t dim, std::span<WalEntry> records,
                   void (*build_text)(TextIndex&, const HnswIndex&, const MetadataStore&)) {
    constexpr bool kExclusive = !std::is_const_v<Map>;
    PendingInserts pending;
    for (WalEntry& record : records) {
        if (auto* e = std::get_if<WalEntry::Insert>(&record.op)) {
            if (e->vector.size() != dim) continue;
            apply_insert(ids, c, pending, InsertRef{&e->id, e->vector, &e->metadata, &e->vector});
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
        } else if (auto* t = std::get_if<WalEntry::EnableText>(&record.op)) {
            if constexpr (kExclusive) pending.flush(c, ids);
            enable_text(c, *t, build_text);
        }
    }
    if constexpr (kExclusive) pending.flush(c, ids);
}

template <class Map>
void apply_block(Map& ids, Components& c, InsertBlock& block) {
    PendingInserts pending;
    for (std::size_t i = 0; i < block.size(); ++i)
        apply_insert(ids, c, pending, InsertRef{&block.ids[i], block.row(i), &block.metadata[i]});
    if constexpr (!std::is_const_v<Map>) pending.flush(c, ids);
}

}  // namespace

// Writers are serialised (the log mutex), so what the caller found about the ids stays true
// until the change is applied; only compaction may run in between, and it moves slots, not ids.
template <class Fn>
void Database::apply_locked(bool exclusive, Fn&& fn) {
    auto apply_with = [&](auto& ids) {
        auto index = index_.write();
        auto slot_ids = slot_to_id_.write();
        auto meta = metadata_.write();
        auto mindex = metadata_index_.write();
        auto text = text_index_.write();
        // Timed from here, with the locks held: a replay of the same records does this work
        // and, with no reader about, none of the waiting.
        const auto start = std::chrono::steady_clock::now();
        // Changes keep the metadata index in step, so it must exist first.
        if (!metadata_index_ready_.load(std::memory_order_acquire)) {
            build_metadata_index(*mindex, *index, *meta);
            metadata_index_ready_.store(true, std::memory_order_release);
        }
        if (!text_index_ready_.load(std::memory_order_acquire)) {
            build_text_index(*text, *index, *meta);
            text_index_ready_.store(true, std::memory_order_release);
        }
        Components c{*index, *slot_ids, *meta, *mindex, *text};
        fn(*ids, c);
        const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
        replay_ns_.fetch_add(static_cast<std::uint64_t>(took.count()), std::memory_order_relaxed);
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

void Database::apply(std::span<WalEntry> records) {
    if (records.empty()) return;
    const bool exclusive = changes_id_map(*id_to_slot_.read(), records);
    apply_locked(exclusive, [&](auto& ids, Components& c) { apply_records(ids, c, dim_, records, &Database::build_text_index); });
}

void Database::apply(InsertBlock& block) {
    if (block.size() == 0 || block.dim != dim_) return;
    const bool exclusive = changes_id_map(*id_to_slot_.read(), block);
    apply_locked(exclusive, [&](auto& ids, Components& c) { apply_block(ids, c, block); });
}

void Database::reserve_for_apply(std::size_t new_ids, bool changes_vectors) {
    if (new_ids == 0 && !changes_vectors) return;
    apply_locked(new_ids > 0, [&](auto& ids, Components& c) {
        c.index.reserve_nodes(new_ids);
        if (new_ids == 0) return;
        if constexpr (!std::is_const_v<std::remove_reference_t<decltype(ids)>>) ids.reserve(ids.size() + new_ids);
        const std::size_t slots = c.index.node_count() + new_ids;
        if (slots > c.slot_ids.capacity()) c.slot_ids.reserve(std::max(slots, c.slot_ids.capacity() + c.slot_ids.capacity() / 2));
        c.meta.reserve(slots);
    });
}

void Database::replay_wal(HeldFiles* held) {
    MutexLock lock(wal_mutex_);
    // A reader leaves the log as it is: whatever follows the intact records may be an append
    // in progress, which only the writer may cut.
    WalReadResult log = read_only_ ? read_wal(*env_, wal_path_) : wal_.read_for_replay();
    // The decoded records hold a vector each; once applied and freed they would stay resident.
    std::size_t bytes = 0;
    for (const WalEntry& e : log.entries)
        if (const auto* insert = std::get_if<WalEntry::Insert>(&e.op)) bytes += insert->vector.size() * sizeof(float);
    wal_bytes_.store(log.good_length, std::memory_order_relaxed);
    apply(log.entries);  // starts the replay estimate with the time this replay takes
    std::vector<WalEntry>().swap(log.entries);
    return_freed_memory(bytes);
    if (held) {
        held->wal = log.file;
        held->wal_length = log.total_length;
        held->wal_good = log.good_length;
    }
}

}  // namespace qorel
