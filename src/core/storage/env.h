// Env: the file system as one database sees it. Every call the storage layer makes on files,
// directories and the directory lock goes through the Env the database was opened with, so
// that the same engine runs over the operating system (Env::posix()), over memory (mem_env.h)
// or over a wrapper that fails chosen calls (fault_env.h).
//
// Failures are thrown as Io QorelErrors carrying the operating system's message (or, for
// other implementations, the message the operating system would give). Implementations are
// thread-safe: the database calls an Env from several threads, each file object from one at a
// time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "private_region.h"

namespace qorel {


// A file opened for reading. Reads see the file as it is at the time of each call.
class ReadableFile {
public:
    virtual ~ReadableFile() = default;
    // The file's length now.
    virtual std::uint64_t size() = 0;
    // Reads up to `n` bytes from `offset` into `out`; fewer only where the file ends.
    virtual std::size_t read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) = 0;
    // The file this is.
    virtual FileId id() = 0;
};

enum class WriteMode {
    Truncate,   // create if missing, cut to empty (temporary data files)
    Append,     // create if missing, every write goes to the current end (the log)
    CreateNew,  // create, never opening an existing file (side files that must not overwrite)
};

// A file opened for writing, unbuffered (files.h puts a buffer in front). After a call has
// thrown, the contents past the last successful write are unspecified.
class WritableFile {
public:
    // Closes the file if still open, quietly.
    virtual ~WritableFile() = default;
    // Writes all of `n` bytes: at the end in Append mode, else where the last write ended.
    virtual void write(const std::uint8_t* data, std::size_t n) = 0;
    // The bytes written so far reach stable storage.
    virtual void sync() = 0;
    // The file's length now.
    virtual std::uint64_t size() = 0;
    // Cuts or extends the file to `size` bytes.
    virtual void truncate(std::uint64_t size) = 0;
    // Closes; the file is closed afterwards even if this throws. No call may follow.
    virtual void close() = 0;
};

// A whole file mapped (or, by Envs without mappings, copied) read-only. The view does not
// change when the file is later replaced by a rename: the engine maps only files that are
// replaced that way, never ones written in place. Move-only; the view lives as long as the
// object.
class MappedFile {
public:
    // An empty view (size 0) that owns nothing.
    MappedFile() = default;
    // A view of `size` bytes at `data`, kept valid by `owner` (which releases it when the last
    // reference goes), of the file `id`.
    MappedFile(const std::uint8_t* data, std::size_t size, std::shared_ptr<const void> owner, FileId id = {})
        : data_(data), size_(size), owner_(std::move(owner)), id_(id) {}

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Null for an empty view.
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
    // The file mapped (for an empty file, which holds nothing mapped, the file it was).
    FileId id() const { return id_; }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::shared_ptr<const void> owner_;
    FileId id_;
};

// Exclusive: one holder at a time. Read-only openers take no lock at all: a shared one would
// keep the writer out while they read (they tell a save that ran meanwhile by FileId instead).
enum class LockMode { Exclusive };

// A held lock on a file; destroying it releases the lock.
class FileLock {
public:
    virtual ~FileLock() = default;
    // In a child created by fork, which inherited this object: lets go of the child's share of
    // the lock without releasing the parent's, so that the destructor does nothing more. Runs
    // in the fork handler, so it may only do what is safe there (close a descriptor).
    virtual void drop_inherited() noexcept = 0;
};

class Env {
public:
    virtual ~Env() = default;

    // The operating system's file system. Never destroyed.
    static std::shared_ptr<Env> posix();

    // ---- Looking

    // True when the path can be stat'ed (a file, a directory or anything else).
    virtual bool path_exists(const std::string& path) = 0;
    // True when the path exists, false when it or a directory on the way does not (ENOENT,
    // ENOTDIR); any other failure to look (permissions, a symbolic-link loop, an I/O error) is
    // thrown, so that a file that is there but unreachable is never taken for a missing one.
    virtual bool file_exists(const std::string& path) = 0;
    virtual bool is_directory(const std::string& path) = 0;
    // The file's length in bytes.
    virtual std::uint64_t file_size(const std::string& path) = 0;
    // The file the path leads to now; nullopt when there is none (as file_exists).
    virtual std::optional<FileId> file_id(const std::string& path) = 0;
    // The absolute path with symbolic links resolved; nullopt when it cannot be resolved (errno
    // is then set, as realpath sets it).
    virtual std::optional<std::string> real_path(const std::string& path) = 0;

    // ---- Reading

    // Opens an existing file for reading; nullptr when there is none (ENOENT).
    virtual std::unique_ptr<ReadableFile> open_readable(const std::string& path) = 0;
    // Maps the whole file; a file of length 0 gives an empty view.
    virtual MappedFile map_file(const std::string& path) = 0;
    // Maps the file privately with room to grow to `capacity` bytes (at least the file's
    // length). This default copies the file into memory (Envs without mappings).
    // Only the first `length` bytes are mapped of a longer file.
    virtual std::unique_ptr<PrivateRegion> map_private(const std::string& path, std::size_t capacity,
                                                       std::uint64_t length = UINT64_MAX);
    // Reads the whole file. The buffer is sized from the file's length before reading, so a
    // file that grows meanwhile is read up to the length seen at open.
    std::vector<std::uint8_t> read_file(const std::string& path);
    // Up to `length` bytes of the file from `offset` on (fewer when the file ends first).
    std::vector<std::uint8_t> read_file_range(const std::string& path, std::uint64_t offset, std::size_t length);

    // ---- Changing (new files and directories get mode 0666 and 0777 before the umask)

    // Opens for writing; with CreateNew, nullptr when the name is taken (EEXIST).
    virtual std::unique_ptr<WritableFile> open_writable(const std::string& path, WriteMode mode) = 0;
    // Moves `from` over `to` atomically (both on one file system).
    virtual void rename_file(const std::string& from, const std::string& to) = 0;
    // Removes a file if there is one. Returns whether a file was removed; any failure other
    // than "does not exist" is thrown.
    virtual bool remove_file_if_exists(const std::string& path) = 0;
    // Removes a file; a missing file is an error.
    void remove_file(const std::string& path);
    // Makes one directory; one that exists already is fine, anything else under that name is
    // an error.
    virtual void make_directory(const std::string& path) = 0;
    // Makes `path` and every missing parent. A directory that already exists is fine; an
    // existing non-directory at `path` is an error.
    void create_directories(const std::string& path);
    // Makes the directory's entries (renames, creations, removals) durable. A file system that
    // cannot sync directories at all is accepted silently.
    virtual void sync_directory(const std::string& path) = 0;
    // Cuts or extends the file to `size` bytes.
    virtual void truncate_file(const std::string& path, std::uint64_t size) = 0;

    // ---- Locking

    struct LockAttempt {
        std::unique_ptr<FileLock> lock;  // the lock when taken
        bool busy = false;               // another holder has it
    };
    // Takes the lock on the file at `path` without waiting, creating the file when missing (it
    // is never deleted: deleting a lock file that another holder has open would let a third
    // lock a fresh one beside it). Locks conflict between holders, not processes: two
    // attempts in one process conflict too. Neither lock nor busy: the file is missing and
    // cannot be created here (a read-only directory), so nobody can change the directory's
    // files through this Env either. Other failures are thrown.
    virtual LockAttempt try_lock(const std::string& path, LockMode mode) = 0;
};

}  // namespace qorel
