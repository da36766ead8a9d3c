#include "storage/dir_lock.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <unordered_set>

#include "error.h"
#include "mutex.h"
#include "storage/storage.h"

namespace qorel {

namespace {

// Every lock this process holds, so that a forked child can drop its copies. The mutex is held
// across fork (taken in the prepare handler), so the child finds the set whole. The handler
// makes no file-system call of its own: each lock knows how to let go of its share in a child
// (for the operating system's Env, by closing the duplicated descriptor).
struct HeldLocks {
    Mutex mutex;
    std::unordered_set<FileLock*> locks GUARDED_BY(mutex);
    std::atomic<std::uint64_t> generation{0};
};

HeldLocks& held_locks() {
    // Never destroyed: locks may still be released by static destructors at exit.
    static HeldLocks* locks = new HeldLocks;
    return *locks;
}

// From one handler to the next, which the analysis cannot follow.
void before_fork() NO_THREAD_SAFETY_ANALYSIS { held_locks().mutex.lock(); }
void after_fork_in_parent() NO_THREAD_SAFETY_ANALYSIS { held_locks().mutex.unlock(); }
void after_fork_in_child() NO_THREAD_SAFETY_ANALYSIS {
    HeldLocks& h = held_locks();
    for (FileLock* lock : h.locks) lock->drop_inherited();
    h.locks.clear();
    h.generation.fetch_add(1, std::memory_order_relaxed);
    h.mutex.unlock();
}

void install_fork_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        held_locks();
        if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) {
            throw QorelError::io("cannot install the fork handler of the directory lock");
        }
    });
}

}  // namespace

DirectoryInUse::DirectoryInUse(const std::string& directory)
    : std::runtime_error("database at '" + directory + "' is in use by another process") {}

std::uint64_t fork_generation() { return held_locks().generation.load(std::memory_order_relaxed); }

DirLock DirLock::acquire(Env& env, const std::string& directory) {
    install_fork_handlers();
    HeldLocks& h = held_locks();
    // Holding the set's mutex from the lock's creation to its registration keeps a fork from
    // copying a lock the child's handler would not know about.
    MutexLock guard(h.mutex);
    Env::LockAttempt got = env.try_lock(join_path(directory, kLockFileName), LockMode::Exclusive);
    if (got.busy) throw DirectoryInUse(directory);
    if (!got.lock) return DirLock();
    h.locks.insert(got.lock.get());
    return DirLock(std::move(got.lock), h.generation.load(std::memory_order_relaxed));
}

DirLock& DirLock::operator=(DirLock&& other) noexcept {
    if (this != &other) {
        release();
        lock_ = std::move(other.lock_);
        generation_ = other.generation_;
    }
    return *this;
}

void DirLock::release() noexcept {
    if (!lock_) return;
    HeldLocks& h = held_locks();
    MutexLock guard(h.mutex);
    // A lock of an earlier generation was inherited through fork and is dropped already;
    // destroying it does nothing more.
    if (generation_ == h.generation.load(std::memory_order_relaxed)) h.locks.erase(lock_.get());
    lock_.reset();
}

}  // namespace qorel
