// A spinlock over one plain word stored just before the neighbour list it guards, so that every
// list of every node carries its own lock without the 40 bytes of a std::mutex, and taking it
// touches the cache line the list's length is read from anyway.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace qorel {

class ListLock {
public:
    explicit ListLock(std::uint32_t& word) : ref_(word) {
        while (ref_.exchange(1, std::memory_order_acquire) != 0) {
            while (ref_.load(std::memory_order_relaxed) != 0) pause();
        }
    }
    ~ListLock() { ref_.store(0, std::memory_order_release); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    static void pause() {
#if defined(__x86_64__) || defined(__i386__)
        _mm_pause();
#endif
    }
    std::atomic_ref<std::uint32_t> ref_;
};

}  // namespace qorel
