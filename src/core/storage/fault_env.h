// An Env that runs a hook before every call that changes the file system, for tests that
// simulate failing disks and killed processes. The hook gets the call's name ("open" of a file
// for writing, "write", "fsync", "ftruncate", "close" of a writer, "rename", "unlink", "mkdir",
// "truncate", "fsync_dir") and the path concerned (for a rename, its target); by throwing a
// QorelError it makes that call fail as the operating system would, and the call is then not
// made (a writer whose close failed is closed all the same). Everything else goes straight to
// the wrapped Env. Files opened through it must not outlive it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "mutex.h"
#include "storage/env.h"

namespace qorel {

class FaultEnv final : public Env {
public:
    using Hook = std::function<void(const char* call, const std::string& path)>;

    explicit FaultEnv(std::shared_ptr<Env> inner) : inner_(std::move(inner)) {}

    // Replaces the hook; an empty one lets every call through. Calls already past their hook
    // are not affected.
    void set_hook(Hook hook) EXCLUDES(mutex_);

    // Runs the hook, if any, for `call` on `path`.
    void before(const char* call, const std::string& path) EXCLUDES(mutex_);

    bool path_exists(const std::string& path) override { return inner_->path_exists(path); }
    bool file_exists(const std::string& path) override { return inner_->file_exists(path); }
    bool is_directory(const std::string& path) override { return inner_->is_directory(path); }
    std::uint64_t file_size(const std::string& path) override { return inner_->file_size(path); }
    std::optional<FileId> file_id(const std::string& path) override { return inner_->file_id(path); }
    std::optional<std::string> real_path(const std::string& path) override { return inner_->real_path(path); }
    std::unique_ptr<ReadableFile> open_readable(const std::string& path) override { return inner_->open_readable(path); }
    MappedFile map_file(const std::string& path) override { return inner_->map_file(path); }
    std::unique_ptr<PrivateRegion> map_private(const std::string& path, std::size_t capacity,
                                               std::uint64_t length = UINT64_MAX) override {
        return inner_->map_private(path, capacity, length);
    }
    LockAttempt try_lock(const std::string& path, LockMode mode) override { return inner_->try_lock(path, mode); }

    std::unique_ptr<WritableFile> open_writable(const std::string& path, WriteMode mode) override;
    void rename_file(const std::string& from, const std::string& to) override;
    bool remove_file_if_exists(const std::string& path) override;
    void make_directory(const std::string& path) override;
    void sync_directory(const std::string& path) override;
    void truncate_file(const std::string& path, std::uint64_t size) override;

private:
    std::shared_ptr<Env> inner_;
    Mutex mutex_;
    Hook hook_ GUARDED_BY(mutex_);
};

}  // namespace qorel
