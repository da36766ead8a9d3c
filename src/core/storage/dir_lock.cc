#include "storage/dir_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <unordered_set>

#include "error.h"
#include "mutex.h"
#include "storage/storage.h"

namespace qorel {

namespace {

// Every lock descriptor this process holds, so that a forked child can close its copies. The
// mutex is held across fork (taken in the prepare handler), so the child finds the set whole.
struct HeldLocks {
    Mutex mutex;
    std::unordered_set<int> fds GUARDED_BY(mutex);
    std::atomic<std::uint64_t> generation{0};
};

HeldLocks& held_locks() {
    // Never destroyed: lock descriptors may still be released by static destructors at exit.
    static HeldLocks* locks = new HeldLocks;
    return *locks;
}

// From one handler to the next, which the analysis cannot follow.
void before_fork() NO_THREAD_SAFETY_ANALYSIS { held_locks().mutex.lock(); }
void after_fork_in_parent() NO_THREAD_SAFETY_ANALYSIS { held_locks().mutex.unlock(); }
void after_fork_in_child() NO_THREAD_SAFETY_ANALYSIS {
    HeldLocks& h = held_locks();
    for (int fd : h.fds) ::close(fd);
    h.fds.clear();
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

int open_lock_file(const std::string& path) {
    while (true) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if (errno != EACCES && errno != EROFS && errno != EPERM) throw QorelError::io_errno(errno);
        // Not writable here: an existing lock file can still be locked through a read-only
        // descriptor, and without one the directory stays unclaimed (see acquire()).
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if (errno == ENOENT || errno == EACCES) return -1;
        throw QorelError::io_errno(errno);
    }
}

}  // namespace

DirectoryInUse::DirectoryInUse(const std::string& directory)
    : std::runtime_error("database at '" + directory + "' is in use by another process") {}

std::uint64_t fork_generation() { return held_locks().generation.load(std::memory_order_relaxed); }

DirLock DirLock::acquire(const std::string& directory) {
    install_fork_handlers();
    HeldLocks& h = held_locks();
    // Holding the set's mutex from open to registration keeps a fork from copying a lock
    // descriptor the child's handler would not know about.
    MutexLock guard(h.mutex);
    const int fd = open_lock_file(join_path(directory, kLockFileName));
    if (fd < 0) return DirLock();
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR) continue;
        ::close(fd);
        if (err == EWOULDBLOCK) throw DirectoryInUse(directory);
        throw QorelError::io_errno(err);
    }
    h.fds.insert(fd);
    return DirLock(fd, h.generation.load(std::memory_order_relaxed));
}

DirLock::DirLock(DirLock&& other) noexcept : fd_(other.fd_), generation_(other.generation_) { other.fd_ = -1; }

DirLock& DirLock::operator=(DirLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        generation_ = other.generation_;
        other.fd_ = -1;
    }
    return *this;
}

void DirLock::release() noexcept {
    if (fd_ < 0) return;
    HeldLocks& h = held_locks();
    MutexLock guard(h.mutex);
    // A lock of an earlier generation was inherited through fork and is closed already; its
    // descriptor number may belong to something else by now.
    if (generation_ == h.generation.load(std::memory_order_relaxed)) {
        h.fds.erase(fd_);
        ::close(fd_);
    }
    fd_ = -1;
}

}  // namespace qorel
