// The cross-process claim on a database directory: an exclusive advisory lock (flock) on the
// file "qorel.lock" inside it. One process at a time may hold a directory; the kernel drops the
// lock when the process dies, however it dies, so a crash never leaves a directory claimed.
//
// flock belongs to an open file description, not to the process: two acquisitions of the same
// directory in one process conflict just as two processes do. Handles of one process must
// therefore share one DirLock (the open registry sees to that).
//
// After fork the child would share the parent's lock description and keep the directory claimed
// for as long as it lives, even after the parent let go. A fork handler therefore closes every
// inherited lock descriptor in the child (closing a duplicate never releases the parent's lock)
// and advances fork_generation(), by which callers recognise objects inherited from a parent.
// The descriptors are close-on-exec, so programs started by exec inherit nothing.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qorel {

inline constexpr std::string_view kLockFileName = "qorel.lock";

// The directory is held by another process (or by another lock description of this one).
class DirectoryInUse : public std::runtime_error {
public:
    explicit DirectoryInUse(const std::string& directory);
};

class DirLock {
public:
    // Holds nothing.
    DirLock() = default;

    // Creates the lock file when missing (it is never deleted: deleting a lock file that
    // another process has open would let a third process lock a fresh one beside it) and locks
    // it without waiting. DirectoryInUse when another holder has it; QorelError (Io) for any
    // other failure. A directory this process may not write to (read-only file system, no
    // permission) and that has no lock file yet gives an unheld DirLock: such a process cannot
    // change the directory's files either.
    static DirLock acquire(const std::string& directory);

    DirLock(DirLock&& other) noexcept;
    DirLock& operator=(DirLock&& other) noexcept;
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;
    ~DirLock() { release(); }

    // Closes the lock descriptor, which releases the lock. In a forked child the inherited
    // descriptor is already closed and nothing is done. Never throws.
    void release() noexcept;

    bool held() const { return fd_ >= 0; }

private:
    DirLock(int fd, std::uint64_t generation) : fd_(fd), generation_(generation) {}

    int fd_ = -1;
    std::uint64_t generation_ = 0;
};

// Starts at 0 and grows by one in every child created by fork, before fork returns there.
std::uint64_t fork_generation();

}  // namespace qorel
