#include "database.h"

#include <cmath>
#include <stdexcept>

#include "storage/recovery.h"

namespace qorel {

void validate_config(const DatabaseConfig& c) {
    if (c.dim == 0) throw std::invalid_argument("dim must be at least 1");
    if (c.dim > 0xFFFFFFFFull) throw std::invalid_argument("dim must be below 2**32");
    if (c.m < 2) throw std::invalid_argument("m must be at least 2");
    if (c.m > 65535) throw std::invalid_argument("m must be at most 65535");
    if (c.ef_construction > 0xFFFFFFFFull) throw std::invalid_argument("ef_construction must be below 2**32");
}

void check_stored_vector(std::string_view id, std::span<const float> vector, std::uint64_t dim) {
    if (vector.size() != dim) throw QorelError::dimension_mismatch(dim, vector.size());
    for (std::size_t i = 0; i < vector.size(); ++i)
        if (!std::isfinite(vector[i])) throw QorelError::non_finite_component(id, i, vector[i]);
}

Database::Database(std::string path, std::shared_ptr<Env> env, HnswIndex index, std::uint64_t dim, bool quantize,
                   bool read_only)
    : path_(std::move(path)),
      env_(std::move(env)),
      storage_(Storage::make(*env_, path_)),
      index_(std::move(index)),
      dim_(dim),
      wal_path_(join_path(path_, "wal.qorel")),
      quantize_(quantize),
      read_only_(read_only),
      wal_(*env_, wal_path_) {}

void Database::check_writable() const {
    if (read_only_) throw QorelError::read_only(path_);
}

std::unique_ptr<Database> Database::open_or_create(const std::string& path, const DatabaseConfig& config,
                                                   std::shared_ptr<Env> env) {
    env->create_directories(path);
    if (std::optional<GraphChoice> graph = locate_database(Storage::make(*env, path)))
        return load(path, std::move(env), *graph, config.quantize);
    validate_config(config);
    HnswIndex index(config.dim, config.metric, config.m, config.ef_construction);
    std::unique_ptr<Database> db(new Database(path, std::move(env), std::move(index), config.dim, config.quantize));
    // A log without data files holds the changes of a database that was never saved (a crash
    // before its first save): replaying it keeps those acknowledged changes. Records of another
    // dimension are skipped.
    db->replay_wal();
    return db;
}

Metric Database::metric() const { return index_.read()->metric(); }

std::size_t Database::len() const { return index_.read()->active_count(); }

bool Database::contains(std::string_view id) const {
    auto ids = id_to_slot_.read();
    return ids->find(id) != ids->end();
}

}  // namespace qorel
