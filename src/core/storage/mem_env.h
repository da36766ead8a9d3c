// MemEnv: a file system held in memory, with a power cut. Whole databases run in it without
// touching a disk, and crash() shows what a machine that lost power at that moment would find
// on restart, so that every step of a save or an append can be cut off and the reopened
// database checked, in milliseconds.
//
// The crash model, which is the least an operating system promises:
//   - a file's bytes survive only as of its last sync; everything written (or cut) since is
//     lost, and a file never synced comes back empty;
//   - a name (a file created, renamed over another or removed) survives only once its
//     directory was synced after it; until then the directory comes back with the names it had
//     at its previous sync, each naming the file it named then;
//   - directories survive once made (the engine makes its directory before anything of value is
//     in it);
//   - locks are released, as the kernel releases a dead process's.
// Mappings are copies of the file's bytes taken when it is mapped: the engine maps only files
// that are replaced by a rename, never written in place, so a copy sees what a mapping would.
//
// Paths are taken as absolute: "." and empty components are dropped, ".." goes up. There are
// no symbolic links, permissions or size limits. Thread-safe.
#pragma once

#include <memory>
#include <string>

#include "storage/env.h"

namespace qorel {

class MemEnv final : public Env {
public:
    MemEnv();

    // The power cut of the model above. Files and locks opened before it must not be used
    // after it: drop the databases that use this Env first.
    void crash();

    bool path_exists(const std::string& path) override;
    bool file_exists(const std::string& path) override;
    bool is_directory(const std::string& path) override;
    std::uint64_t file_size(const std::string& path) override;
    std::optional<FileId> file_id(const std::string& path) override;
    std::optional<std::string> real_path(const std::string& path) override;
    std::unique_ptr<ReadableFile> open_readable(const std::string& path) override;
    MappedFile map_file(const std::string& path) override;
    std::unique_ptr<WritableFile> open_writable(const std::string& path, WriteMode mode) override;
    void rename_file(const std::string& from, const std::string& to) override;
    bool remove_file_if_exists(const std::string& path) override;
    void make_directory(const std::string& path) override;
    void sync_directory(const std::string& path) override;
    void truncate_file(const std::string& path, std::uint64_t size) override;
    LockAttempt try_lock(const std::string& path, LockMode mode) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace qorel
