// A std::vector whose growth by resize() leaves new elements uninitialised (value-initialising
// only when a value is given). Large arrays that are filled right after growing (a batch's
// vectors, its neighbour lists) are then written once, by the threads that fill them, instead
// of being zeroed first by the one thread that grew them.
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
