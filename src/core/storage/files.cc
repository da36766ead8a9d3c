#include "storage/files.h"

#include <cstring>
#include <utility>

#include "error.h"

namespace qorel {

BufferedFileWriter::BufferedFileWriter(Env& env, const std::string& path, Mode mode)
    : buffer_(std::make_unique<std::uint8_t[]>(kBufferSize)) {
    QOREL_ASSERT(mode != Mode::CreateNew, "a buffered writer always opens its file");
    file_ = env.open_writable(path, mode);
}

BufferedFileWriter::BufferedFileWriter(BufferedFileWriter&& other) noexcept
    : file_(std::move(other.file_)), buffer_(std::move(other.buffer_)), used_(std::exchange(other.used_, 0)) {}

BufferedFileWriter& BufferedFileWriter::operator=(BufferedFileWriter&& other) noexcept {
    if (this != &other) {
        if (is_open()) {
            try {
                close();
            } catch (...) {
            }
        }
        file_ = std::move(other.file_);
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
        file_->write(p, size);
    } else {
        std::memcpy(buffer_.get(), p, size);
        used_ = size;
    }
}

void BufferedFileWriter::flush() {
    QOREL_ASSERT(is_open(), "flush on a closed file writer");
    std::size_t pending = std::exchange(used_, 0);
    if (pending > 0) file_->write(buffer_.get(), pending);
}

void BufferedFileWriter::sync() {
    flush();
    file_->sync();
}

std::uint64_t BufferedFileWriter::file_size() const {
    QOREL_ASSERT(is_open(), "file_size on a closed file writer");
    return file_->size();
}

void BufferedFileWriter::truncate(std::uint64_t size) {
    flush();
    file_->truncate(size);
}

void BufferedFileWriter::close() {
    QOREL_ASSERT(is_open(), "close on a closed file writer");
    std::unique_ptr<WritableFile> file;
    try {
        flush();
    } catch (...) {
        abandon();
        throw;
    }
    file = std::move(file_);
    file->close();
}

void BufferedFileWriter::abandon() noexcept {
    used_ = 0;
    file_.reset();
}

}  // namespace qorel
