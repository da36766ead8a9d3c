// A std::vector on cache-line aligned storage whose growth by resize() leaves new elements
// uninitialised (value-initialising only when a value is given). Large arrays that are filled
// right after growing (a batch's vectors, its neighbour lists) are then written once, by the
// threads that fill them, instead of being zeroed first by the one thread that grew them.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace qorel {

template <class T>
struct UninitAllocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}

    // Cache-line aligned: a row of 128 or 384 floats then spans 8 or 24 lines, not one more
    // (the allocator's own header would otherwise put every row 16 bytes past a line), which
    // every distance of a walk pays for.
    static constexpr std::align_val_t kAlignment{64};
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(::operator new(n * sizeof(T), kAlignment));
    }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, kAlignment); }

    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using UninitVector = std::vector<T, UninitAllocator<T>>;

}  // namespace qorel
