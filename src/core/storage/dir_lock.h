// The cross-process claim on a database directory: an exclusive lock, taken through the
// database's Env, on the file "qorel.lock" inside it (with the operating system's Env, an
// advisory flock). One process at a time may hold a directory; the kernel drops the lock when
// the process dies, however it dies, so a crash never leaves a directory claimed.
//
// The lock belongs to its holder, not to the process: two acquisitions of the same directory in
// one process conflict just as two processes do. Handles of one process must therefore share
// one DirLock (the open registry sees to that).
//
// After fork the child would share the parent's lock and keep the directory claimed for as long
// as it lives, even after the parent let go. A fork handler therefore drops every inherited lock
// in the child (FileLock::drop_inherited, which never releases the parent's lock) and advances
// fork_generation(), by which callers recognise objects inherited from a parent. The lock
// descriptors are close-on-exec, so programs started by exec inherit nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "storage/env.h"

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
    static DirLock acquire(Env& env, const std::string& directory);

    DirLock(DirLock&& other) noexcept = default;
    DirLock& operator=(DirLock&& other) noexcept;
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;
    ~DirLock() { release(); }

    // Releases the lock. In a forked child the inherited lock is already dropped and nothing
    // more is done. Never throws.
    void release() noexcept;

    bool held() const { return lock_ != nullptr; }

private:
    DirLock(std::unique_ptr<FileLock> lock, std::uint64_t generation) : lock_(std::move(lock)), generation_(generation) {}

    std::unique_ptr<FileLock> lock_;
    std::uint64_t generation_ = 0;
};

// Starts at 0 and grows by one in every child created by fork, before fork returns there.
std::uint64_t fork_generation();

}  // namespace qorel
