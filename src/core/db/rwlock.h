// Reader-writer lock that does not starve writers: glibc's default rwlock lets a steady stream
// of readers (searches) hold off a writer forever, so writers are preferred here. A thread must
// never take the same lock for reading twice (a waiting writer would deadlock it).
#pragma once

#include <pthread.h>

#include <utility>

namespace qorel {

class RwLock {
public:
    RwLock() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~RwLock() { pthread_rwlock_destroy(&lock_); }
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    void lock_shared() { pthread_rwlock_rdlock(&lock_); }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }
    void lock() { pthread_rwlock_wrlock(&lock_); }
    void unlock() { pthread_rwlock_unlock(&lock_); }

private:
    pthread_rwlock_t lock_;
};

// A value and the lock that guards it. read() and write() return guards that hold the lock
// for their lifetime and give access to the value.
template <class T>
class Guarded {
public:
    template <class... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    class Reader {
    public:
        explicit Reader(const Guarded& g) : g_(&g) { g_->lock_.lock_shared(); }
        ~Reader() { release(); }
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        const T& operator*() const { return g_->value_; }
        const T* operator->() const { return &g_->value_; }
        void release() {
            if (g_) g_->lock_.unlock_shared();
            g_ = nullptr;
        }

    private:
        const Guarded* g_;
    };

    class Writer {
    public:
        explicit Writer(Guarded& g) : g_(&g) { g_->lock_.lock(); }
        ~Writer() { release(); }
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;
        T& operator*() const { return g_->value_; }
        T* operator->() const { return &g_->value_; }
        void release() {
            if (g_) g_->lock_.unlock();
            g_ = nullptr;
        }

    private:
        Guarded* g_;
    };

    Reader read() const { return Reader(*this); }
    Writer write() { return Writer(*this); }

    // Access without the lock, for a value not yet shared with other threads (opening).
    T& unguarded() { return value_; }

private:
    mutable RwLock lock_;
    T value_;
};

}  // namespace qorel
