#include "storage/wal.h"

#include "error.h"
#include "storage/wal_salvage.h"

namespace qorel {
namespace {

// An append that needed a bigger encoding buffer than this gives it back afterwards, so one
// huge record does not pin its memory for the life of the database.
constexpr std::size_t kScratchKeep = 1 << 20;

}  // namespace

Wal::Wal(Env& env, std::string path) : env_(env), path_(std::move(path)) {}

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
    WalReadResult log = read_wal(env_, path_);
    kept_damage_.reset();
    if (log.tail == WalTail::None) return log;
    truncate_to_ = log.good_length;
    if (log.tail == WalTail::Damaged) {
        damaged_from_ = log.good_length;
        try {
            keep_damaged_tail();
            // Cut now, so that the next open does not find (and keep) the same damage again.
            env_.truncate_file(path_, log.good_length);
            truncate_to_.reset();
        } catch (const QorelError&) {
            // Whatever did not happen here happens before the first append's cut.
        }
    }
    return log;
}

void Wal::keep_damaged_tail() {
    if (!damaged_from_) return;
    std::optional<std::string> side = qorel::keep_damaged_tail(env_, path_, *damaged_from_);
    if (side) kept_damage_ = std::move(side);
    damaged_from_.reset();
}

void Wal::open_writer() {
    keep_damaged_tail();  // before anything can be cut
    BufferedFileWriter writer(env_, path_, BufferedFileWriter::Mode::Append);
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
        env_.truncate_file(path_, end_);
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
