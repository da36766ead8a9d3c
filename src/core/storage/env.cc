#include "storage/env.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>
#include <vector>

#include "error.h"

namespace qorel {

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      owner_(std::move(other.owner_)),
      id_(other.id_) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        owner_ = std::move(other.owner_);
        id_ = other.id_;
    }
    return *this;
}

namespace {

// A private region as a copy of the file in a buffer that moves when it grows.
class CopiedRegion final : public PrivateRegion {
public:
    CopiedRegion(std::vector<std::uint8_t> bytes, std::size_t capacity, FileId id) : bytes_(std::move(bytes)) {
        size_ = bytes_.size();
        capacity_ = std::max(capacity, size_);
        data_ = bytes_.data();
        id_ = id;
    }
    void grow(std::size_t bytes) override {
        QOREL_ASSERT(bytes <= capacity_, "region grown past its capacity");
        if (bytes <= size_) return;
        bytes_.resize(bytes);
        data_ = bytes_.data();
        size_ = bytes;
    }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace

namespace {

std::unique_ptr<ReadableFile> open_existing(Env& env, const std::string& path) {
    std::unique_ptr<ReadableFile> file = env.open_readable(path);
    if (!file) throw QorelError::io_errno(ENOENT);
    return file;
}

// The file's first `length` bytes (all of it by default) into a buffer sized from its length at
// open: shorter when the file shrank meanwhile, never longer when it grew.
std::vector<std::uint8_t> read_head(ReadableFile& file, std::uint64_t length = UINT64_MAX) {
    const std::uint64_t size = std::min(file.size(), length);
    if (size > std::numeric_limits<std::size_t>::max() / 2) throw QorelError::io("file too large to read");
    std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
    out.resize(file.read_at(0, out.data(), out.size()));
    return out;
}

}  // namespace

std::unique_ptr<PrivateRegion> Env::map_private(const std::string& path, std::size_t capacity, std::uint64_t length) {
    std::unique_ptr<ReadableFile> file = open_existing(*this, path);
    std::vector<std::uint8_t> bytes = read_head(*file, length);
    return std::make_unique<CopiedRegion>(std::move(bytes), capacity, file->id());
}

std::vector<std::uint8_t> Env::read_file(const std::string& path) { return read_head(*open_existing(*this, path)); }

std::vector<std::uint8_t> Env::read_file_range(const std::string& path, std::uint64_t offset, std::size_t length) {
    std::unique_ptr<ReadableFile> file = open_existing(*this, path);
    std::vector<std::uint8_t> out(length);
    out.resize(file->read_at(offset, out.data(), length));
    return out;
}

void Env::remove_file(const std::string& path) {
    if (!remove_file_if_exists(path)) throw QorelError::io_errno(ENOENT);
}

void Env::create_directories(const std::string& path) {
    if (path.empty()) throw QorelError::io_errno(ENOENT);
    if (is_directory(path)) return;
    // Every proper prefix ending before a '/' is a parent to make first; repeated slashes and
    // the root give empty or existing prefixes.
    for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        if (path[pos - 1] == '/') continue;
        const std::string parent = path.substr(0, pos);
        if (!is_directory(parent)) make_directory(parent);
    }
    if (path.back() != '/' && !is_directory(path)) make_directory(path);
}

}  // namespace qorel
