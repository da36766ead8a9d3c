// The arguments of Database's constructor and methods, converted and checked as the engine
// takes them; and the functions _qorel._check_* that run the same checks for a caller that
// spreads one call over several databases (the sharded client), so that it refuses a bad
// argument before any database sees its part, with the error a single database raises.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/row_block.h"
#include "metadata/filter.h"
#include "types.h"

namespace qorel::py {

namespace nb = nanobind;

// The settings of Database(path, dim, metric, m, ef_construction, quantize) after the path,
// converted in the constructor's order. No dim: open only, `metric` is nullopt.
struct Settings {
    std::optional<std::uint64_t> dim;
    std::optional<std::string> metric;
    std::optional<std::uint64_t> m;
    std::optional<std::uint64_t> ef_construction;
    bool quantize = false;
};
Settings convert_settings(nb::handle dim_h, nb::handle metric_h, nb::handle m_h, nb::handle ef_h,
                          nb::handle quantize_h);

// The configuration of a database to create from settings that have a dim. An unknown metric
// raises InvalidMetricError; bounds the engine refuses raise ValueError with its text.
DatabaseConfig creation_config(const Settings& s);

// The `checkpoint` argument of Database(): the seconds of replay the handle lets its log grow
// to before a write saves (the log's length bound stays at its default); None or 0 turns
// checkpoints off. ValueError for a negative or non-finite number.
CheckpointPolicy to_checkpoint_policy(nb::handle h);

// DatabaseNotFoundError for a directory without a database when no dim was given.
[[noreturn]] void raise_database_not_found();

// The arguments of add_many and upsert_many: ids, their rows in one block, and one metadata
// value per id.
struct Batch {
    std::vector<std::string> ids;
    RowBlock rows;
    std::vector<std::optional<Json>> metadata;
};
Batch convert_batch(nb::handle ids_h, nb::handle vectors_h, nb::handle metadatas_h);

struct SearchArgs {
    std::size_t k;
    std::optional<std::size_t> ef;
    std::optional<Filter> filter;
    std::optional<float> max_distance;
};
SearchArgs search_args(nb::handle k_h, nb::handle ef_h, nb::handle filter_h, nb::handle max_h);

// The keyword arguments of search_hybrid and search_hybrid_many.
HybridOptions hybrid_options(nb::handle ef_h, nb::handle weight_h, nb::handle rrf_h, nb::handle candidates_h);

// A where_filter argument: None or a dict, parsed.
std::optional<Filter> convert_filter(nb::handle filter_h);

// Adds _check_settings, _check_checkpoint, _check_path, _check_id, _check_vector, _check_metadata, _check_filter,
// _check_search, _check_text_search, _check_hybrid_search, _check_ids, _check_batch and
// _duplicate_id_error to the module.
void bind_checks(nb::module_& m);

}  // namespace qorel::py
