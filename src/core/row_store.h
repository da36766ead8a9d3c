// Full-precision vectors of every slot, slot-major. Either owned in memory, or kept in a
// private region over the saved vectors file: there the rows stay the file's (held by the page
// cache, not by the process) until one is written, new rows go after them in the region's own
// memory, and only the pages written cost the process memory. So a database opened from disk
// takes changes without first copying every stored vector.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "error.h"
#include "private_region.h"
#include "uninit_vector.h"

namespace qorel {

// Rows of one element type, slot-major: the full-precision vectors (float) and the quantized
// codes (one byte per component). `offset` bytes of the region precede the rows (the header of
// a codes file).
template <class T>
class RowStore {
public:
    RowStore() = default;

    // `count` elements of `region`, from byte `offset` on, as the rows (what follows them in the
    // file is not the store's, and later rows overwrite it in the region only).
    static RowStore in_region(std::unique_ptr<PrivateRegion> region, std::size_t count, std::size_t offset = 0) {
        QOREL_ASSERT(region != nullptr && offset + count * sizeof(T) <= region->size(), "region shorter than its rows");
        RowStore s;
        s.region_ = std::move(region);
        s.offset_ = offset;
        s.base_ = s.region_base();
        s.count_ = count;
        return s;
    }

    bool in_region() const { return region_ != nullptr; }

    const T* data() const { return region_ ? base_ : owned_.data(); }
    std::size_t count() const { return region_ ? count_ : owned_.size(); }
    std::span<const T> all() const { return {data(), count()}; }
    // Elements the store holds room for without moving its rows.
    std::size_t capacity() const { return region_ ? (region_->capacity() - offset_) / sizeof(T) : owned_.capacity(); }

    const T* row(std::size_t slot, std::size_t dim) const { return data() + slot * dim; }
    T* mutable_row(std::size_t slot, std::size_t dim) { return (region_ ? base_ : owned_.data()) + slot * dim; }

    void reserve(std::size_t count) {
        if (region_ && count > capacity()) to_owned(count);
        if (!region_) owned_.reserve(count);
    }

    void append(std::span<const T> v) { std::copy(v.begin(), v.end(), extend(v.size())); }

    // Appends room for `count` more elements, left unwritten, and returns where it starts: the
    // caller fills it (several threads may copy parts of a batch at once). Rows in a region grow
    // in place up to its capacity; owned rows grow by half again, so that a large store does not
    // stand beside a copy twice its size while it moves.
    T* extend(std::size_t count) {
        const std::size_t need = this->count() + count;
        if (region_) {
            if (need <= capacity()) {
                region_->grow(offset_ + need * sizeof(T));
                base_ = region_base();
                T* at = base_ + count_;
                count_ = need;
                return at;
            }
            to_owned(std::max(need, capacity() + capacity() / 2));
        }
        const std::size_t at = owned_.size();
        if (need > owned_.capacity()) owned_.reserve(std::max(need, owned_.capacity() + owned_.capacity() / 2));
        owned_.resize(need);
        return owned_.data() + at;
    }

    void overwrite(std::size_t slot, std::span<const T> v) { std::copy(v.begin(), v.end(), mutable_row(slot, v.size())); }

    std::size_t memory_bytes() const { return count() * sizeof(T); }

private:
    T* region_base() const { return reinterpret_cast<T*>(region_->data() + offset_); }

    // Moves the rows into owned memory with room for `count` (a region that cannot grow so far).
    void to_owned(std::size_t count) {
        UninitVector<T> owned;
        owned.reserve(count);
        owned.assign(base_, base_ + count_);
        owned_ = std::move(owned);
        region_.reset();
        base_ = nullptr;
        count_ = 0;
        offset_ = 0;
    }

    UninitVector<T> owned_;
    std::unique_ptr<PrivateRegion> region_;
    std::size_t offset_ = 0;
    T* base_ = nullptr;
    std::size_t count_ = 0;
};

using VectorStore = RowStore<float>;
using CodeStore = RowStore<std::uint8_t>;

}  // namespace qorel
