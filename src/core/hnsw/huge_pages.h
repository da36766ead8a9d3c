// Asks the kernel to back a large buffer with huge pages where it allows them on request.
// Building and searching the graph read vectors and neighbour lists at random across hundreds of
// megabytes: with ordinary pages nearly every such read also misses the address-translation
// cache, and the page walks cost about as much as the reads themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qorel {

// A hint only: the contents are untouched and failure is harmless. Only the whole pages inside
// [p, p + bytes) are advised; pages not yet touched are then faulted in as huge pages.
inline void advise_huge_pages(const void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kPage = 4096;
    constexpr std::size_t kWorthIt = std::size_t{4} << 20;  // below a few huge pages, nothing to gain
    if (p == nullptr || bytes < kWorthIt) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kPage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace qorel
