#include "storage/wal_codec.h"

#include <utility>

#include "error.h"

namespace qorel {
namespace {

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

}  // namespace

// ---------------------------------------------------------------------------------------------
// Encoding

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
    w.u32(wal_record_crc(kind, payload));
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
    } else if (const auto* t = std::get_if<WalEntry::EnableText>(&entry.op)) {
        check_part(t->field.size());
        size = 4 + t->field.size() + 1;
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
    } else if (const auto* t = std::get_if<WalEntry::EnableText>(&entry.op)) {
        w.string(t->field);
        w.u8(t->stem ? 1 : 0);
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
    w.u32(wal_record_crc(kind, payload));
}

std::vector<std::uint8_t> encode_record(const WalEntry& entry) {
    std::vector<std::uint8_t> out;
    encode_record(entry, out);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Decoding

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
        case WalKind::EnableText: {
            WalEntry::EnableText e;
            if (!read_string(in, e.field) || !read_flag(in, e.stem)) return std::nullopt;
            return WalEntry(std::move(e));
        }
        case WalKind::Batch:
            break;  // not a change of its own
    }
    return std::nullopt;  // a kind this version does not know
}

}  // namespace qorel
