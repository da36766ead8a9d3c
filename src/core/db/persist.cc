// Opening a stored database, save and compaction.

#include <algorithm>
#include <chrono>
#include <thread>

#include "database.h"
#include "storage/crc32.h"
#include "storage/recovery.h"
#include "text/text_file.h"

namespace qorel {

std::unique_ptr<Database> Database::load(const std::string& path, std::shared_ptr<Env> env, const GraphChoice& graph,
                                         bool quantize_argument, HeldFiles* held) {
    const Storage storage = Storage::make(*env, path);
    const bool has_quantized = env->file_exists(storage.quantized_path);
    LoadedStorage loaded = load_storage(storage, graph.graph_path);
    const std::uint64_t dim = loaded.index.dim();
    const std::size_t n = loaded.index.node_count();
    const bool read_only = held != nullptr;
    if (held)
        *held = HeldFiles{loaded.graph.id(), graph.pending, loaded.vectors_file, std::nullopt, 0, 0, loaded.delta_file,
                          loaded.delta_length};
    std::unique_ptr<Database> db(new Database(path, std::move(env), std::move(loaded.index), dim,
                                              has_quantized || quantize_argument, read_only));
    // The text index's configuration is read now; its postings wait for their first use.
    std::optional<TextConfig> text_config = read_text_config(*db->env_, path);
    {
        ExclusiveLock gate(db->save_gate_);  // nobody else has the database yet
        db->settle_pending_ = graph.pending && !read_only;
        if (!read_only && !graph.pending) db->increments_ = std::move(loaded.increments);
        if (!read_only) db->text_config_saved_ = text_config;
    }

    auto& ids = db->id_to_slot_.unguarded();
    auto& slot_ids = db->slot_to_id_.unguarded();
    auto& meta = db->metadata_.unguarded();
    auto& index = db->index_.unguarded();
    slot_ids.assign(n, std::string());
    ids.reserve(loaded.records.size(), loaded.id_bytes);
    // Saves write one record per live slot and id, so anything else comes from a damaged file.
    // A later record with the same id replaces the earlier mapping, and one naming a slot that
    // another id already holds takes it over; a record naming a deleted slot is dropped.
    constexpr std::uint32_t kUnnamed = UINT32_MAX;
    std::vector<std::uint32_t> record_of(n, kUnnamed);  // the record that names each slot
    // Each insertion's table cell is a cache miss of its own: ids are hashed and their cells
    // requested this many records ahead, so that the misses overlap.
    constexpr std::size_t kAhead = 8;
    IdMap::Hashed ahead[kAhead];
    const std::size_t record_count = loaded.records.size();
    for (std::size_t i = 0; i < std::min(kAhead, record_count); ++i) {
        ahead[i] = IdMap::hashed(loaded.records[i].id());
        ids.prefetch(ahead[i]);
    }
    for (std::uint32_t i = 0; i < record_count; ++i) {
        const StoredRecord& r = loaded.records[i];
        const IdMap::Hashed id = ahead[i % kAhead];
        if (i + kAhead < record_count) {
            ahead[i % kAhead] = IdMap::hashed(loaded.records[i + kAhead].id());
            ids.prefetch(ahead[i % kAhead]);
        }
        if (index.is_deleted(r.slot)) continue;
        auto [it, fresh] = ids.emplace(id, r.slot);
        if (!fresh) {
            const Slot old = it->second;
            record_of[old] = kUnnamed;
            slot_ids[old].clear();
            ids.erase(it);
        }
        if (record_of[r.slot] != kUnnamed) ids.erase(slot_ids[r.slot]);
        if (!fresh) ids.emplace(id, r.slot);
        record_of[r.slot] = i;
        slot_ids[r.slot].assign(r.id());
    }
    // Flat texts stay texts until a row is read: copied, in slot order, into one block the
    // store keeps (the mapping of the file goes once the open is done).
    std::vector<char> texts;
    texts.reserve(loaded.flat_text_bytes);
    meta.load_texts(n, std::move(texts));
    for (Slot s = 0; s < n; ++s) {
        if (record_of[s] == kUnnamed) {
            // A live slot left without an id could never be read, updated or deleted by id,
            // yet it would count in len() and come back from searches under an empty or
            // another's id.
            index.mark_deleted(s);
            continue;
        }
        const StoredRecord& r = loaded.records[record_of[s]];
        if (r.has_text()) {
            meta.append_text(s, r.text());
        } else if (r.parsed != StoredRecord::kNone) {
            meta[s] = std::move(loaded.parsed_metadata[r.parsed]);
        }
    }
    // The metadata and text indexes wait for their first use (a change from the log may be
    // that use).
    db->metadata_index_ready_.store(false, std::memory_order_release);
    if (text_config) {
        db->text_index_.unguarded().configure(std::move(*text_config));
        db->text_index_ready_.store(false, std::memory_order_release);
    }
    db->replay_wal(held);
    return db;
}

void Database::build_metadata_index(MetadataIndex& mindex, const HnswIndex& index, const MetadataStore& meta) {
    MetadataIndex::TextIndexer from_text(mindex);
    const std::size_t n = std::min(index.node_count(), meta.size());
    for (Slot s = 0; s < n; ++s) {
        if (index.is_deleted(s)) continue;
        // A row still in its text is indexed from it, without a JSON value.
        if (const std::optional<std::string_view> text = meta.stored_text(s)) {
            from_text.index(s, *text);
        } else if (const std::optional<Json>& row = meta[s]) {
            mindex.index(s, &*row);
        }
    }
}

void Database::ensure_metadata_index(const HnswIndex& index, const MetadataStore& meta) const {
    if (metadata_index_ready_.load(std::memory_order_acquire)) return;
    auto mindex = metadata_index_.write();
    if (metadata_index_ready_.load(std::memory_order_relaxed)) return;  // another thread built it
    build_metadata_index(*mindex, index, meta);
    metadata_index_ready_.store(true, std::memory_order_release);
}

std::unique_ptr<Database> Database::open(const std::string& path, std::shared_ptr<Env> env, OpenMode mode) {
    if (mode == OpenMode::ReadOnly) {
        // Under its real path, as the writer's registry opens it, so that refresh() reads the
        // same directory after a change of the working directory.
        const std::optional<std::string> real = env->real_path(path);
        return open_snapshot(real ? *real : path, std::move(env));
    }
    std::optional<GraphChoice> graph = locate_database(Storage::make(*env, path));
    if (!graph) throw QorelError::database_not_found(path);
    return load(path, std::move(env), *graph, false);
}

std::unique_ptr<Database> Database::open_snapshot(const std::string& path, std::shared_ptr<Env> env) {
    // Attempts that overlap a save's renames, or the log's deletion and re-creation, are made
    // again after a pause that grows from 1 ms to 100 ms: a save's renames take far less, and
    // the bound keeps a reader from waiting without end beside a writer that saves nonstop.
    constexpr int kAttempts = 25;
    constexpr auto kLongestPause = std::chrono::milliseconds(100);
    const Storage storage = Storage::make(*env, path);
    const std::string wal_path = join_path(path, "wal.qorel");
    auto pause = std::chrono::milliseconds(1);
    for (int attempt = 1;; ++attempt) {
        const DirectoryFiles before = look_at_files(storage, wal_path);
        try {
            std::optional<GraphChoice> graph = locate_database(storage, false);
            if (!graph) throw QorelError::database_not_found(path);
            // Between a save's renames the vectors are newer than "graph.qorel" (yet may share
            // its length and norms): choose_graph compares the whole file and takes graph.tmp.
            // A save that renames anything after `before` shows in the names compared below.
            HeldFiles held;
            std::unique_ptr<Database> db = load(path, env, *graph, false, &held);
            const DirectoryFiles after = look_at_files(storage, wal_path);
            const std::optional<FileId>& graph_after = graph->pending ? after.graph_tmp : after.graph;
            const std::optional<FileId>& graph_before = graph->pending ? before.graph_tmp : before.graph;
            if (graph_before == graph_after && graph_after == held.graph && before.vectors == after.vectors &&
                after.vectors == held.vectors && before.wal == after.wal && after.wal == held.wal &&
                before.delta == after.delta && after.delta == held.delta) {
                MutexLock turn(db->refresh_mutex_);
                db->held_ = held;
                return db;
            }
        } catch (const QorelError&) {
            // Files replaced while they were read can look missing or unrelated; files that
            // stood still are what they are.
            const DirectoryFiles after = look_at_files(storage, wal_path);
            if (after.graph == before.graph && after.vectors == before.vectors && after.wal == before.wal &&
                after.graph_tmp == before.graph_tmp && after.delta == before.delta)
                throw;
        }
        if (attempt == kAttempts)
            throw QorelError::io("the database at '" + path + "' changed while each of " + std::to_string(kAttempts) +
                                 " attempts read it; open it again");
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestPause);
    }
}

void Database::refresh() {
    if (!read_only_) return;
    MutexLock turn(refresh_mutex_);
    // The files read last time all still in place, and the log as long as it was: nothing is
    // new. (Between saves the log only grows, but for a torn tail that the writer cuts off.)
    const DirectoryFiles now = look_at_files(storage_, wal_path_);
    bool unchanged = (held_.graph_is_tmp ? now.graph_tmp : now.graph) == held_.graph && now.vectors == held_.vectors &&
                     now.wal == held_.wal && now.delta == held_.delta;
    try {
        if (unchanged && now.wal) unchanged = env_->file_size(wal_path_) == held_.wal_length;
        // An incremental save appends to graph.delta in place.
        if (unchanged && now.delta) unchanged = env_->file_size(storage_.delta_path) == held_.delta_length;
    } catch (const QorelError&) {
        unchanged = false;  // deleted by a save just now
    }
    if (unchanged) return;
    // No save since the last look: a full save replaces the graph file (the files read stay
    // held, so their identities are not reused) and an incremental one lengthens graph.delta.
    // Then the log only grew, and its new records are applied to the state in hand.
    const HeldFiles held = held_;
    const auto no_save_since = [&] {
        const DirectoryFiles files = look_at_files(storage_, wal_path_);
        if ((held.graph_is_tmp ? files.graph_tmp : files.graph) != held.graph || files.vectors != held.vectors ||
            files.delta != held.delta)
            return false;
        try {
            return !files.delta || env_->file_size(storage_.delta_path) == held.delta_length;
        } catch (const QorelError&) {
            return false;
        }
    };
    if (now.wal && (!held_.wal || now.wal == held_.wal) && no_save_since() && catch_up_with_log(no_save_since)) return;
    std::unique_ptr<Database> fresh = open_snapshot(path_, env_);
    if (fresh->dim_ != dim_) throw QorelError::dimension_mismatch(dim_, fresh->dim_);
    {
        MutexLock theirs(fresh->refresh_mutex_);  // nobody else has it
        held_ = fresh->held_;
    }
    auto ids = id_to_slot_.write();
    auto index = index_.write();
    auto slot_ids = slot_to_id_.write();
    auto meta = metadata_.write();
    auto mindex = metadata_index_.write();
    auto text = text_index_.write();
    // Swapped, so that the old state is freed with `fresh`, after the locks are released.
    std::swap(*ids, fresh->id_to_slot_.unguarded());
    std::swap(*index, fresh->index_.unguarded());
    std::swap(*slot_ids, fresh->slot_to_id_.unguarded());
    std::swap(*meta, fresh->metadata_.unguarded());
    std::swap(*mindex, fresh->metadata_index_.unguarded());
    std::swap(*text, fresh->text_index_.unguarded());
    metadata_index_ready_.store(fresh->metadata_index_ready_.load(std::memory_order_acquire), std::memory_order_release);
    text_index_ready_.store(fresh->text_index_ready_.load(std::memory_order_acquire), std::memory_order_release);
}

bool Database::catch_up_with_log(const std::function<bool()>& no_save_since) {
    // A log grown by more than this is read by a whole open, which streams it.
    constexpr std::uint64_t kLargestCatchUp = std::uint64_t{64} << 20;
    std::unique_ptr<ReadableFile> file;
    try {
        file = env_->open_readable(wal_path_);
    } catch (const QorelError&) {
        return false;
    }
    if (!file) return false;
    const FileId id = file->id();
    if (held_.wal && id != *held_.wal) return false;
    const std::uint64_t from = held_.wal ? held_.wal_good : 0;
    const std::uint64_t size = file->size();
    if (size < from || size - from > kLargestCatchUp) return false;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size - from));
    bytes.resize(file->read_at(from, bytes.data(), bytes.size()));
    // A save since the look before may have deleted the log read and a new one taken its
    // place (and the identity of the deleted file).
    if (!no_save_since()) return false;
    WalReadResult log = parse_wal(bytes);
    // Damage is left to a whole open, which reports it the way every open does.
    if (log.tail == WalTail::Damaged) return false;
    {
        MutexLock lock(wal_mutex_);
        apply(log.entries);
        wal_bytes_.store(from + log.good_length, std::memory_order_relaxed);
    }
    held_.wal = id;
    held_.wal_length = from + log.total_length;
    held_.wal_good = from + log.good_length;
    return true;
}

void Database::save() {
    check_writable();
    // Outermost: wait for mutations between their log append and their change in memory.
    ExclusiveLock gate(save_gate_);
    // The log mutex next, as every mutation takes it: one order for all keeps lock checkers
    // and later changes from having to reason about the gate to see that no cycle forms.
    MutexLock log(wal_mutex_);
    save_locked();
}

bool Database::checkpoint_due(const CheckpointPolicy& policy) const {
    const double replay = static_cast<double>(replay_ns_.load(std::memory_order_relaxed)) * 1e-9;
    const std::uint64_t bytes = wal_bytes_.load(std::memory_order_relaxed);
    return (policy.replay_seconds > 0 && replay >= policy.replay_seconds) ||
           (policy.log_bytes > 0 && bytes >= policy.log_bytes);
}

bool Database::checkpoint(const CheckpointPolicy& policy) {
    if (!checkpoint_due(policy)) return false;
    ExclusiveLock gate(save_gate_);
    MutexLock log(wal_mutex_);
    // Writers that passed the bound together queue here; the first one's save serves them all.
    if (!checkpoint_due(policy)) return false;
    save_locked();
    return true;
}

namespace {

// The slots an increment names, each once and in order.
std::vector<Slot> sorted_unique(std::vector<Slot> slots) {
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    return slots;
}

// An increment may grow to this fraction of the files of its full save before the next save
// is a full one again: opening applies every increment, and a full save folds them away.
constexpr std::uint64_t kIncrementShare = 4;

}  // namespace

void Database::save_locked() {
    auto ids = id_to_slot_.read();
    auto index = index_.read();
    auto slot_ids = slot_to_id_.read();
    auto meta = metadata_.read();

    auto record_of = [&](Slot slot, const std::string& id) -> MetaRecord {
        if (slot >= meta->size()) return {slot, id, std::nullopt, std::nullopt};
        if (const std::optional<std::string_view> text = meta->stored_text(slot))
            return {slot, id, std::nullopt, text};  // never read since the open: as it was
        return {slot, id, (*meta)[slot], std::nullopt};
    };

    env_->create_directories(path_);
    // A save that stopped between its renames may have left graph.tmp as the only graph of
    // vectors.bin: it is moved into place before this save writes graph.tmp again.
    if (settle_pending_) {
        settle_pending_ = false;
        increments_.reset();
        settle_interrupted_save(storage_, true);
    }

    // Only what changed since the files were last written goes out, as one segment of
    // graph.delta, when the files are of the current format and the increments stay small. A
    // graph.tmp left beside them (its removal failed) could describe the same rows once this
    // appends to them, and an open would then take it for the newer graph: a full save
    // replaces it instead.
    std::optional<std::vector<std::uint8_t>> segment;  // the increment, when this save writes one
    std::vector<Slot> segment_rows;                    // the stored rows it holds anew
    std::size_t appended = 0;                          // rows it adds to the vectors file
    const bool quantizer_as_saved = increments_ && (quantize_ == increments_->quantizer.has_value());
    if (increments_ && quantizer_as_saved && !index->changed_wholly() && index->node_count() >= increments_->slots &&
        !env_->file_exists(temporary_path(storage_.graph_path))) {
        const IncrementBase& base = *increments_;
        const std::size_t n = index->node_count();
        SegmentInput in;
        in.index = &*index;
        in.quantizer = base.quantizer ? &*base.quantizer : nullptr;
        in.deleted = sorted_unique(index->deleted_since_save());
        for (Slot s = 0; s < n; ++s)
            if (s >= base.slots || index->lists_changed(s)) in.nodes.push_back(s);
        std::vector<Slot> rows;
        for (const Slot s : index->rows_changed())
            if (s < base.slots) rows.push_back(s);
        in.row_slots = sorted_unique(std::move(rows));
        segment_rows = in.row_slots;
        in.norm_slots = in.row_slots;
        for (Slot s = static_cast<Slot>(base.slots); s < n; ++s) in.norm_slots.push_back(s);
        std::vector<Slot> named = index->records_changed();
        for (Slot s = static_cast<Slot>(base.slots); s < n; ++s) named.push_back(s);
        for (const Slot s : sorted_unique(std::move(named))) {
            if (index->is_deleted(s) || s >= slot_ids->size() || (*slot_ids)[s].empty()) continue;
            in.records.push_back(record_of(s, (*slot_ids)[s]));
        }
        // New rows go to the vectors file, which grows no more than a full save would make
        // it; the segment counts against the increments' share of the full save.
        const auto rows_added = std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(index->vector(static_cast<Slot>(base.slots))), (n - base.slots) * dim_ * 4);
        in.vectors_length = std::uint64_t{n} * dim_ * 4;
        in.vectors_crc = crc32c(rows_added, base.vectors_crc);
        in.base_id = base.save_id;
        in.sequence = base.segments;
        std::vector<std::uint8_t> bytes = encode_segment(in);
        if (base.delta_length + bytes.size() <= base.base_bytes / kIncrementShare) segment.emplace(std::move(bytes));
    }

    try {
        if (segment) {
            appended = index->node_count() - increments_->slots;
            save_increment(storage_, *index, *segment, *increments_);
            std::vector<Slot>& held = increments_->rows_in_segments;
            held.insert(held.end(), segment_rows.begin(), segment_rows.end());
            held = sorted_unique(std::move(held));
        } else {
            std::vector<MetaRecord> records;
            records.reserve(ids->size());
            for (const auto& [id, slot] : *ids) records.push_back(record_of(slot, id));
            std::optional<ScalarQuantizer> quantizer;
            if (quantize_) quantizer = ScalarQuantizer::train(index->vectors().all(), dim_);
            increments_ = save_storage(storage_, *index, records, quantizer ? &*quantizer : nullptr, settle_pending_);
        }
    } catch (...) {
        // Which of the files' bytes the failed save changed is unknown: the next save writes
        // them all.
        increments_.reset();
        text_config_saved_.reset();
        throw;
    }
    const bool incremental = segment.has_value();
    // Before the log goes: it may hold the record that enabled the text index. A directory
    // without one keeps no settings file from a database that was there before. The file holds
    // the configuration alone (the postings come from the metadata), so one that already holds
    // it stays as it is.
    if (const std::optional<TextConfig> text = text_index_.read()->config();
        !text_config_saved_ || *text_config_saved_ != text) {
        text_config_saved_.reset();  // a write that fails part way leaves the file unknown
        if (text) {
            write_text_config(*env_, path_, *text);
        } else {
            env_->remove_file_if_exists(join_path(path_, kTextConfigFile));
        }
        text_config_saved_ = text;
    }

    // The data files now hold every change the log records.
    wal_.close_writer();
    env_->remove_file_if_exists(wal_.path());
    replay_ns_.store(0, std::memory_order_relaxed);
    wal_bytes_.store(0, std::memory_order_relaxed);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    last_save_ns_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(), std::memory_order_relaxed);

    // Nothing changes the index meanwhile: the gate keeps writes out, and the id map, still
    // held, keeps a compaction from swapping in another index.
    const std::size_t floats = index->vectors().count();
    meta.release();
    slot_ids.release();
    index.release();
    auto written = index_.write();
    written->forget_changes();
    // The vectors file now holds every row: the store goes over to it, which gives back the
    // memory that rows written since the open took (the file's pages belong to the page cache).
    // After an increment, rows the segments hold anew are stale in the file and are written
    // over it in the region, as an open does; an increment that added no row changes nothing
    // worth a new mapping. A failure to map leaves the rows where they are.
    if (floats == 0 || (incremental && appended == 0)) return;
    std::unique_ptr<PrivateRegion> region;
    try {
        region = incremental ? map_vectors_region(storage_, increments_->vectors_length) : map_vectors_region(storage_);
    } catch (const std::exception&) {
        return;
    }
    if (region->size() < floats * sizeof(float)) return;
    if (incremental) {
        for (const Slot s : increments_->rows_in_segments)
            std::memcpy(region->data() + std::size_t{s} * dim_ * sizeof(float), written->vector(s), dim_ * sizeof(float));
    }
    written->adopt_vectors(std::move(region));
}

void Database::compact() {
    check_writable();
    // Holding id_to_slot exclusively keeps every mutation out from the snapshot to the swap;
    // searches go on over the old index while the new one is built.
    auto ids = id_to_slot_.write();
    std::vector<Slot> remap;
    std::vector<std::vector<float>> vectors;
    std::optional<HnswIndex> fresh;
    bool quantized = false;
    {
        auto index = index_.read();
        if (index->deleted().empty()) return;
        const std::size_t n = index->node_count();
        remap.assign(n, kNoSlot);
        vectors.reserve(index->active_count());
        for (Slot s = 0; s < n; ++s) {
            if (index->is_deleted(s)) continue;
            remap[s] = static_cast<Slot>(vectors.size());
            vectors.emplace_back(index->vector(s), index->vector(s) + index->dim());
        }
        fresh.emplace(index->dim(), index->metric(), index->m(), index->ef_construction());
        quantized = index->quantized().has_value();
    }
    const std::size_t live = vectors.size();
    if (!vectors.empty()) fresh->batch_insert(std::move(vectors));
    if (quantized) fresh->enable_quantized_search();

    IdMap new_ids;
    new_ids.reserve(live);
    std::vector<std::string> new_slot_ids(live);
    std::vector<std::optional<Json>> new_meta(live);
    {
        auto meta = metadata_.read();
        for (const auto& [id, old] : *ids) {
            if (old >= remap.size() || remap[old] == kNoSlot) continue;
            const Slot s = remap[old];
            new_ids.emplace(id, s);
            new_slot_ids[s] = id;
            if (old < meta->size()) new_meta[s] = (*meta)[old];
        }
    }
    MetadataIndex new_mindex;
    new_mindex.rebuild(new_meta, {});
    TextIndex new_text;
    if (std::optional<TextConfig> config = text_index_.read()->config()) {
        new_text.configure(std::move(*config));
        for (std::size_t s = 0; s < new_meta.size(); ++s)
            new_text.index_metadata(static_cast<Slot>(s), new_meta[s] ? &*new_meta[s] : nullptr);
    }

    auto index = index_.write();
    auto slot_ids = slot_to_id_.write();
    auto meta = metadata_.write();
    auto mindex = metadata_index_.write();
    auto text = text_index_.write();
    *ids = std::move(new_ids);
    *index = std::move(*fresh);
    *slot_ids = std::move(new_slot_ids);
    *meta = MetadataStore(std::move(new_meta));
    *mindex = std::move(new_mindex);
    *text = std::move(new_text);
    metadata_index_ready_.store(true, std::memory_order_release);
    text_index_ready_.store(true, std::memory_order_release);
}

}  // namespace qorel
