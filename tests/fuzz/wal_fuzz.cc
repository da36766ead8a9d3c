// Fuzz target for the log reader: arbitrary bytes must never crash it, and what it accepts
// must survive a round trip through the encoder.
//
// Built by CMake with -DQOREL_FUZZ=ON (clang); scripts/check_fuzz.sh runs it from the seed
// corpus in tests/fuzz/corpus/wal_fuzz (written by tests/fuzz/make_seeds.py).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "storage/crc32.h"
#include "storage/wal.h"
#include "storage/wal_salvage.h"
#include "fuzz_check.h"

namespace {

bool is_batch(std::uint8_t kind) { return kind == static_cast<std::uint8_t>(qorel::WalKind::Batch); }

// Rewrites the CRC of every record whose length fits, so that mutated payloads get past the
// checksum and reach the decoders. Returns the offset after the last rewritten record;
// `batches` tells whether any of them is a Batch record.
std::size_t repair_crcs(std::vector<std::uint8_t>& log, bool& batches) {
    std::size_t pos = 0;
    batches = false;
    while (log.size() - pos >= qorel::kWalRecordOverhead) {
        batches = batches || is_batch(log[pos]);
        std::uint32_t length;
        std::memcpy(&length, log.data() + pos + 1, 4);
        if (length > qorel::kMaxWalPayload || length > log.size() - pos - qorel::kWalRecordOverhead) break;
        std::uint32_t crc = qorel::crc32(std::span<const std::uint8_t>(log.data() + pos + 5, length),
                                         qorel::crc32(std::span<const std::uint8_t>(log.data() + pos, 1)));
        std::memcpy(log.data() + pos + 5 + length, &crc, 4);
        pos += qorel::kWalRecordOverhead + length;
    }
    return pos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);

    qorel::WalReadResult raw = qorel::parse_wal(input);
    check(raw.good_length <= size && raw.total_length == size);
    // Bytes after the intact records are either a torn last record or damage, never nothing.
    check((raw.tail == qorel::WalTail::None) == (raw.good_length == size));
    // A torn tail holds no intact record, except the first members of a batch cut short;
    // whatever the search finds is one that parses (a Batch record: whose members may not).
    auto next = qorel::find_intact_record(input, raw.good_length + 1);
    check(!(raw.tail == qorel::WalTail::Torn && next && !is_batch(input[raw.good_length])));
    if (raw.tail == qorel::WalTail::Torn) {
        qorel::WalReadResult tail = qorel::parse_wal(input.subspan(raw.good_length));
        check(tail.entries.empty() && tail.good_length == 0 && tail.tail == qorel::WalTail::Torn);
    }
    if (next) {
        check(*next < size);
        check(is_batch(input[*next]) || qorel::parse_wal(input.subspan(*next)).good_length > 0);
    }
    // The intact prefix reads the same on its own.
    qorel::WalReadResult prefix = qorel::parse_wal(input.first(raw.good_length));
    check(prefix.good_length == raw.good_length && prefix.entries.size() == raw.entries.size());

    std::vector<std::uint8_t> repaired(data, data + size);
    bool batches = false;
    std::size_t intact = repair_crcs(repaired, batches);
    qorel::WalReadResult fixed = qorel::parse_wal(repaired);
    // Only a batch (cut short, nested, or without its count) ends intact records early.
    check(batches ? fixed.good_length <= intact : fixed.good_length == intact);

    // Encoding what was decoded gives records that decode again, and a second encoding is
    // byte-identical to the first (JSON text and floats are normalised after one round).
    for (const auto& entry : fixed.entries) {
        std::vector<std::uint8_t> once = qorel::encode_record(entry);
        qorel::WalReadResult back = qorel::parse_wal(once);
        check(back.entries.size() == 1 && back.good_length == once.size());
        check(back.entries[0].kind() == entry.kind() && back.entries[0].id() == entry.id());
        check(qorel::encode_record(back.entries[0]) == once);
    }
    // And framed as one batch, they read back whole; cut short, not at all.
    std::vector<std::uint8_t> batch;
    qorel::encode_batch_frame(fixed.entries.size(), batch);
    for (const auto& entry : fixed.entries) qorel::encode_record(entry, batch);
    qorel::WalReadResult whole = qorel::parse_wal(batch);
    check(whole.entries.size() == fixed.entries.size() && whole.good_length == batch.size());
    if (!fixed.entries.empty()) {
        qorel::WalReadResult cut = qorel::parse_wal(std::span<const std::uint8_t>(batch).first(batch.size() - 1));
        check(cut.entries.empty() && cut.good_length == 0);
    }
    return 0;
}
