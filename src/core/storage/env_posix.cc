// The operating system's Env: the one place in the engine that makes file-system calls.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <limits>
#include <utility>

#include "error.h"
#include "storage/env.h"

namespace qorel {
namespace {

[[noreturn]] void throw_errno() { throw QorelError::io_errno(errno); }

// The descriptor, or -1 with errno set.
int open_retrying(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int open_or_throw(const std::string& path, int flags, mode_t mode = 0) {
    const int fd = open_retrying(path, flags, mode);
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

FileId id_of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

FileId id_of(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw_errno();
    return id_of(st);
}

std::size_t page_size() {
    static const std::size_t size = [] {
        const long v = ::sysconf(_SC_PAGESIZE);
        return v > 0 ? static_cast<std::size_t>(v) : std::size_t{4096};
    }();
    return size;
}

std::size_t round_to_page(std::size_t bytes) { return (bytes + page_size() - 1) / page_size() * page_size(); }

// The reservation is address space only (no access, no memory committed); the file is mapped
// over its start, and zeroed memory over the rest as the region grows, a step at least this
// large at a time so that a series of small growths costs few system calls.
constexpr std::size_t kGrowStep = std::size_t{8} << 20;

class PosixRegion final : public PrivateRegion {
public:
    PosixRegion(int fd, std::size_t file_bytes, std::size_t capacity) {
        capacity_ = std::max(capacity, file_bytes);
        reserved_ = round_to_page(std::max<std::size_t>(capacity_, 1));
        void* base = ::mmap(nullptr, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) throw_errno();
        data_ = static_cast<std::uint8_t*>(base);
        if (file_bytes > 0 &&
            ::mmap(base, file_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
            const int err = errno;
            ::munmap(base, reserved_);
            errno = err;
            throw_errno();
        }
        size_ = file_bytes;
        usable_ = round_to_page(file_bytes);
        id_ = id_of(fd);
    }
    ~PosixRegion() override { ::munmap(data_, reserved_); }

    void grow(std::size_t bytes) override {
        QOREL_ASSERT(bytes <= capacity_, "region grown past its capacity");
        if (bytes <= size_) return;
        if (bytes > usable_) {
            const std::size_t end = std::min(reserved_, round_to_page(std::max(bytes, usable_ + kGrowStep)));
            if (::mmap(data_ + usable_, end - usable_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                       -1, 0) == MAP_FAILED)
                throw_errno();
            usable_ = end;
        }
        size_ = bytes;
    }

private:
    std::size_t reserved_ = 0;  // bytes of address space held
    std::size_t usable_ = 0;    // bytes from the start that are mapped readable and writable
};

off_t checked_offset(std::uint64_t offset, int err) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) throw QorelError::io_errno(err);
    return static_cast<off_t>(offset);
}

class PosixReadable final : public ReadableFile {
public:
    explicit PosixReadable(int fd) : fd_(fd) {}
    ~PosixReadable() override { ::close(fd_); }

    std::uint64_t size() override { return size_of(fd_); }

    std::size_t read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) override {
        checked_offset(offset, EINVAL);
        std::size_t done = 0;
        while (done < n) {
            const ssize_t got = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
            if (got < 0) {
                if (errno == EINTR) continue;
                throw_errno();
            }
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

    FileId id() override { return id_of(fd_); }

private:
    int fd_;
};

class PosixWritable final : public WritableFile {
public:
    explicit PosixWritable(int fd) : fd_(fd) {}
    ~PosixWritable() override { close_quietly(fd_); }

    void write(const std::uint8_t* data, std::size_t n) override {
        while (n > 0) {
            const ssize_t put = ::write(fd_, data, n);
            if (put < 0) {
                if (errno == EINTR) continue;
                throw_errno();
            }
            data += put;
            n -= static_cast<std::size_t>(put);
        }
    }

    void sync() override {
        if (::fsync(fd_) != 0) throw_errno();
    }

    std::uint64_t size() override { return size_of(fd_); }

    void truncate(std::uint64_t size) override {
        const off_t to = checked_offset(size, EFBIG);
        int rc;
        do {
            rc = ::ftruncate(fd_, to);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) throw_errno();
    }

    void close() override {
        // The descriptor is released whatever close reports (retrying after EINTR could close
        // a descriptor another thread has just been given).
        if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) throw_errno();
    }

private:
    int fd_;
};

// An flock on an open descriptor. flock belongs to the open file description, not to the
// process: a second description of the same file conflicts even within one process.
class PosixLock final : public FileLock {
public:
    explicit PosixLock(int fd) : fd_(fd) {}
    ~PosixLock() override { close_quietly(fd_); }

    // The child's descriptor is a duplicate: closing it leaves the parent's lock in place.
    void drop_inherited() noexcept override { close_quietly(std::exchange(fd_, -1)); }

private:
    int fd_;
};

// The lock file's descriptor, -1 when it is missing and cannot be created here.
int open_lock_file(const std::string& path) {
    while (true) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if (errno != EACCES && errno != EROFS && errno != EPERM) throw_errno();
        // Not writable here: an existing lock file can still be locked through a read-only
        // descriptor, and without one the directory stays unclaimed.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if (errno == ENOENT || errno == EACCES) return -1;
        throw_errno();
    }
}

class PosixEnv final : public Env {
public:
    bool path_exists(const std::string& path) override {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }

    bool file_exists(const std::string& path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) return true;
        if (errno == ENOENT || errno == ENOTDIR) return false;
        throw_errno();
    }

    bool is_directory(const std::string& path) override {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    std::uint64_t file_size(const std::string& path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) throw_errno();
        if (st.st_size < 0) throw QorelError::io("file reports a negative length");
        return static_cast<std::uint64_t>(st.st_size);
    }

    std::optional<FileId> file_id(const std::string& path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) return id_of(st);
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        throw_errno();
    }

    std::optional<std::string> real_path(const std::string& path) override {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (!resolved) return std::nullopt;
        std::string out(resolved);
        std::free(resolved);
        return out;
    }

    std::unique_ptr<ReadableFile> open_readable(const std::string& path) override {
        const int fd = open_retrying(path, O_RDONLY);
        if (fd < 0) {
            if (errno == ENOENT) return nullptr;
            throw_errno();
        }
        return std::make_unique<PosixReadable>(fd);
    }

    MappedFile map_file(const std::string& path) override {
        const int fd = open_or_throw(path, O_RDONLY);
        void* p = nullptr;
        std::size_t size = 0;
        FileId id;
        try {
            id = id_of(fd);
            const std::uint64_t length = size_of(fd);
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
        if (size == 0) return MappedFile(nullptr, 0, nullptr, id);
        std::shared_ptr<const void> owner(p, [size](const void* q) { ::munmap(const_cast<void*>(q), size); });
        return MappedFile(static_cast<const std::uint8_t*>(p), size, std::move(owner), id);
    }

    std::unique_ptr<PrivateRegion> map_private(const std::string& path, std::size_t capacity,
                                               std::uint64_t limit = UINT64_MAX) override {
        const int fd = open_or_throw(path, O_RDONLY);
        try {
            const std::uint64_t length = std::min(size_of(fd), limit);
            if (length > std::numeric_limits<std::size_t>::max() / 2) throw QorelError::io("file too large to map");
            auto region = std::make_unique<PosixRegion>(fd, static_cast<std::size_t>(length), capacity);
            ::close(fd);  // the mapping keeps its own reference to the file
            return region;
        } catch (...) {
            close_quietly(fd);
            throw;
        }
    }

    std::unique_ptr<WritableFile> open_writable(const std::string& path, WriteMode mode) override {
        int flags = O_WRONLY | O_CREAT;
        switch (mode) {
            case WriteMode::Truncate: flags |= O_TRUNC; break;
            case WriteMode::Append: flags |= O_APPEND; break;
            case WriteMode::CreateNew: flags |= O_EXCL; break;
        }
        const int fd = open_retrying(path, flags, 0666);
        if (fd < 0) {
            if (mode == WriteMode::CreateNew && errno == EEXIST) return nullptr;
            throw_errno();
        }
        return std::make_unique<PosixWritable>(fd);
    }

    void rename_file(const std::string& from, const std::string& to) override {
        if (::rename(from.c_str(), to.c_str()) != 0) throw_errno();
    }

    bool remove_file_if_exists(const std::string& path) override {
        if (::unlink(path.c_str()) == 0) return true;
        if (errno == ENOENT) return false;
        throw_errno();
    }

    void make_directory(const std::string& path) override {
        if (::mkdir(path.c_str(), 0777) == 0) return;
        const int err = errno;
        // EEXIST is fine for a directory (possibly made by someone else meanwhile).
        if (err == EEXIST && is_directory(path)) return;
        throw QorelError::io_errno(err);
    }

    void sync_directory(const std::string& path) override {
        const int fd = open_or_throw(path, O_RDONLY | O_DIRECTORY);
        if (::fsync(fd) != 0 && errno != EINVAL) {
            const int err = errno;
            close_quietly(fd);
            throw QorelError::io_errno(err);
        }
        ::close(fd);
    }

    void truncate_file(const std::string& path, std::uint64_t size) override {
        if (::truncate(path.c_str(), checked_offset(size, EFBIG)) != 0) throw_errno();
    }

    LockAttempt try_lock(const std::string& path, LockMode) override {
        const int fd = open_lock_file(path);
        if (fd < 0) return {};
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            if (err == EINTR) continue;
            ::close(fd);
            if (err == EWOULDBLOCK) return {nullptr, true};
            throw QorelError::io_errno(err);
        }
        return {std::make_unique<PosixLock>(fd), false};
    }
};

}  // namespace

std::shared_ptr<Env> Env::posix() {
    // Never destroyed: files may still be closed by static destructors at exit.
    static const std::shared_ptr<Env>* env = new std::shared_ptr<Env>(std::make_shared<PosixEnv>());
    return *env;
}

}  // namespace qorel
