#include "db/open_registry.h"

#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "mutex.h"
#include "storage/dir_lock.h"
#include "storage/recovery.h"
#include "storage/storage.h"

namespace qorel {

namespace {

// The state of one directory. `live` stays true from the start of an open until the Database
// is gone and its lock released, which is later than the moment the weak reference expires: an
// open arriving in between waits for `closed`, or its own lock would collide with the one
// still being released.
struct Entry {
    Mutex mutex;
    std::condition_variable closed;
    std::weak_ptr<Database> db GUARDED_BY(mutex);
    bool live GUARDED_BY(mutex) = false;
};

// A directory: its Env and its real path in it.
using Key = std::pair<const Env*, std::string>;

struct Registry {
    Mutex mutex;
    std::map<Key, std::shared_ptr<Entry>> entries GUARDED_BY(mutex);

    // The entry of a directory, created when missing. Entries nobody refers to any more (no
    // open Database, no open in progress) are dropped on the way.
    std::shared_ptr<Entry> entry(const Key& key) {
        MutexLock guard(mutex);
        std::erase_if(entries, [&](const auto& kv) { return kv.second.use_count() == 1 && kv.first != key; });
        std::shared_ptr<Entry>& e = entries[key];
        if (!e) e = std::make_shared<Entry>();
        return e;
    }
};

Registry& registry() {
    // Never destroyed: handles may still be dropped by static destructors at exit.
    static Registry* r = new Registry;
    return *r;
}

// A forked child starts with no open directory: what it inherited belongs to the parent,
// which still holds the lock. The registry mutex is held across fork so the map is whole (from
// one handler to the next, which the analysis cannot follow).
void registry_before_fork() NO_THREAD_SAFETY_ANALYSIS { registry().mutex.lock(); }
void registry_after_fork_in_parent() NO_THREAD_SAFETY_ANALYSIS { registry().mutex.unlock(); }
void registry_after_fork_in_child() NO_THREAD_SAFETY_ANALYSIS {
    registry().entries.clear();
    registry().mutex.unlock();
}

// What a shared Database points into: the Database itself and the lock on its directory. The
// Database is closed before the lock is released, so its last log write happens under the lock.
struct OpenDatabase {
    std::shared_ptr<Env> env;  // outlives the lock taken in it
    std::shared_ptr<Entry> entry;
    std::uint64_t generation = fork_generation();
    bool announce_close = false;
    DirLock lock;
    std::unique_ptr<Database> db;

    OpenDatabase() = default;
    OpenDatabase(const OpenDatabase&) = delete;
    OpenDatabase& operator=(const OpenDatabase&) = delete;

    ~OpenDatabase() {
        db.reset();
        lock.release();
        // In a forked child the entry belongs to the parent's registry, and its mutex may have
        // been held by a thread that does not exist here.
        if (announce_close && generation == fork_generation()) {
            MutexLock guard(entry->mutex);
            entry->live = false;
            entry->closed.notify_all();
        }
    }
};

}  // namespace

std::shared_ptr<Database> open_shared(const std::string& path, const std::optional<DatabaseConfig>& config,
                                      std::shared_ptr<Env> env) {
    // The operating system would read such a path only up to the NUL, a different directory.
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("path must not contain a NUL character");
    static std::once_flag once;
    std::call_once(once, [] {
        registry();
        if (pthread_atfork(registry_before_fork, registry_after_fork_in_parent, registry_after_fork_in_child) != 0) {
            throw QorelError::io("cannot install the fork handler of the open registry");
        }
    });

    if (config) env->create_directories(path);
    std::optional<std::string> real = env->real_path(path);
    if (!real && !config) {
        // No such directory: the plain open reports it as it reports every missing database.
        Database::open(path, env);
        real = env->real_path(path);
    }
    if (!real) throw QorelError::io_errno(errno);

    std::shared_ptr<Entry> entry = registry().entry({env.get(), *real});
    MutexLock guard(entry->mutex);
    while (true) {
        if (std::shared_ptr<Database> db = entry->db.lock()) {
            if (!config && !stored_database_exists(Storage::make(*env, *real))) throw QorelError::database_not_found(path);
            return db;
        }
        if (!entry->live) break;
        guard.wait(entry->closed);
    }

    // No lock file is created in a directory that holds no database (someone else's, say).
    // The check only looks: everything that reads or changes the files (settling an
    // interrupted save, replaying and cutting the log) happens under the lock, since another
    // process may hold it and be in the middle of a save.
    if (!config && !env->path_exists(join_path(*real, kLockFileName)) && !stored_database_exists(Storage::make(*env, *real)))
        throw QorelError::database_not_found(*real);

    auto open = std::make_shared<OpenDatabase>();
    open->env = env;
    open->entry = entry;
    open->lock = DirLock::acquire(*env, *real);
    open->db = config ? Database::open_or_create(*real, *config, env) : Database::open(*real, env);
    open->announce_close = true;
    entry->live = true;
    std::shared_ptr<Database> db(open, open->db.get());
    entry->db = db;
    return db;
}

}  // namespace qorel
