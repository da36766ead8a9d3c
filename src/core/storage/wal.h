// The write-ahead log "wal.qorel" as the database uses it: the appending writer, and the
// reading for replay. The record framing is in wal_format.h, the payloads in wal_codec.h, the
// reader in wal_reader.h and the handling of damage in wal_salvage.h.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/files.h"
#include "storage/wal_codec.h"
#include "storage/wal_reader.h"

namespace qorel {

// The writer side of the log: appends records to the file at `path` in `env`, opening it lazily.
// REQUIRES: the caller serialises every call (the database's log mutex).
//
// Each append hands its records to the operating system before returning, so they survive a
// crash of the process; there is no fsync, so an operating-system crash may lose the tail.
// An append that fails leaves no trace: the file is cut back to where the append began (or,
// should even that fail, before the next record is written), so a failed call is a failed call
// after a restart too, and no torn bytes hide later records.
class Wal {
public:
    // Keeps a reference to `env`, which must outlive the writer.
    Wal(Env& env, std::string path);
    Wal(const Wal&) = delete;
    Wal& operator=(const Wal&) = delete;
    ~Wal() = default;  // closes the file; the buffer is always empty between appends

    // Encodes and writes the records in order, as one unit. Throws Io on encode, open, truncate
    // or write failure, with none of the records left in the file.
    void append(std::span<const WalEntry> entries);
    void append(const WalEntry& entry) { append(std::span<const WalEntry>(&entry, 1)); }
    // The block's rows as Insert records, in order, as one unit, encoded one at a time.
    void append(const InsertBlock& block);

    // Cuts the records of the last successful append back out of the file, for a caller that
    // could not apply them. Never throws: should the cut fail, it is made before the next append.
    // REQUIRES: no append since, and none that failed.
    void undo_last_append() noexcept;

    // Reads the log for replay (read_wal) and arranges for whatever follows its intact records
    // to be cut off before the next append. Bytes the reader stopped at because of damage may
    // hide intact records, so they are first copied to the next free "<path>.damaged-N" (an
    // existing file is never overwritten) and the log is cut at once. When that copy cannot be
    // made now (a read-only directory), the log is left whole and the copy is made before the
    // cut, by the first append; an append whose copy fails throws and cuts nothing.
    WalReadResult read_for_replay();

    // The side file the damaged bytes were copied to by the last read_for_replay, if any.
    const std::optional<std::string>& kept_damage() const { return kept_damage_; }

    // Replay found the intact records to end at `good_length`: if the file is longer when the
    // writer next opens it, the damaged tail is cut off first, so that new records are not
    // written after bytes that would end the next replay before them.
    void set_truncate_before_append(std::uint64_t good_length);

    // Closes the file; the next append opens it again (creating it if it was removed
    // meanwhile). Damage read_for_replay could not copy aside is tried once more first. Never
    // throws: nothing is buffered between appends.
    void close_writer() noexcept;

    const std::string& path() const { return path_; }

    // The file's length after the last append, or after the cut of the last failed or undone
    // one. REQUIRES: an append since the writer was last opened.
    std::uint64_t length() const { return end_; }

private:
    void open_writer();
    // Cuts the file back to end_ after a failed append; never throws.
    void roll_back() noexcept;
    // Copies the bytes from damaged_from_ on to a new side file, then forgets the offset.
    void keep_damaged_tail();
    // Writes `count` records, encode(i, scratch_) producing the i-th, as one unit: more than
    // one behind a Batch record.
    template <class Encode>
    void append_records(std::size_t count, Encode&& encode);

    Env& env_;
    std::string path_;
    std::optional<BufferedFileWriter> writer_;
    // Where the next opening of the file must cut it, if it is longer.
    std::optional<std::uint64_t> truncate_to_;
    // Start of damaged bytes that must be copied aside before the file is cut.
    std::optional<std::uint64_t> damaged_from_;
    std::optional<std::string> kept_damage_;
    // File length after the last record known to be complete (valid while writer_ is open).
    std::uint64_t end_ = 0;
    // Where the last successful append began.
    std::uint64_t last_start_ = 0;
    // Reused encoding buffer, so appends do not allocate in the steady state.
    std::vector<std::uint8_t> scratch_;
};

}  // namespace qorel
