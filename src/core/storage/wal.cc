#include "wal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "crc32.h"
#include "error.h"

namespace qorel {
namespace {

constexpr std::size_t kReadBufferSize = 8 * 1024;
// An append that needed a bigger encoding buffer than this gives it back afterwards, so one
// huge record does not pin its memory for the life of the database.
constexpr std::size_t kScratchKeep = 1 << 20;

[[noreturn]] void record_too_large(std::uint64_t bytes) {
    throw QorelError::io("log record too large: " + std::to_string(bytes) + " bytes (the limit is " +
                         std::to_string(kMaxWalPayload) + ")");
}

// Fails the encoding early when one field alone is already over the payload limit, so the sum
// of the fields below cannot overflow.
void check_part(std::uint64_t bytes) {
    if (bytes > kMaxWalPayload) record_too_large(bytes);
}

void put_vector(ByteWriter& w, std::span<const float> v) {
    w.u32(static_cast<std::uint32_t>(v.size()));
    w.floats(v);
}

std::uint32_t record_crc(std::uint8_t kind, std::span<const std::uint8_t> payload) {
    return crc32(payload, crc32(std::span<const std::uint8_t>(&kind, 1)));
}

// Whether no container in `value` lies deeper than `limit`, checked without recursion since the
// value itself may be arbitrarily deep.
bool depth_within(const Json& value, std::size_t limit) {
    if (!value.is_structured()) return true;
    std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 1}};
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        if (depth > limit) return false;
        for (const Json& child : *node) {
            if (child.is_structured()) pending.emplace_back(&child, depth + 1);
        }
    }
    return true;
}

// The same bound over JSON text, by counting open brackets outside strings. Only exact for
// well-formed text, which is all that matters: anything else fails to parse anyway.
bool text_depth_within(std::span<const std::uint8_t> text, std::size_t limit) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint8_t c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

std::string checked_metadata_text(const Json& value) {
    std::optional<std::string> text = metadata_text(value);
    if (!text) {
        throw QorelError::io("metadata nested deeper than " + std::to_string(kMaxMetadataDepth) + " levels");
    }
    return std::move(*text);
}

bool read_flag(ByteReader& in, bool& out) {
    if (in.remaining() < 1) return false;
    out = in.u8() == 1;  // any other value means "absent"
    return true;
}

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

// Log bytes read from a descriptor through an 8 KiB buffer. `length` is the file's length at
// open; remaining() counts down from it, read() reports the actual end of the file.
class FileSource {
public:
    FileSource(int fd, std::uint64_t length) : fd_(fd), length_(length) {}

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
        for (;;) {
            ssize_t got = ::read(fd_, out, n);
            if (got >= 0) return static_cast<std::size_t>(got);
            if (errno != EINTR) throw QorelError::io_errno(errno);
        }
    }

    int fd_;
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
    return record_crc(kind, payload) == stored ? RecordRead::Intact : RecordRead::Damaged;
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

int open_read_only(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// Up to `n` bytes at `offset`; fewer only at the end of the file.
std::size_t pread_full(int fd, std::uint8_t* out, std::size_t n, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw QorelError::io_errno(errno);
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void write_full(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        ssize_t put = ::write(fd, data, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw QorelError::io_errno(errno);
        }
        data += put;
        n -= static_cast<std::size_t>(put);
    }
}

// The first offset at or after `from` where an intact record of a known kind begins. `budget`
// is how many payload bytes may be checksummed: crafted bytes could make the search quadratic.
// nullopt when there is none, or when the budget ran out (then `budget` is 0).
std::optional<std::uint64_t> search_record(std::span<const std::uint8_t> bytes, std::uint64_t from, std::uint64_t& budget) {
    for (std::uint64_t pos = from; pos + kWalRecordOverhead <= bytes.size(); ++pos) {
        const std::uint8_t kind = bytes[pos];
        if (kind < static_cast<std::uint8_t>(WalKind::Insert) || kind > static_cast<std::uint8_t>(WalKind::Batch)) continue;
        std::uint32_t length;
        std::memcpy(&length, bytes.data() + pos + 1, 4);
        if (length > bytes.size() - pos - kWalRecordOverhead) continue;
        if (length > budget) {
            budget = 0;
            return std::nullopt;
        }
        budget -= length;
        std::uint32_t stored;
        std::memcpy(&stored, bytes.data() + pos + 5 + length, 4);
        if (record_crc(kind, bytes.subspan(pos + 5, length)) == stored) return pos;
    }
    return std::nullopt;
}

// Whether bytes from `from` on may hold intact records: one was found, or the search gave up.
bool may_hide_records(std::span<const std::uint8_t> bytes, std::uint64_t from) {
    std::uint64_t budget = std::uint64_t{256} << 20;
    return search_record(bytes, from, budget) || budget == 0;
}

std::string parent_directory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Encoding

std::optional<std::string> metadata_text(const Json& value) {
    if (!depth_within(value, kMaxMetadataDepth)) return std::nullopt;
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<Json> parse_metadata_text(std::span<const std::uint8_t> text) {
    if (!text_depth_within(text, kMaxMetadataDepth)) return std::nullopt;
    Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

void write_metadata(ByteWriter& out, const std::optional<Json>& metadata) {
    std::string text = metadata ? checked_metadata_text(*metadata) : std::string();
    check_part(text.size());
    out.string(text);
}

void encode_insert(std::string_view id, std::span<const float> vector, const std::optional<Json>& metadata,
                   std::vector<std::uint8_t>& out) {
    // Serialise the metadata first: its length is part of the payload length written up front.
    const std::string meta = metadata ? checked_metadata_text(*metadata) : std::string();
    check_part(id.size());
    check_part(vector.size() * std::uint64_t{4});
    check_part(meta.size());
    const std::uint64_t size = 4 + id.size() + 4 + 4 * std::uint64_t{vector.size()} + 4 + meta.size();
    check_part(size);

    const std::size_t start = out.size();
    out.reserve(start + kWalRecordOverhead + size);
    ByteWriter w(out);
    const auto kind = static_cast<std::uint8_t>(WalKind::Insert);
    w.u8(kind);
    w.u32(static_cast<std::uint32_t>(size));
    w.string(id);
    put_vector(w, vector);
    w.string(meta);  // empty text is length 0: no metadata
    QOREL_ASSERT(out.size() - start == 5 + size, "log payload length disagrees with its encoding");
    std::span<const std::uint8_t> payload(out.data() + start + 5, size);
    w.u32(record_crc(kind, payload));
}

void encode_record(const WalEntry& entry, std::vector<std::uint8_t>& out) {
    if (const auto* e = std::get_if<WalEntry::Insert>(&entry.op)) {
        encode_insert(e->id, e->vector, e->metadata, out);
        return;
    }
    // Serialise the metadata first: its length is part of the payload length written up front.
    std::string meta;
    std::uint64_t size = 0;
    if (const auto* d = std::get_if<WalEntry::Delete>(&entry.op)) {
        check_part(d->id.size());
        size = 4 + d->id.size();
    } else {
        const auto& u = std::get<WalEntry::Update>(entry.op);
        if (u.has_metadata_change && u.new_metadata) meta = checked_metadata_text(*u.new_metadata);
        check_part(u.id.size());
        check_part(u.vector ? u.vector->size() * std::uint64_t{4} : 0);
        check_part(meta.size());
        size = 4 + u.id.size() + 1 + (u.vector ? 4 + 4 * std::uint64_t{u.vector->size()} : 0) + 1 +
               (u.has_metadata_change ? 4 + meta.size() : 0);
    }
    check_part(size);

    const std::size_t start = out.size();
    out.reserve(start + kWalRecordOverhead + size);
    ByteWriter w(out);
    const auto kind = static_cast<std::uint8_t>(entry.kind());
    w.u8(kind);
    w.u32(static_cast<std::uint32_t>(size));
    if (const auto* d = std::get_if<WalEntry::Delete>(&entry.op)) {
        w.string(d->id);
    } else {
        const auto& u = std::get<WalEntry::Update>(entry.op);
        w.string(u.id);
        w.u8(u.vector ? 1 : 0);
        if (u.vector) put_vector(w, *u.vector);
        w.u8(u.has_metadata_change ? 1 : 0);
        if (u.has_metadata_change) w.string(meta);  // length 0 removes the metadata
    }
    QOREL_ASSERT(out.size() - start == 5 + size, "log payload length disagrees with its encoding");
    std::span<const std::uint8_t> payload(out.data() + start + 5, size);
    w.u32(record_crc(kind, payload));
}

void encode_batch_frame(std::uint64_t members, std::vector<std::uint8_t>& out) {
    ByteWriter w(out);
    const auto kind = static_cast<std::uint8_t>(WalKind::Batch);
    w.u8(kind);
    w.u32(kWalBatchPayload);
    const std::size_t payload_at = out.size();
    w.u64(members);
    w.u32(record_crc(kind, std::span<const std::uint8_t>(out.data() + payload_at, kWalBatchPayload)));
}

std::vector<std::uint8_t> encode_record(const WalEntry& entry) {
    std::vector<std::uint8_t> out;
    encode_record(entry, out);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Decoding

std::optional<std::size_t> utf8_error_offset(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    auto cont = [&](std::size_t at, unsigned lo, unsigned hi) { return at < n && s[at] >= lo && s[at] <= hi; };
    while (i < n) {
        // Ids and texts are mostly ASCII: eight such bytes are passed over at once.
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        unsigned c = s[i];
        if (c < 0x80) {
            ++i;
        } else if (c < 0xC2) {  // a stray continuation byte or an overlong two-byte form
            return i;
        } else if (c < 0xE0) {
            if (!cont(i + 1, 0x80, 0xBF)) return i;
            i += 2;
        } else if (c < 0xF0) {
            unsigned lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong three-byte forms
            unsigned hi = c == 0xED ? 0x9F : 0xBF;  // no UTF-16 surrogates
            if (!cont(i + 1, lo, hi) || !cont(i + 2, 0x80, 0xBF)) return i;
            i += 3;
        } else if (c < 0xF5) {
            unsigned lo = c == 0xF0 ? 0x90 : 0x80;  // no overlong four-byte forms
            unsigned hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
            if (!cont(i + 1, lo, hi) || !cont(i + 2, 0x80, 0xBF) || !cont(i + 3, 0x80, 0xBF)) return i;
            i += 4;
        } else {
            return i;
        }
    }
    return std::nullopt;
}

bool read_string(ByteReader& in, std::string& out) {
    if (in.remaining() < 4) return false;
    std::uint32_t length = in.u32();
    if (length > in.remaining()) return false;
    auto bytes = in.bytes(length);
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (utf8_error_offset(text)) return false;
    out.assign(text);
    return true;
}

bool read_vector(ByteReader& in, std::vector<float>& out) {
    if (in.remaining() < 4) return false;
    std::uint32_t count = in.u32();
    if (!in.fits(count, 4)) return false;
    out.resize(count);
    if (count > 0) in.floats(out.data(), count);  // an empty vector may have no storage at all
    return true;
}

bool read_metadata(ByteReader& in, std::optional<Json>& out) {
    if (in.remaining() < 4) return false;
    std::uint32_t length = in.u32();
    if (length == 0) {
        out.reset();
        return true;
    }
    if (length > in.remaining()) return false;
    std::optional<Json> value = parse_metadata_text(in.bytes(length));
    if (!value) return false;
    out = std::move(value);
    return true;
}

std::optional<WalEntry> decode_payload(std::uint8_t kind, std::span<const std::uint8_t> payload) {
    ByteReader in(payload);
    switch (static_cast<WalKind>(kind)) {
        case WalKind::Insert: {
            WalEntry::Insert e;
            if (!read_string(in, e.id) || !read_vector(in, e.vector) || !read_metadata(in, e.metadata))
                return std::nullopt;
            return WalEntry(std::move(e));
        }
        case WalKind::Delete: {
            WalEntry::Delete e;
            if (!read_string(in, e.id)) return std::nullopt;
            return WalEntry(std::move(e));
        }
        case WalKind::Update: {
            WalEntry::Update e;
            bool has_vector = false;
            if (!read_string(in, e.id) || !read_flag(in, has_vector)) return std::nullopt;
            if (has_vector && !read_vector(in, e.vector.emplace())) return std::nullopt;
            if (!read_flag(in, e.has_metadata_change)) return std::nullopt;
            if (e.has_metadata_change && !read_metadata(in, e.new_metadata)) return std::nullopt;
            return WalEntry(std::move(e));
        }
        case WalKind::Batch:
            break;  // not a change of its own
    }
    return std::nullopt;  // a kind this version does not know
}

std::optional<std::uint64_t> decode_batch_frame(std::span<const std::uint8_t> payload) {
    ByteReader in(payload);
    if (in.remaining() < 8) return std::nullopt;
    return in.u64();
}

// ---------------------------------------------------------------------------------------------
// Reading

WalReadResult parse_wal(std::span<const std::uint8_t> bytes) {
    SpanSource src(bytes);
    std::uint64_t torn_at = 0;
    WalReadResult result = scan_records(src, torn_at);
    result.total_length = bytes.size();
    if (result.tail == WalTail::Torn && may_hide_records(bytes, torn_at + 1)) result.tail = WalTail::Damaged;
    return result;
}

WalReadResult read_wal(const std::string& path) {
    const int fd = open_read_only(path);
    if (fd < 0) {
        if (errno == ENOENT) return {};  // never written, or emptied by a save
        throw QorelError::io_errno(errno);
    }
    FdCloser closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) throw QorelError::io_errno(errno);
    if (st.st_size <= 0) return {};
    const auto length = static_cast<std::uint64_t>(st.st_size);
    auto source = std::make_unique<FileSource>(fd, length);
    std::uint64_t torn_at = 0;
    WalReadResult result = scan_records(*source, torn_at);
    result.total_length = length;
    if (result.tail == WalTail::Torn) {
        // Damage to a length field looks like a record cut off by the end; intact records
        // behind it tell the two apart.
        const std::uint64_t tail = length - torn_at;
        if (tail > kTailScanLimit) {
            result.tail = WalTail::Damaged;
        } else {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(tail));
            bytes.resize(pread_full(fd, bytes.data(), bytes.size(), torn_at));
            if (may_hide_records(bytes, 1)) result.tail = WalTail::Damaged;
        }
    }
    return result;
}

std::optional<std::uint64_t> find_intact_record(std::span<const std::uint8_t> bytes, std::uint64_t from) {
    std::uint64_t unlimited = UINT64_MAX;
    return search_record(bytes, from, unlimited);
}

// ---------------------------------------------------------------------------------------------
// Appending

Wal::Wal(std::string path) : path_(std::move(path)) {}

void Wal::set_truncate_before_append(std::uint64_t good_length) { truncate_to_ = good_length; }

void Wal::close_writer() noexcept {
    try {
        // The caller may be about to delete the file: damage not yet copied aside goes now,
        // or (should that fail again) with the file.
        keep_damaged_tail();
    } catch (...) {
    }
    if (!writer_) return;
    try {
        writer_->close();  // every append already flushed, so this only releases the descriptor
    } catch (...) {
        // Nothing buffered can be lost; the caller is about to delete or abandon the file.
    }
    writer_.reset();
}

WalReadResult Wal::read_for_replay() {
    WalReadResult log = read_wal(path_);
    kept_damage_.reset();
    if (log.tail == WalTail::None) return log;
    truncate_to_ = log.good_length;
    if (log.tail == WalTail::Damaged) {
        damaged_from_ = log.good_length;
        try {
            keep_damaged_tail();
            // Cut now, so that the next open does not find (and keep) the same damage again.
            truncate_file(path_, log.good_length);
            truncate_to_.reset();
        } catch (const QorelError&) {
            // Whatever did not happen here happens before the first append's cut.
        }
    }
    return log;
}

void Wal::keep_damaged_tail() {
    if (!damaged_from_) return;
    const int in = open_read_only(path_);
    if (in < 0) {
        if (errno != ENOENT) throw QorelError::io_errno(errno);
        damaged_from_.reset();  // the log is gone, and the damage with it
        return;
    }
    FdCloser in_closer{in};
    std::string side;
    int out = -1;
    for (unsigned n = 1; out < 0;) {
        side = path_ + ".damaged-" + std::to_string(n);
        out = ::open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out >= 0) break;
        if (errno == EEXIST) {
            ++n;
        } else if (errno != EINTR) {
            throw QorelError::io_errno(errno);
        }
    }
    try {
        FdCloser out_closer{out};
        std::vector<std::uint8_t> buffer(1 << 16);
        for (std::uint64_t offset = *damaged_from_;;) {
            const std::size_t got = pread_full(in, buffer.data(), buffer.size(), offset);
            if (got == 0) break;
            write_full(out, buffer.data(), got);
            offset += got;
        }
        if (::fsync(out) != 0) throw QorelError::io_errno(errno);
        out_closer.fd = -1;
        if (::close(out) != 0) throw QorelError::io_errno(errno);
        sync_directory(parent_directory(path_));
    } catch (...) {
        ::unlink(side.c_str());
        throw;
    }
    kept_damage_ = side;
    damaged_from_.reset();
}

void Wal::open_writer() {
    keep_damaged_tail();  // before anything can be cut
    BufferedFileWriter writer(path_, BufferedFileWriter::Mode::Append);
    std::uint64_t size = writer.file_size();
    if (truncate_to_ && size > *truncate_to_) {
        writer.truncate(*truncate_to_);
        size = *truncate_to_;
    }
    truncate_to_.reset();
    end_ = size;
    writer_.emplace(std::move(writer));
}

void Wal::roll_back() noexcept {
    writer_->abandon();
    writer_.reset();
    try {
        truncate_file(path_, end_);
    } catch (...) {
        truncate_to_ = end_;  // the next opening cuts it instead
    }
}

void Wal::undo_last_append() noexcept {
    if (!writer_) return;
    end_ = last_start_;
    roll_back();
}

template <class Encode>
void Wal::append_records(std::size_t count, Encode&& encode) {
    if (count == 0) return;
    if (!writer_) open_writer();
    std::uint64_t written = 0;
    bool touched = false;  // whether any byte went to the writer
    try {
        for (std::size_t i = 0; i < count; ++i) {
            scratch_.clear();
            if (i == 0 && count > 1) encode_batch_frame(count, scratch_);
            encode(i, scratch_);
            touched = true;
            writer_->write(scratch_);
            written += scratch_.size();
        }
        writer_->flush();
    } catch (...) {
        // Records of this append may be in the file, whole or torn: remove them all.
        if (touched) roll_back();
        throw;
    }
    last_start_ = end_;
    end_ += written;
    if (scratch_.capacity() > kScratchKeep) std::vector<std::uint8_t>().swap(scratch_);
}

void Wal::append(std::span<const WalEntry> entries) {
    append_records(entries.size(), [&](std::size_t i, std::vector<std::uint8_t>& out) { encode_record(entries[i], out); });
}

void Wal::append(const InsertBlock& block) {
    append_records(block.size(), [&](std::size_t i, std::vector<std::uint8_t>& out) {
        encode_insert(block.ids[i], block.row(i), block.metadata[i], out);
    });
}

}  // namespace qorel
