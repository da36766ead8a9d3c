// Full-precision vectors of every slot, slot-major. Either owned in memory, or kept in a
// private region over the saved vectors file: there the rows stay the file's (held by the page
// cache, not by the process) until one is written, new rows go after them in the region's own
// memory, and only the pages written cost the process memory. So a database opened from disk
// takes changes without first copying every stored vector.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "error.h"
#include "private_region.h"
#include "uninit_vector.h"

namespace qorel {

class VectorStore {
public:
    VectorStore() = default;

    // The first `vector_floats` floats of `region` as the vector rows (what follows them in the
    // file is not the store's, and later rows overwrite it in the region only).
    static VectorStore in_region(std::unique_ptr<PrivateRegion> region, std::size_t vector_floats) {
        QOREL_ASSERT(region != nullptr && vector_floats * sizeof(float) <= region->size(), "region shorter than its rows");
        VectorStore s;
        s.region_ = std::move(region);
        s.base_ = reinterpret_cast<float*>(s.region_->data());
        s.floats_ = vector_floats;
        return s;
    }

    bool in_region() const { return region_ != nullptr; }

    const float* data() const { return region_ ? base_ : owned_.data(); }
    std::size_t float_count() const { return region_ ? floats_ : owned_.size(); }
    std::span<const float> all() const { return {data(), float_count()}; }
    // Floats the store holds room for without moving its rows.
    std::size_t capacity() const { return region_ ? region_->capacity() / sizeof(float) : owned_.capacity(); }

    const float* row(std::size_t slot, std::size_t dim) const { return data() + slot * dim; }

    void reserve(std::size_t floats) {
        if (region_ && floats > capacity()) to_owned(floats);
        if (!region_) owned_.reserve(floats);
    }

    void append(std::span<const float> v) { std::copy(v.begin(), v.end(), extend(v.size())); }

    // Appends room for `floats` more floats, left unwritten, and returns where it starts: the
    // caller fills it (several threads may copy parts of a batch at once).
    float* extend(std::size_t floats) {
        if (region_) {
            const std::size_t need = floats_ + floats;
            if (need <= capacity()) {
                region_->grow(need * sizeof(float));
                base_ = reinterpret_cast<float*>(region_->data());
                float* at = base_ + floats_;
                floats_ = need;
                return at;
            }
            to_owned(std::max(need, capacity() + capacity() / 2));
        }
        const std::size_t at = owned_.size();
        owned_.resize(at + floats);
        return owned_.data() + at;
    }

    void overwrite(std::size_t slot, std::span<const float> v) {
        float* at = (region_ ? base_ : owned_.data()) + slot * v.size();
        std::copy(v.begin(), v.end(), at);
    }

    std::size_t memory_bytes() const { return float_count() * sizeof(float); }

private:
    // Moves the rows into owned memory with room for `floats` (a region that cannot grow so far).
    void to_owned(std::size_t floats) {
        UninitVector<float> owned;
        owned.reserve(floats);
        owned.assign(base_, base_ + floats_);
        owned_ = std::move(owned);
        region_.reset();
        base_ = nullptr;
        floats_ = 0;
    }

    UninitVector<float> owned_;
    std::unique_ptr<PrivateRegion> region_;
    float* base_ = nullptr;
    std::size_t floats_ = 0;
};

}  // namespace qorel
