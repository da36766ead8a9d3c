// Buffered writing over an Env's writable files: the one writer of the data files and the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "storage/env.h"

namespace qorel {

// A write-only file behind an 8 KiB buffer. Single owner; not thread-safe.
//
// After a write, flush, sync or truncate has thrown, the file's contents past the last
// successful flush are unspecified and the bytes still buffered are dropped: the caller
// should give up on the file (abandon() or let the destructor close it).
class BufferedFileWriter {
public:
    using Mode = WriteMode;

    static constexpr std::size_t kBufferSize = 8 * 1024;

    // Opens through `env`. REQUIRES: mode is Truncate or Append.
    BufferedFileWriter(Env& env, const std::string& path, Mode mode);
    BufferedFileWriter(BufferedFileWriter&& other) noexcept;
    BufferedFileWriter& operator=(BufferedFileWriter&& other) noexcept;
    BufferedFileWriter(const BufferedFileWriter&) = delete;
    BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;
    // Flushes and closes if still open, swallowing any failure; call close() to see it.
    ~BufferedFileWriter();

    // REQUIRES for every call below: is_open().
    void write(std::span<const std::uint8_t> bytes);
    void write(const void* data, std::size_t size);
    // Hands every buffered byte to the file.
    void flush();
    // flush(), then the bytes written so far reach stable storage.
    void sync();
    // The file's current length (buffered bytes excluded).
    std::uint64_t file_size() const;
    // flush(), then cuts the file to `size` bytes. In append mode later writes go to the new end.
    void truncate(std::uint64_t size);
    // flush(), then closes the file; the writer is closed afterwards even if this throws.
    void close();
    // Closes without flushing: buffered bytes are dropped. Never throws.
    void abandon() noexcept;

    bool is_open() const { return file_ != nullptr; }

private:
    std::unique_ptr<WritableFile> file_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t used_ = 0;
};

}  // namespace qorel
