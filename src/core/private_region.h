// A file's bytes mapped privately with room to grow: the store of full-precision vectors keeps
// a saved vectors file in one, and the storage Env makes them; and which file a name led to.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qorel {

// Which file a name led to: equal ids are one file. An id is not reused while the file it
// names is still open or mapped somewhere, so a caller holding a file can tell whether a name
// still leads to it, or was meanwhile replaced by a rename or a deletion and new creation.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t number = 0;
    bool operator==(const FileId&) const = default;
};

// A whole file mapped privately into a larger reservation of address space. Its bytes may be
// changed in place: a page written is copied into the process's memory, and the file never
// changes. Pages never written stay the file's, held by the page cache rather than by the
// process. Past the file's end the region grows with zeroed memory, up to its capacity. Like a
// MappedFile, it does not change when the file is later replaced by a rename.
class PrivateRegion {
public:
    virtual ~PrivateRegion() = default;
    PrivateRegion(const PrivateRegion&) = delete;
    PrivateRegion& operator=(const PrivateRegion&) = delete;

    std::uint8_t* data() const { return data_; }
    // Bytes usable now: the file's length until the region grows.
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    // The file mapped.
    FileId id() const { return id_; }
    // Makes the first `bytes` usable (bytes <= capacity(); a smaller value changes nothing).
    // May move the region (data() changes) in Envs without mappings; never in the system's.
    virtual void grow(std::size_t bytes) = 0;

protected:
    PrivateRegion() = default;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    FileId id_;
};

}  // namespace qorel
