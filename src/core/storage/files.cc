#include "files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "error.h"

namespace qorel {
namespace {

FileFaultHook g_fault_hook;

// Gives an installed test hook its chance to fail the call about to be made.
void before(const char* call, const std::string& path) {
    if (g_fault_hook) g_fault_hook(call, path);
}

[[noreturn]] void throw_errno() { throw QorelError::io_errno(errno); }

int open_or_throw(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_errno();
    return fd;
}

// Closes a descriptor that the caller is abandoning after an earlier failure.
void close_quietly(int fd) noexcept {
    if (fd >= 0) ::close(fd);
}

std::uint64_t size_of(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw_errno();
    if (st.st_size < 0) throw QorelError::io("file reports a negative length");
    return static_cast<std::uint64_t>(st.st_size);
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void make_one_directory(const std::string& path) {
    if (is_directory(path)) return;
    before("mkdir", path);
    if (::mkdir(path.c_str(), 0777) == 0) return;
    int err = errno;
    // EEXIST is fine for a directory (possibly made by someone else meanwhile); anything that
    // is not a directory under that name is an error.
    if (err == EEXIST && is_directory(path)) return;
    throw QorelError::io_errno(err);
}

}  // namespace

void set_file_fault_hook(FileFaultHook hook) { g_fault_hook = std::move(hook); }

bool path_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool file_exists(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw_errno();
}

std::uint64_t file_size(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw_errno();
    if (st.st_size < 0) throw QorelError::io("file reports a negative length");
    return static_cast<std::uint64_t>(st.st_size);
}

std::vector<std::uint8_t> read_file_range(const std::string& path, std::uint64_t offset, std::size_t length) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) throw QorelError::io_errno(EINVAL);
    int fd = open_or_throw(path, O_RDONLY);
    std::vector<std::uint8_t> out(length);
    std::size_t done = 0;
    try {
        while (done < length) {
            ssize_t n = ::pread(fd, out.data() + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) continue;
                throw_errno();
            }
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
    } catch (...) {
        close_quietly(fd);
        throw;
    }
    ::close(fd);
    out.resize(done);
    return out;
}

void create_directories(const std::string& path) {
    if (path.empty()) throw QorelError::io_errno(ENOENT);
    if (is_directory(path)) return;
    // Every proper prefix ending before a '/' is a parent to make first; repeated slashes and
    // the root give empty or existing prefixes, which mkdir reports as EEXIST.
    for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        if (path[pos - 1] == '/') continue;
        make_one_directory(path.substr(0, pos));
    }
    if (path.back() != '/') make_one_directory(path);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    int fd = open_or_throw(path, O_RDONLY);
    std::vector<std::uint8_t> out;
    try {
        std::uint64_t size = size_of(fd);
        if (size > std::numeric_limits<std::size_t>::max() / 2) throw QorelError::io("file too large to read");
        out.resize(static_cast<std::size_t>(size));
        std::size_t done = 0;
        while (done < out.size()) {
            ssize_t n = ::read(fd, out.data() + done, out.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw_errno();
            }
            if (n == 0) break;  // the file shrank since fstat
            done += static_cast<std::size_t>(n);
        }
        out.resize(done);
    } catch (...) {
        close_quietly(fd);
        throw;
    }
    ::close(fd);
    return out;
}

void rename_file(const std::string& from, const std::string& to) {
    before("rename", to);
    if (::rename(from.c_str(), to.c_str()) != 0) throw_errno();
}

void remove_file(const std::string& path) {
    before("unlink", path);
    if (::unlink(path.c_str()) != 0) throw_errno();
}

bool remove_file_if_exists(const std::string& path) {
    before("unlink", path);
    if (::unlink(path.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    throw_errno();
}

void sync_directory(const std::string& path) {
    before("fsync_dir", path);
    int fd = open_or_throw(path, O_RDONLY | O_DIRECTORY);
    if (::fsync(fd) != 0 && errno != EINVAL) {
        int err = errno;
        close_quietly(fd);
        throw QorelError::io_errno(err);
    }
    ::close(fd);
}

void truncate_file(const std::string& path, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) throw QorelError::io_errno(EFBIG);
    before("truncate", path);
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) throw_errno();
}

// ---------------------------------------------------------------------------------------------
// BufferedFileWriter

BufferedFileWriter::BufferedFileWriter(const std::string& path, Mode mode)
    : path_(path), buffer_(std::make_unique<std::uint8_t[]>(kBufferSize)) {
    before("open", path_);
    int flags = O_WRONLY | O_CREAT | (mode == Mode::Append ? O_APPEND : O_TRUNC);
    fd_ = open_or_throw(path, flags, 0666);
}

BufferedFileWriter::BufferedFileWriter(BufferedFileWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      buffer_(std::move(other.buffer_)),
      used_(std::exchange(other.used_, 0)) {}

BufferedFileWriter& BufferedFileWriter::operator=(BufferedFileWriter&& other) noexcept {
    if (this != &other) {
        if (is_open()) {
            try {
                close();
            } catch (...) {
            }
        }
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        buffer_ = std::move(other.buffer_);
        used_ = std::exchange(other.used_, 0);
    }
    return *this;
}

BufferedFileWriter::~BufferedFileWriter() {
    if (!is_open()) return;
    try {
        close();
    } catch (...) {
        // A destructor cannot report; callers that care call close() themselves.
    }
}

void BufferedFileWriter::write(std::span<const std::uint8_t> bytes) { write(bytes.data(), bytes.size()); }

void BufferedFileWriter::write(const void* data, std::size_t size) {
    QOREL_ASSERT(is_open(), "write on a closed file writer");
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (size <= kBufferSize - used_) {
        if (size > 0) std::memcpy(buffer_.get() + used_, p, size);
        used_ += size;
        return;
    }
    flush();
    if (size >= kBufferSize) {
        // Large pieces go straight to the file instead of through the buffer.
        write_out(p, size);
    } else {
        std::memcpy(buffer_.get(), p, size);
        used_ = size;
    }
}

void BufferedFileWriter::flush() {
    QOREL_ASSERT(is_open(), "flush on a closed file writer");
    std::size_t pending = std::exchange(used_, 0);
    if (pending > 0) write_out(buffer_.get(), pending);
}

void BufferedFileWriter::sync() {
    flush();
    before("fsync", path_);
    if (::fsync(fd_) != 0) throw_errno();
}

std::uint64_t BufferedFileWriter::file_size() const {
    QOREL_ASSERT(is_open(), "file_size on a closed file writer");
    return size_of(fd_);
}

void BufferedFileWriter::truncate(std::uint64_t size) {
    flush();
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) throw QorelError::io_errno(EFBIG);
    before("ftruncate", path_);
    int rc;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) throw_errno();
}

void BufferedFileWriter::close() {
    QOREL_ASSERT(is_open(), "close on a closed file writer");
    try {
        flush();
        before("close", path_);
    } catch (...) {
        abandon();
        throw;
    }
    int fd = std::exchange(fd_, -1);
    // The descriptor is released whatever close reports (retrying after EINTR could close a
    // descriptor another thread has just been given).
    if (::close(fd) != 0 && errno != EINTR) throw_errno();
}

void BufferedFileWriter::abandon() noexcept {
    used_ = 0;
    close_quietly(std::exchange(fd_, -1));
}

void BufferedFileWriter::write_out(const std::uint8_t* data, std::size_t size) {
    before("write", path_);
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw_errno();
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// ---------------------------------------------------------------------------------------------
// MappedFile

MappedFile MappedFile::open(const std::string& path) {
    int fd = open_or_throw(path, O_RDONLY);
    void* p = nullptr;
    std::size_t size = 0;
    try {
        std::uint64_t length = size_of(fd);
        if constexpr (sizeof(std::uint64_t) > sizeof(std::size_t)) {
            if (length > std::numeric_limits<std::size_t>::max()) throw QorelError::io("file too large to map");
        }
        size = static_cast<std::size_t>(length);
        if (size > 0) {
            p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
            if (p == MAP_FAILED) throw_errno();
        }
    } catch (...) {
        close_quietly(fd);
        throw;
    }
    ::close(fd);  // the mapping keeps its own reference to the file
    return MappedFile(static_cast<const std::uint8_t*>(p), size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        unmap();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

MappedFile::~MappedFile() { unmap(); }

void MappedFile::unmap() noexcept {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace qorel
