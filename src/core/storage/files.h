// Thin POSIX file-system helpers for the storage layer: whole-file reads, buffered writes,
// renames, removals, syncs and read-only mappings. Every failure is thrown as an Io
// QorelError carrying the operating system's message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qorel {

// True when the path can be stat'ed (a file, a directory or anything else).
bool path_exists(const std::string& path);

// True when the path exists, false when it or a directory on the way does not (ENOENT,
// ENOTDIR); any other failure to look (permissions, a symbolic-link loop, an I/O error) is
// thrown, so that a file that is there but unreachable is never taken for a missing one.
bool file_exists(const std::string& path);

// The file's length in bytes.
std::uint64_t file_size(const std::string& path);

// Up to `length` bytes of the file from `offset` on (fewer when the file ends first).
std::vector<std::uint8_t> read_file_range(const std::string& path, std::uint64_t offset, std::size_t length);

// A seam for tests that simulate failing disks and killed processes. When a hook is
// installed, it runs before every call these helpers make that changes the file system
// ("open" for writing, "write", "fsync", "ftruncate", "close" of a writer, "rename",
// "unlink", "mkdir", "truncate", "fsync_dir"), with the call's name and the path concerned;
// by throwing a QorelError it makes that call fail as the operating system would, and the
// call is then not made. An empty hook removes it. Install it only while no other thread uses
// the file layer.
using FileFaultHook = std::function<void(const char* call, const std::string& path)>;
void set_file_fault_hook(FileFaultHook hook);

// Creates `path` and every missing parent with mode 0777 (before the umask). A directory that
// already exists is fine; an existing non-directory at `path` is an error.
void create_directories(const std::string& path);

// Reads the whole file. The buffer is sized from the file's length before reading, so a file
// that grows meanwhile is read up to the length seen at open.
std::vector<std::uint8_t> read_file(const std::string& path);

// Moves `from` over `to` atomically (both on one file system).
void rename_file(const std::string& from, const std::string& to);

// Removes a file; a missing file is an error.
void remove_file(const std::string& path);

// Removes a file if there is one. Returns whether a file was removed; any failure other than
// "does not exist" is thrown.
bool remove_file_if_exists(const std::string& path);

// Makes the directory's entries (renames, creations, removals) durable. A file system that
// cannot sync directories at all (EINVAL) is accepted silently.
void sync_directory(const std::string& path);

// Cuts or extends the file to `size` bytes.
void truncate_file(const std::string& path, std::uint64_t size);

// A write-only file behind an 8 KiB buffer. Single owner; not thread-safe.
//
// After a write, flush, sync or truncate has thrown, the file's contents past the last
// successful flush are unspecified and the bytes still buffered are dropped: the caller
// should give up on the file (abandon() or let the destructor close it).
class BufferedFileWriter {
public:
    enum class Mode {
        Truncate,  // create if missing, cut to empty (temporary data files)
        Append,    // create if missing, every write goes to the current end (the log)
    };

    static constexpr std::size_t kBufferSize = 8 * 1024;

    // Opens (creating with mode 0666 before the umask).
    BufferedFileWriter(const std::string& path, Mode mode);
    BufferedFileWriter(BufferedFileWriter&& other) noexcept;
    BufferedFileWriter& operator=(BufferedFileWriter&& other) noexcept;
    BufferedFileWriter(const BufferedFileWriter&) = delete;
    BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;
    // Flushes and closes if still open, swallowing any failure; call close() to see it.
    ~BufferedFileWriter();

    // REQUIRES for every call below: is_open().
    void write(std::span<const std::uint8_t> bytes);
    void write(const void* data, std::size_t size);
    // Hands every buffered byte to the operating system.
    void flush();
    // flush(), then fsync: the bytes written so far reach stable storage.
    void sync();
    // The file's current length as the operating system sees it (buffered bytes excluded).
    std::uint64_t file_size() const;
    // flush(), then cuts the file to `size` bytes. In append mode later writes go to the new end.
    void truncate(std::uint64_t size);
    // flush(), then closes the descriptor; the writer is closed afterwards even if this throws.
    void close();
    // Closes without flushing: buffered bytes are dropped. Never throws.
    void abandon() noexcept;

    bool is_open() const { return fd_ >= 0; }

private:
    void write_out(const std::uint8_t* data, std::size_t size);

    int fd_ = -1;
    std::string path_;  // for the fault hook
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t used_ = 0;
};

// A whole file mapped read-only and shared. Move-only; the destructor unmaps. The descriptor
// is closed once the mapping exists, so the mapping alone keeps the contents: replacing the
// file by a rename leaves the mapped view unchanged.
class MappedFile {
public:
    // An empty view (size 0) that owns nothing.
    MappedFile() = default;
    // Maps the file; a file of length 0 gives an empty view without calling mmap.
    static MappedFile open(const std::string& path);

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    // Null for an empty view.
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

private:
    MappedFile(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    void unmap() noexcept;

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace qorel
