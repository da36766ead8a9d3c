// Descriptor helpers shared by the log's reader and salvage.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "error.h"

namespace qorel::fd_io {

inline int open_read_only(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// Up to `n` bytes at `offset`; fewer only at the end of the file.
inline std::size_t pread_full(int fd, std::uint8_t* out, std::size_t n, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw QorelError::io_errno(errno);
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

inline void write_full(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        ssize_t put = ::write(fd, data, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw QorelError::io_errno(errno);
        }
        data += put;
        n -= static_cast<std::size_t>(put);
    }
}

}  // namespace qorel::fd_io
