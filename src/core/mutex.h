// std::mutex as a capability the thread-safety analysis knows (see thread_annotations.h), and
// the scope guard that holds it. std::lock_guard and std::unique_lock carry no annotations, so
// members guarded by a Mutex are taken through MutexLock.
#pragma once

#include <condition_variable>
#include <mutex>

#include "thread_annotations.h"

namespace qorel {

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

private:
    friend class MutexLock;
    std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Releases the mutex while waiting for `cv`, as std::condition_variable::wait does; held
    // again on return (which may be spurious: the caller tests its condition in a loop).
    void wait(std::condition_variable& cv) {
        std::unique_lock<std::mutex> lock(mutex_.mutex_, std::adopt_lock);
        cv.wait(lock);
        lock.release();
    }

private:
    Mutex& mutex_;
};

}  // namespace qorel
