#include "storage/wal_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "error.h"
#include "storage/wal_salvage.h"

namespace qorel {
namespace {

constexpr std::size_t kReadBufferSize = 8 * 1024;

// Log bytes held in memory.
class SpanSource {
public:
    explicit SpanSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint64_t remaining() const { return bytes_.size() - pos_; }

    bool read(std::uint8_t* out, std::size_t n) {
        if (n > bytes_.size() - pos_) return false;
        if (n > 0) std::memcpy(out, bytes_.data() + pos_, n);
        pos_ += n;
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

// Log bytes read from a file through an 8 KiB buffer. `length` is the file's length at
// open; remaining() counts down from it, read() reports the actual end of the file.
class FileSource {
public:
    FileSource(ReadableFile& file, std::uint64_t length) : file_(file), length_(length) {}

    std::uint64_t remaining() const { return consumed_ < length_ ? length_ - consumed_ : 0; }

    bool read(std::uint8_t* out, std::size_t n) {
        consumed_ += n;
        std::size_t take = std::min(n, filled_ - pos_);
        if (take > 0) std::memcpy(out, buffer_ + pos_, take);
        pos_ += take;
        out += take;
        n -= take;
        while (n > 0) {
            if (n >= kReadBufferSize) {
                // Large payloads bypass the buffer.
                std::size_t got = read_some(out, n);
                if (got == 0) return false;
                out += got;
                n -= got;
                continue;
            }
            filled_ = read_some(buffer_, kReadBufferSize);
            pos_ = 0;
            if (filled_ == 0) return false;
            take = std::min(n, filled_);
            std::memcpy(out, buffer_, take);
            pos_ = take;
            out += take;
            n -= take;
        }
        return true;
    }

private:
    std::size_t read_some(std::uint8_t* out, std::size_t n) {
        const std::size_t got = file_.read_at(offset_, out, n);
        offset_ += got;
        return got;
    }

    ReadableFile& file_;
    std::uint64_t offset_ = 0;
    std::uint64_t length_;
    std::uint64_t consumed_ = 0;
    std::uint8_t buffer_[kReadBufferSize];
    std::size_t pos_ = 0;
    std::size_t filled_ = 0;
};

// What reading one record from a source gave.
enum class RecordRead { End, Intact, Torn, Damaged };

// Reads the record at the source's position into kind and payload.
template <class Source>
RecordRead read_record(Source& src, std::uint8_t& kind, std::vector<std::uint8_t>& payload) {
    if (src.remaining() == 0) return RecordRead::End;
    std::uint8_t header[5];
    if (!src.read(header, sizeof header)) return RecordRead::Torn;  // a header cut short
    kind = header[0];
    std::uint32_t length;
    std::memcpy(&length, header + 1, 4);
    // A length beyond any record the writer makes is damage. One the rest of the file cannot
    // hold (payload plus CRC) is a record cut off by the end, or a damaged length field; either
    // way the log ends here, before anything is allocated.
    if (length > kMaxWalPayload) return RecordRead::Damaged;
    if (src.remaining() < std::uint64_t{length} + 4) return RecordRead::Torn;
    payload.resize(length);
    std::uint8_t crc_bytes[4];
    if (!src.read(payload.data(), length) || !src.read(crc_bytes, 4)) return RecordRead::Torn;  // the file shrank
    std::uint32_t stored;
    std::memcpy(&stored, crc_bytes, 4);
    return wal_record_crc(kind, payload) == stored ? RecordRead::Intact : RecordRead::Damaged;
}

// The records of a log front to back. `torn_at` is set to where a Torn tail was cut: the
// record cut short, which inside a batch lies after the batch's intact members. Whether
// intact records follow the cut is for the caller to find out.
template <class Source>
WalReadResult scan_records(Source& src, std::uint64_t& torn_at) {
    WalReadResult result;
    std::vector<std::uint8_t> payload;
    std::uint64_t pos = 0;              // where the next record begins
    std::uint64_t members_left = 0;     // of the open batch; 0 outside a batch
    std::size_t batch_first = 0;        // index of the open batch's first entry
    for (;;) {
        std::uint8_t kind = 0;
        const RecordRead got = read_record(src, kind, payload);
        if (got == RecordRead::End) {
            if (members_left > 0) {  // the batch's last records were never written
                result.tail = WalTail::Torn;
                torn_at = pos;
            }
            break;
        }
        if (got == RecordRead::Torn) {
            result.tail = WalTail::Torn;
            torn_at = pos;
            break;
        }
        if (got == RecordRead::Damaged) {  // nothing after a damaged record is trusted
            result.tail = WalTail::Damaged;
            break;
        }
        pos += kWalRecordOverhead + payload.size();
        if (kind == static_cast<std::uint8_t>(WalKind::Batch)) {
            // The writer never nests batches nor leaves out the count: such a record is damage.
            const std::optional<std::uint64_t> members = decode_batch_frame(payload);
            if (members_left > 0 || !members) {
                result.tail = WalTail::Damaged;
                break;
            }
            members_left = *members;
            batch_first = result.entries.size();
            if (members_left == 0) result.good_length = pos;
            continue;
        }
        if (auto entry = decode_payload(kind, payload)) result.entries.push_back(std::move(*entry));
        if (members_left > 0 && --members_left > 0) continue;
        result.good_length = pos;
    }
    if (members_left > 0) {
        result.entries.erase(result.entries.begin() + static_cast<std::ptrdiff_t>(batch_first), result.entries.end());
    }
    return result;
}

// A cut-off tail longer than this is not searched for intact records but taken as damage
// outright: an interrupted append leaves a piece of one record, and records that large are rare.
constexpr std::uint64_t kTailScanLimit = std::uint64_t{64} << 20;

}  // namespace

WalReadResult parse_wal(std::span<const std::uint8_t> bytes) {
    SpanSource src(bytes);
    std::uint64_t torn_at = 0;
    WalReadResult result = scan_records(src, torn_at);
    result.total_length = bytes.size();
    if (result.tail == WalTail::Torn && may_hide_records(bytes, torn_at + 1)) result.tail = WalTail::Damaged;
    return result;
}

WalReadResult read_wal(Env& env, const std::string& path) {
    const std::unique_ptr<ReadableFile> file = env.open_readable(path);
    if (!file) return {};  // never written, or emptied by a save
    const FileId id = file->id();
    const std::uint64_t length = file->size();
    if (length == 0) {
        WalReadResult empty;
        empty.file = id;
        return empty;
    }
    auto source = std::make_unique<FileSource>(*file, length);
    std::uint64_t torn_at = 0;
    WalReadResult result = scan_records(*source, torn_at);
    result.total_length = length;
    result.file = id;
    if (result.tail == WalTail::Torn) {
        // Damage to a length field looks like a record cut off by the end; intact records
        // behind it tell the two apart.
        const std::uint64_t tail = length - torn_at;
        if (tail > kTailScanLimit) {
            result.tail = WalTail::Damaged;
        } else {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(tail));
            bytes.resize(file->read_at(torn_at, bytes.data(), bytes.size()));
            if (may_hide_records(bytes, 1)) result.tail = WalTail::Damaged;
        }
    }
    return result;
}

}  // namespace qorel
