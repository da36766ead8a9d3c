// MetadataStore: each slot's metadata (absent, or a JSON value).
//
// Rows read from a graph file are kept as their stored text until something reads them: an open
// then costs no JSON value per row, only the copy of the text, and a search pays for the few
// rows it returns. Reading a row through the const accessor decodes it once, even from many
// threads at a time (the database's shared lock held); the mutable accessor (its exclusive lock
// held) decodes it too, so that a writer always sees a value.
//
// A stored text is kept only when it is known to decode (see load_text), so decoding never
// fails later. Save writes a row that was never decoded back as its text, unchanged.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mutex.h"
#include "types.h"

namespace qorel {

class MetadataStore {
public:
    MetadataStore() = default;
    explicit MetadataStore(std::vector<std::optional<Json>> rows) : rows_(std::move(rows)) {}
    MetadataStore(MetadataStore&& other) noexcept { *this = std::move(other); }
    MetadataStore& operator=(MetadataStore&& other) noexcept;
    MetadataStore(const MetadataStore&) = delete;
    MetadataStore& operator=(const MetadataStore&) = delete;

    std::size_t size() const { return rows_.size(); }
    // New rows are absent.
    void resize(std::size_t n);
    // Room for `n` rows, grown by at least half at a time.
    void reserve(std::size_t n) {
        if (n > rows_.capacity()) rows_.reserve(std::max(n, rows_.capacity() + rows_.capacity() / 2));
    }

    // The row, decoded on first read. REQUIRES: s < size(), the store's lock held shared.
    const std::optional<Json>& operator[](Slot s) const {
        if (s < pending_count_ && pending_[s].load(std::memory_order_acquire) != 0) decode(s);
        return rows_[s];
    }
    // The row for changing it. REQUIRES: s < size(), the store's lock held exclusively.
    std::optional<Json>& operator[](Slot s) {
        if (s < pending_count_ && pending_[s].load(std::memory_order_relaxed) != 0) decode(s);
        return rows_[s];
    }

    // The row's stored text when it was never decoded (save writes it back as it is).
    std::optional<std::string_view> stored_text(Slot s) const;

    // Replaces the whole store with `n` absent rows, then takes `texts` (all rows' texts laid
    // end to end) as the store of the rows that `set_text` names. REQUIRES: each text set
    // decodes to a JSON value (the caller checked it), and set_text is called before any read.
    void load_texts(std::size_t n, std::vector<char> texts);
    void set_text(Slot s, std::size_t offset, std::size_t length);
    // Appends `text` to the store's texts and sets it as row s's (as set_text does); reserve the
    // room in the vector given to load_texts to append without moving the block.
    void append_text(Slot s, std::string_view text);

private:
    struct Text {
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
    };

    void decode(Slot s) const;

    mutable std::vector<std::optional<Json>> rows_;
    std::vector<char> texts_;
    std::vector<Text> text_at_;
    // 1 while slot s (below pending_count_) still holds only its text.
    std::unique_ptr<std::atomic<std::uint8_t>[]> pending_;
    std::size_t pending_count_ = 0;
    mutable Mutex decode_mutex_;
};

}  // namespace qorel
