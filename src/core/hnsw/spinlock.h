// A one-byte spinlock over a plain byte, so that every neighbour list of every node can carry
// its own lock without the 40 bytes of a std::mutex.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace qorel {

class ByteLock {
public:
    explicit ByteLock(std::uint8_t& byte) : ref_(byte) {
        while (ref_.exchange(1, std::memory_order_acquire) != 0) {
            while (ref_.load(std::memory_order_relaxed) != 0) pause();
        }
    }
    ~ByteLock() { ref_.store(0, std::memory_order_release); }
    ByteLock(const ByteLock&) = delete;
    ByteLock& operator=(const ByteLock&) = delete;

private:
    static void pause() {
#if defined(__x86_64__) || defined(__i386__)
        _mm_pause();
#endif
    }
    std::atomic_ref<std::uint8_t> ref_;
};

}  // namespace qorel
