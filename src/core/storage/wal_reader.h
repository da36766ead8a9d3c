// Reading the log for replay: its intact records front to back, and how the bytes after them
// came to be there.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/env.h"
#include "storage/wal_codec.h"

namespace qorel {

// How the bytes after the last intact record came to be there.
enum class WalTail : std::uint8_t {
    None,     // there are none: the records run to the end
    Torn,     // one record or batch cut short by the end, nothing intact after the cut: an
              // interrupted append
    Damaged,  // a checksum mismatch, an impossible length, a Batch record inside a batch or
              // without a count, or intact records after the cut
};

struct WalReadResult {
    std::vector<WalEntry> entries;  // in file order, members of an unfinished batch left out
    // Offset just past the last intact record outside a batch, or the last member of a complete
    // batch: where the next record belongs. A batch cut short or damaged ends the good bytes
    // before its Batch record. Intact records that were skipped (unknown kind, undecodable
    // payload) count as good bytes.
    std::uint64_t good_length = 0;
    // Bytes looked at: the whole input (the file's length when it was opened).
    std::uint64_t total_length = 0;
    WalTail tail = WalTail::None;
    // The file read (read_wal; none when there was no log).
    std::optional<FileId> file;
};

// Reads records front to back. A record cut short by the end of the bytes, or with an
// impossible length, or whose CRC does not match, ends the log: nothing from it on is used, nor
// anything of the batch it belongs to.
WalReadResult parse_wal(std::span<const std::uint8_t> bytes);

// parse_wal over the file at `path`, read through an 8 KiB buffer. A missing file holds no
// records; failures to open, measure or read it are thrown as Io.
WalReadResult read_wal(Env& env, const std::string& path);

}  // namespace qorel
