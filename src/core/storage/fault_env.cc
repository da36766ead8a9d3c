#include "storage/fault_env.h"

#include <utility>

namespace qorel {
namespace {

class FaultWritable final : public WritableFile {
public:
    FaultWritable(FaultEnv& env, std::string path, std::unique_ptr<WritableFile> inner)
        : env_(env), path_(std::move(path)), inner_(std::move(inner)) {}

    void write(const std::uint8_t* data, std::size_t n) override {
        env_.before("write", path_);
        inner_->write(data, n);
    }
    void sync() override {
        env_.before("fsync", path_);
        inner_->sync();
    }
    std::uint64_t size() override { return inner_->size(); }
    void truncate(std::uint64_t size) override {
        env_.before("ftruncate", path_);
        inner_->truncate(size);
    }
    void close() override {
        try {
            env_.before("close", path_);
        } catch (...) {
            inner_.reset();  // closed all the same, as the operating system does
            throw;
        }
        std::exchange(inner_, nullptr)->close();
    }

private:
    FaultEnv& env_;
    std::string path_;
    std::unique_ptr<WritableFile> inner_;
};

}  // namespace

void FaultEnv::set_hook(Hook hook) {
    MutexLock guard(mutex_);
    hook_ = std::move(hook);
}

void FaultEnv::before(const char* call, const std::string& path) {
    Hook hook;
    {
        MutexLock guard(mutex_);
        hook = hook_;
    }
    if (hook) hook(call, path);
}

std::unique_ptr<WritableFile> FaultEnv::open_writable(const std::string& path, WriteMode mode) {
    before("open", path);
    std::unique_ptr<WritableFile> inner = inner_->open_writable(path, mode);
    if (!inner) return nullptr;
    return std::make_unique<FaultWritable>(*this, path, std::move(inner));
}

void FaultEnv::rename_file(const std::string& from, const std::string& to) {
    before("rename", to);
    inner_->rename_file(from, to);
}

bool FaultEnv::remove_file_if_exists(const std::string& path) {
    before("unlink", path);
    return inner_->remove_file_if_exists(path);
}

void FaultEnv::make_directory(const std::string& path) {
    before("mkdir", path);
    inner_->make_directory(path);
}

void FaultEnv::sync_directory(const std::string& path) {
    before("fsync_dir", path);
    inner_->sync_directory(path);
}

void FaultEnv::truncate_file(const std::string& path, std::uint64_t size) {
    before("truncate", path);
    inner_->truncate_file(path, size);
}

}  // namespace qorel
