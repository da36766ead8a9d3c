// Full-precision vectors of every slot, slot-major. Either owned in memory or a read-only view
// of the vectors file mapped at open; the first mutation after a load copies the vector region
// into owned memory and lets the mapping go.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "error.h"
#include "uninit_vector.h"

namespace qorel {

class VectorStore {
    // Every mutation goes through make_owned() first (the index's writers call it), so a
    // mutation of a mapped store is a fault of the caller.
    static constexpr const char* kMappedMutation = "mutation of mapped vectors before make_owned()";

public:
    VectorStore() = default;

    // A view of `total_floats` floats at `base`, kept valid by `owner` (the file mapping). The
    // first `vector_floats` are the vector region; the rest are the stored norms.
    static VectorStore mapped(std::shared_ptr<const void> owner, const float* base, std::size_t total_floats,
                              std::size_t vector_floats) {
        VectorStore s;
        s.owner_ = std::move(owner);
        s.base_ = base;
        s.total_floats_ = total_floats;
        s.vector_floats_ = vector_floats;
        return s;
    }

    bool is_mapped() const { return owner_ != nullptr; }

    // All vector floats (only the vector region when mapped).
    const float* data() const { return owner_ ? base_ : owned_.data(); }
    std::size_t float_count() const { return owner_ ? vector_floats_ : owned_.size(); }
    std::span<const float> all() const { return {data(), float_count()}; }
    // Floats the owned store holds room for (its count when mapped).
    std::size_t capacity() const { return owner_ ? vector_floats_ : owned_.capacity(); }

    const float* row(std::size_t slot, std::size_t dim) const { return data() + slot * dim; }

    void reserve(std::size_t floats) {
        QOREL_ASSERT(!owner_, kMappedMutation);
        owned_.reserve(floats);
    }

    void append(std::span<const float> v) {
        QOREL_ASSERT(!owner_, kMappedMutation);
        owned_.insert(owned_.end(), v.begin(), v.end());
    }

    // Appends room for `floats` more floats, left unwritten, and returns where it starts: the
    // caller fills it (several threads may copy parts of a batch at once).
    float* extend(std::size_t floats) {
        QOREL_ASSERT(!owner_, kMappedMutation);
        const std::size_t at = owned_.size();
        owned_.resize(at + floats);
        return owned_.data() + at;
    }

    void overwrite(std::size_t slot, std::span<const float> v) {
        QOREL_ASSERT(!owner_, kMappedMutation);
        std::copy(v.begin(), v.end(), owned_.begin() + static_cast<std::ptrdiff_t>(slot * v.size()));
    }

    // Copies the vector region (only it) into owned memory and releases the mapping.
    void make_owned() {
        if (!owner_) return;
        owned_.assign(base_, base_ + vector_floats_);
        owner_.reset();
        base_ = nullptr;
        total_floats_ = vector_floats_ = 0;
    }

    std::size_t memory_bytes() const { return float_count() * sizeof(float); }

private:
    UninitVector<float> owned_;
    std::shared_ptr<const void> owner_;
    const float* base_ = nullptr;
    std::size_t total_floats_ = 0;
    std::size_t vector_floats_ = 0;
};

}  // namespace qorel
