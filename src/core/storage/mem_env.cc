#include "storage/mem_env.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "error.h"
#include "mutex.h"

namespace qorel {

namespace {

// A file's contents, shared by every name and open file that refers to it. Guarded by the
// state's mutex.
struct Inode {
    explicit Inode(std::uint64_t number) : number(number) {}
    const std::uint64_t number;  // never reused: files are told apart by it
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> synced;  // the bytes as of the last sync
};

[[noreturn]] void fail(int err) { throw QorelError::io_errno(err); }

std::string normalize(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

std::string parent_of(const std::string& normal) {
    const std::size_t slash = normal.rfind('/');
    return slash == 0 ? "/" : normal.substr(0, slash);
}

}  // namespace

struct MemEnv::State {
    Mutex mutex;
    std::set<std::string> dirs GUARDED_BY(mutex) = {"/"};
    std::map<std::string, std::shared_ptr<Inode>> files GUARDED_BY(mutex);
    // The names as of their directories' last syncs: what a crash leaves.
    std::map<std::string, std::shared_ptr<Inode>> durable GUARDED_BY(mutex);
    std::map<std::string, std::uint64_t> locks GUARDED_BY(mutex);  // path -> holder
    std::uint64_t next_holder GUARDED_BY(mutex) = 1;
    std::uint64_t next_inode GUARDED_BY(mutex) = 1;

    std::shared_ptr<Inode> new_inode() REQUIRES(mutex) { return std::make_shared<Inode>(next_inode++); }

    std::shared_ptr<Inode> find(const std::string& normal) REQUIRES(mutex) {
        const auto it = files.find(normal);
        return it == files.end() ? nullptr : it->second;
    }
    // A file may be made under `normal`: its directory exists and no directory has the name.
    void check_creatable(const std::string& normal) REQUIRES(mutex) {
        if (dirs.count(normal)) fail(EISDIR);
        const std::string parent = parent_of(normal);
        if (!dirs.count(parent)) fail(files.count(parent) ? ENOTDIR : ENOENT);
    }
};

namespace {

class MemReadable final : public ReadableFile {
public:
    MemReadable(std::shared_ptr<MemEnv::State> state, std::shared_ptr<Inode> inode)
        : state_(std::move(state)), inode_(std::move(inode)) {}

    std::uint64_t size() override {
        MutexLock guard(state_->mutex);
        return inode_->data.size();
    }

    std::size_t read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) override {
        MutexLock guard(state_->mutex);
        const std::vector<std::uint8_t>& data = inode_->data;
        if (offset >= data.size()) return 0;
        const std::size_t take = std::min<std::uint64_t>(n, data.size() - offset);
        if (take) std::memcpy(out, data.data() + offset, take);
        return take;
    }

    FileId id() override { return {0, inode_->number}; }

private:
    std::shared_ptr<MemEnv::State> state_;
    std::shared_ptr<Inode> inode_;
};

class MemWritable final : public WritableFile {
public:
    MemWritable(std::shared_ptr<MemEnv::State> state, std::shared_ptr<Inode> inode, bool append)
        : state_(std::move(state)), inode_(std::move(inode)), append_(append) {}

    void write(const std::uint8_t* data, std::size_t n) override {
        MutexLock guard(state_->mutex);
        std::vector<std::uint8_t>& bytes = inode_->data;
        if (append_) position_ = bytes.size();
        if (bytes.size() < position_ + n) bytes.resize(position_ + n);
        if (n) std::memcpy(bytes.data() + position_, data, n);
        position_ += n;
    }
    void sync() override {
        MutexLock guard(state_->mutex);
        inode_->synced = inode_->data;
    }
    std::uint64_t size() override {
        MutexLock guard(state_->mutex);
        return inode_->data.size();
    }
    void truncate(std::uint64_t size) override {
        MutexLock guard(state_->mutex);
        inode_->data.resize(size);
    }
    void close() override {}

private:
    std::shared_ptr<MemEnv::State> state_;
    std::shared_ptr<Inode> inode_;
    bool append_;
    std::uint64_t position_ = 0;
};

class MemLock final : public FileLock {
public:
    MemLock(std::shared_ptr<MemEnv::State> state, std::string path, std::uint64_t holder)
        : state_(std::move(state)), path_(std::move(path)), holder_(holder) {}
    ~MemLock() override {
        if (!state_) return;
        MutexLock guard(state_->mutex);
        // A crash may have released it, and another holder taken it since.
        const auto it = state_->locks.find(path_);
        if (it != state_->locks.end() && it->second == holder_) state_->locks.erase(it);
    }
    void drop_inherited() noexcept override { state_.reset(); }

private:
    std::shared_ptr<MemEnv::State> state_;
    std::string path_;
    std::uint64_t holder_;
};

}  // namespace

MemEnv::MemEnv() : state_(std::make_shared<State>()) {}

void MemEnv::crash() {
    MutexLock guard(state_->mutex);
    state_->files = state_->durable;
    for (auto& [name, inode] : state_->files) inode->data = inode->synced;
    state_->locks.clear();
}

bool MemEnv::path_exists(const std::string& path) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    return state_->dirs.count(p) || state_->files.count(p);
}

bool MemEnv::file_exists(const std::string& path) { return path_exists(path); }

bool MemEnv::is_directory(const std::string& path) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    return state_->dirs.count(p) != 0;
}

std::uint64_t MemEnv::file_size(const std::string& path) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    if (state_->dirs.count(p)) return 0;
    const std::shared_ptr<Inode> inode = state_->find(p);
    if (!inode) fail(ENOENT);
    return inode->data.size();
}

std::optional<FileId> MemEnv::file_id(const std::string& path) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    const std::shared_ptr<Inode> inode = state_->find(p);
    if (!inode) return std::nullopt;
    return FileId{0, inode->number};
}

std::optional<std::string> MemEnv::real_path(const std::string& path) {
    if (!path_exists(path)) {
        errno = ENOENT;
        return std::nullopt;
    }
    return normalize(path);
}

std::unique_ptr<ReadableFile> MemEnv::open_readable(const std::string& path) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    if (state_->dirs.count(p)) fail(EISDIR);
    std::shared_ptr<Inode> inode = state_->find(p);
    if (!inode) return nullptr;
    return std::make_unique<MemReadable>(state_, std::move(inode));
}

MappedFile MemEnv::map_file(const std::string& path) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    if (state_->dirs.count(p)) fail(EISDIR);
    const std::shared_ptr<Inode> inode = state_->find(p);
    if (!inode) fail(ENOENT);
    const FileId id{0, inode->number};
    if (inode->data.empty()) return MappedFile(nullptr, 0, nullptr, id);
    auto copy = std::make_shared<const std::vector<std::uint8_t>>(inode->data);
    return MappedFile(copy->data(), copy->size(), copy, id);
}

std::unique_ptr<WritableFile> MemEnv::open_writable(const std::string& path, WriteMode mode) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    state_->check_creatable(p);
    std::shared_ptr<Inode>& inode = state_->files[p];
    if (inode && mode == WriteMode::CreateNew) return nullptr;
    if (!inode) inode = state_->new_inode();
    if (mode == WriteMode::Truncate) inode->data.clear();
    return std::make_unique<MemWritable>(state_, inode, mode == WriteMode::Append);
}

void MemEnv::rename_file(const std::string& from, const std::string& to) {
    const std::string f = normalize(from);
    const std::string t = normalize(to);
    MutexLock guard(state_->mutex);
    std::shared_ptr<Inode> inode = state_->find(f);
    if (!inode) fail(state_->dirs.count(f) ? EISDIR : ENOENT);
    state_->check_creatable(t);
    state_->files.erase(f);
    state_->files[t] = std::move(inode);
}

bool MemEnv::remove_file_if_exists(const std::string& path) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    if (state_->dirs.count(p)) fail(EISDIR);
    return state_->files.erase(p) != 0;
}

void MemEnv::make_directory(const std::string& path) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    if (state_->dirs.count(p)) return;
    if (state_->files.count(p)) fail(EEXIST);
    state_->check_creatable(p);
    state_->dirs.insert(p);
}

void MemEnv::sync_directory(const std::string& path) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    if (!state_->dirs.count(p)) fail(state_->files.count(p) ? ENOTDIR : ENOENT);
    std::erase_if(state_->durable, [&](const auto& kv) { return parent_of(kv.first) == p; });
    for (const auto& [name, inode] : state_->files) {
        if (parent_of(name) == p) state_->durable[name] = inode;
    }
}

void MemEnv::truncate_file(const std::string& path, std::uint64_t size) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    if (state_->dirs.count(p)) fail(EISDIR);
    const std::shared_ptr<Inode> inode = state_->find(p);
    if (!inode) fail(ENOENT);
    inode->data.resize(size);
}

Env::LockAttempt MemEnv::try_lock(const std::string& path, LockMode) {
    const std::string p = normalize(path);
    MutexLock guard(state_->mutex);
    if (!state_->find(p)) {
        state_->check_creatable(p);
        state_->files[p] = state_->new_inode();
    }
    if (state_->locks.count(p)) return {nullptr, true};
    const std::uint64_t holder = state_->next_holder++;
    state_->locks[p] = holder;
    return {std::make_unique<MemLock>(state_, p, holder), false};
}

}  // namespace qorel
