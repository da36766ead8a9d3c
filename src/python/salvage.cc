#include "salvage.h"

#include <cstring>
#include <span>
#include <variant>

#include "storage/wal_codec.h"
#include "storage/wal_salvage.h"

namespace qorel::py {

namespace nb = nanobind;

namespace {

nb::object metadata_text_or_none(const std::optional<Json>& metadata) {
    if (!metadata) return nb::none();
    const std::optional<std::string> text = metadata_text(*metadata);
    return text ? nb::object(nb::str(text->data(), text->size())) : nb::none();
}

nb::list floats(const std::vector<float>& v) {
    nb::list out;
    for (const float f : v) out.append(nb::float_(static_cast<double>(f)));
    return out;
}

// One decoded record as a dict in the salvage tool's shape: metadata as its stored JSON text,
// for the caller to load.
nb::dict record_dict(const WalEntry& entry) {
    nb::dict d;
    if (const auto* text = std::get_if<WalEntry::EnableText>(&entry.op)) {
        d["op"] = "text_index";
        d["field"] = nb::str(text->field.data(), text->field.size());
        d["stem"] = text->stem;
        return d;
    }
    const std::string& id = entry.id();
    d["id"] = nb::str(id.data(), id.size());
    if (const auto* insert = std::get_if<WalEntry::Insert>(&entry.op)) {
        d["op"] = "insert";
        d["vector"] = floats(insert->vector);
        d["metadata"] = metadata_text_or_none(insert->metadata);
    } else if (std::holds_alternative<WalEntry::Delete>(entry.op)) {
        d["op"] = "delete";
    } else if (const auto* update_op = std::get_if<WalEntry::Update>(&entry.op)) {
        const auto& update = *update_op;
        d["op"] = "update";
        if (update.vector) d["vector"] = floats(*update.vector);
        if (update.has_metadata_change) d["metadata"] = metadata_text_or_none(update.new_metadata);
    }
    return d;
}

// Every intact record of a log's bytes, damaged bytes skipped, as (offset, record) pairs; a
// record that does not decode is passed over.
nb::list salvage(nb::bytes data) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.c_str()), data.size());
    nb::list out;
    std::uint64_t from = 0;
    while (const std::optional<std::uint64_t> at = find_intact_record(bytes, from)) {
        const std::uint8_t kind = bytes[*at];
        std::uint32_t length;
        std::memcpy(&length, bytes.data() + *at + 1, 4);
        const auto payload = bytes.subspan(*at + 5, length);
        if (kind == static_cast<std::uint8_t>(WalKind::Batch)) {
            if (const std::optional<std::uint64_t> members = decode_batch_frame(payload)) {
                nb::dict d;
                d["op"] = "batch";
                d["records"] = *members;
                out.append(nb::make_tuple(*at, d));
            }
        } else if (const std::optional<WalEntry> entry = decode_payload(kind, payload)) {
            out.append(nb::make_tuple(*at, record_dict(*entry)));
        }
        from = *at + kWalRecordOverhead + length;
    }
    return out;
}

}  // namespace

void bind_salvage(nb::module_& m) {
    m.def("_salvage_log", &salvage, nb::arg("data"));
}

}  // namespace qorel::py
