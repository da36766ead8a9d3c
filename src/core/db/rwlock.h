// Reader-writer lock that does not starve writers: glibc's default rwlock lets a steady stream
// of readers (searches) hold off a writer forever, so writers are preferred here. A thread must
// never take the same lock for reading twice (a waiting writer would deadlock it), nor for
// writing while it reads under it: debug and sanitizer builds check both (QOREL_LOCK_CHECKS).
#pragma once

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.h"
#include "thread_annotations.h"

// Debug builds, and the sanitizer builds (CMake defines it for QOREL_SANITIZE, QOREL_TSAN and
// QOREL_FUZZ), keep per thread the locks it holds for reading; release builds keep nothing.
#if !defined(NDEBUG) && !defined(QOREL_LOCK_CHECKS)
#define QOREL_LOCK_CHECKS 1
#endif

namespace qorel {

class CAPABILITY("rwlock") RwLock {
public:
#if defined(QOREL_LOCK_CHECKS)
    static constexpr bool kChecksRecursion = true;
#else
    static constexpr bool kChecksRecursion = false;
#endif

    // A lock the system cannot set up (out of memory) is refused: taking it later would be
    // undefined.
    RwLock() {
        pthread_rwlockattr_t attr;
        refuse_on("pthread_rwlockattr_init", pthread_rwlockattr_init(&attr));
        int err = pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        if (err == 0) err = pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
        refuse_on("pthread_rwlock_init", err);
    }
    ~RwLock() { abort_on("pthread_rwlock_destroy", pthread_rwlock_destroy(&lock_)); }
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    // InternalError, in checking builds, when this thread holds the lock for reading already:
    // with a writer waiting in between, the second acquisition would never return. In every
    // build, InternalError when the system refuses the lock: this thread holds it for writing
    // (EDEADLK), or it has as many readers as it can count (EAGAIN). The lock is not held then.
    void lock_shared() ACQUIRE_SHARED() {
        check_not_reading("a thread took a reader-writer lock for reading twice");
        refuse_on("pthread_rwlock_rdlock", pthread_rwlock_rdlock(&lock_));
        note_reading();
    }
    // A release the system refuses means the lock's state is lost (a release of a lock this
    // thread does not hold): going on could let a writer in beside readers, so the process stops.
    void unlock_shared() RELEASE_SHARED() {
        forget_reading();
        abort_on("pthread_rwlock_unlock", pthread_rwlock_unlock(&lock_));
    }
    void lock() ACQUIRE() {
        check_not_reading("a thread took a reader-writer lock for writing while reading under it");
        refuse_on("pthread_rwlock_wrlock", pthread_rwlock_wrlock(&lock_));
    }
    void unlock() RELEASE() { abort_on("pthread_rwlock_unlock", pthread_rwlock_unlock(&lock_)); }

private:
    static void refuse_on(const char* call, int err) {
        if (err != 0) assertion_failed((std::string(call) + ": " + std::strerror(err)).c_str());
    }
    static void abort_on(const char* call, int err) noexcept {
        if (err == 0) return;
        std::fprintf(stderr, "qorel: %s: %s\n", call, std::strerror(err));
        std::abort();
    }

#if defined(QOREL_LOCK_CHECKS)
    // The locks this thread holds for reading; a thread holds a handful at most.
    static std::vector<const RwLock*>& held_for_reading() {
        static thread_local std::vector<const RwLock*> held;
        return held;
    }
    void check_not_reading(const char* text) const {
        const auto& held = held_for_reading();
        QOREL_ASSERT(std::find(held.begin(), held.end(), this) == held.end(), text);
    }
    void note_reading() const { held_for_reading().push_back(this); }
    void forget_reading() const {
        auto& held = held_for_reading();
        const auto it = std::find(held.begin(), held.end(), this);
        if (it != held.end()) held.erase(it);
    }
#else
    void check_not_reading(const char*) const {}
    void note_reading() const {}
    void forget_reading() const {}
#endif

    pthread_rwlock_t lock_;
};

// Scope guards for a bare RwLock (std::shared_lock and std::unique_lock carry no annotations).
class SCOPED_CAPABILITY SharedLock {
public:
    explicit SharedLock(RwLock& lock) ACQUIRE_SHARED(lock) : lock_(lock) { lock_.lock_shared(); }
    ~SharedLock() RELEASE() { lock_.unlock_shared(); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    RwLock& lock_;
};

class SCOPED_CAPABILITY ExclusiveLock {
public:
    explicit ExclusiveLock(RwLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
    ~ExclusiveLock() RELEASE() { lock_.unlock(); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    RwLock& lock_;
};

// A value and the lock that guards it. A hold keeps the lock for its lifetime (or until its
// release()) and gives access to the value.
//
// Reader and Writer, constructed in place (`Guarded<T>::Reader r(g)`), are scoped capabilities
// the thread-safety analysis follows, so code that calls a function which REQUIRES the lock
// holds it that way. read() and write() return the same holds as a type the analysis does not
// follow: clang cannot track a capability through an object a function returns.
template <class T>
class Guarded {
    template <bool kExclusive>
    class Hold {
    public:
        using Owner = std::conditional_t<kExclusive, Guarded, const Guarded>;
        using Value = std::conditional_t<kExclusive, T, const T>;

        explicit Hold(Owner& g) NO_THREAD_SAFETY_ANALYSIS : g_(&g) {
            if constexpr (kExclusive) {
                g_->lock_.lock();
            } else {
                g_->lock_.lock_shared();
            }
        }
        ~Hold() { release(); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        Value& operator*() const NO_THREAD_SAFETY_ANALYSIS { return g_->value_; }
        Value* operator->() const NO_THREAD_SAFETY_ANALYSIS { return &g_->value_; }
        void release() NO_THREAD_SAFETY_ANALYSIS {
            if (!g_) return;
            if constexpr (kExclusive) {
                g_->lock_.unlock();
            } else {
                g_->lock_.unlock_shared();
            }
            g_ = nullptr;
        }

    private:
        Owner* g_;
    };

public:
    template <class... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    class SCOPED_CAPABILITY Reader : public Hold<false> {
    public:
        explicit Reader(const Guarded& g) ACQUIRE_SHARED(g.lock_) : Hold<false>(g) {}
        ~Reader() RELEASE_GENERIC() {}
        void release() RELEASE_GENERIC() { Hold<false>::release(); }
    };

    class SCOPED_CAPABILITY Writer : public Hold<true> {
    public:
        explicit Writer(Guarded& g) ACQUIRE(g.lock_) : Hold<true>(g) {}
        ~Writer() RELEASE_GENERIC() {}
        void release() RELEASE_GENERIC() { Hold<true>::release(); }
    };

    Hold<false> read() const { return Hold<false>(*this); }
    Hold<true> write() { return Hold<true>(*this); }

    // The lock, for naming it in annotations (REQUIRES_SHARED(index_.mutex())).
    RwLock& mutex() const RETURN_CAPABILITY(lock_) { return lock_; }

    // Access without the lock, for a value not yet shared with other threads (opening).
    T& unguarded() NO_THREAD_SAFETY_ANALYSIS { return value_; }

private:
    mutable RwLock lock_;
    T value_ GUARDED_BY(lock_);
};

}  // namespace qorel
