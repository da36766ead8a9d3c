#include "args.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "convert.h"
#include "distance.h"
#include "error.h"
#include "errors.h"
#include "filter_parse.h"

namespace qorel::py {

Settings convert_settings(nb::handle dim_h, nb::handle metric_h, nb::handle m_h, nb::handle ef_h,
                          nb::handle quantize_h) {
    Settings s;
    s.dim = to_optional_u64(dim_h, "dim");
    if (!metric_h.is_none()) s.metric = to_string(metric_h, "metric");
    s.m = to_optional_u64(m_h, "m");
    s.ef_construction = to_optional_u64(ef_h, "ef_construction");
    s.quantize = to_bool(quantize_h, "quantize");
    return s;
}

DatabaseConfig creation_config(const Settings& s) {
    std::optional<Metric> metric = s.metric ? parse_metric(*s.metric) : Metric::Cosine;
    if (!metric) raise_error(g_invalid_metric, "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'");
    DatabaseConfig config;
    config.dim = s.dim.value();
    config.metric = *metric;
    config.m = s.m.value_or(16);
    config.ef_construction = s.ef_construction.value_or(200);
    config.quantize = s.quantize;
    return config;
}

CheckpointPolicy to_checkpoint_policy(nb::handle h) {
    const std::optional<double> seconds = to_optional_f64(h, "checkpoint");
    if (!seconds || *seconds == 0) return CheckpointPolicy::never();
    if (!std::isfinite(*seconds) || *seconds < 0)
        throw nb::value_error("checkpoint must be None or a finite number of seconds, at least 0");
    CheckpointPolicy policy;
    policy.replay_seconds = *seconds;
    return policy;
}

void raise_database_not_found() {
    raise_error(g_database_not_found, "database not found \xE2\x80\x94 specify dim to create a new one");
}

Batch convert_batch(nb::handle ids_h, nb::handle vectors_h, nb::handle metadatas_h) {
    Batch b;
    b.ids = to_ids(ids_h, "ids");
    b.rows = to_stored_rows(vectors_h, "vectors", b.ids);
    // The type of `metadatas` is refused before the lengths are compared.
    if (!metadatas_h.is_none() && !PyList_Check(metadatas_h.ptr())) to_metadatas(metadatas_h, 0);
    if (b.rows.size() != b.ids.size())
        throw nb::value_error(("ids length (" + std::to_string(b.ids.size()) + ") != vectors length (" +
                               std::to_string(b.rows.size()) + ")")
                                  .c_str());
    b.metadata = to_metadatas(metadatas_h, b.ids.size());
    return b;
}

SearchArgs search_args(nb::handle k_h, nb::handle ef_h, nb::handle filter_h, nb::handle max_h) {
    SearchArgs a;
    a.k = to_u64(k_h, "k");
    auto ef = to_optional_u64(ef_h, "ef_search");
    if (ef) a.ef = *ef;
    if (!filter_h.is_none() && !PyDict_Check(filter_h.ptr()))
        raise_type_error("where_filter", cannot_convert(filter_h.ptr(), "dict"));
    auto max = to_optional_f64(max_h, "max_distance");
    if (max) a.max_distance = static_cast<float>(*max);
    if (!filter_h.is_none()) a.filter = parse_filter(filter_h);
    return a;
}

std::optional<Filter> convert_filter(nb::handle filter_h) { return to_filter(filter_h, "where_filter"); }

HybridOptions hybrid_options(nb::handle ef_h, nb::handle weight_h, nb::handle rrf_h, nb::handle candidates_h) {
    HybridOptions o;
    if (std::optional<std::uint64_t> ef = to_optional_u64(ef_h, "ef_search")) o.ef_search = *ef;
    const std::optional<double> weight = to_optional_f64(weight_h, "weight");
    if (weight) o.weight = *weight;
    if (!(o.weight >= 0.0 && o.weight <= 1.0)) throw nb::value_error("weight must be between 0 and 1");
    if (!rrf_h.is_none()) o.rrf_k = to_u64(rrf_h, "rrf_k");
    if (std::optional<std::uint64_t> c = to_optional_u64(candidates_h, "candidates")) o.candidates = *c;
    return o;
}

namespace {

nb::bytes as_bytes(std::span<const float> floats) {
    return nb::bytes(reinterpret_cast<const char*>(floats.data()), floats.size_bytes());
}

}  // namespace

void bind_checks(nb::module_& m) {
    // (dim, metric name, m, ef_construction, quantize) of a database to create, or
    // DatabaseNotFoundError without a dim, as the constructor raises them.
    m.def("_check_settings", [](nb::handle dim_h, nb::handle metric_h, nb::handle m_h, nb::handle ef_h,
                                nb::handle quantize_h) {
        const Settings s = convert_settings(dim_h, metric_h, m_h, ef_h, quantize_h);
        if (!s.dim) raise_database_not_found();
        const DatabaseConfig c = creation_config(s);
        validate_config(c);
        return nb::make_tuple(c.dim, metric_name(c.metric), c.m, c.ef_construction, c.quantize);
    }, nb::arg("dim").none(), nb::arg("metric").none(), nb::arg("m").none(), nb::arg("ef_construction").none(),
          nb::arg("quantize").none());
    m.def("_check_checkpoint", [](nb::handle h) { to_checkpoint_policy(h); }, nb::arg("checkpoint").none());
    m.def("_check_path", [](nb::handle path_h) { to_path(path_h, "path"); }, nb::arg("path").none());
    m.def("_check_id", [](nb::handle id_h) {
        const std::string id = to_string(id_h, "id");
        return nb::str(id.data(), id.size());
    }, nb::arg("id").none());
    // The error add and add_many raise for an id that is stored already or repeated in a batch.
    m.def("_duplicate_id_error", [](nb::handle id_h) { return error_object(QorelError::duplicate_id(to_string(id_h, "id"))); },
          nb::arg("id"));
    // The vector as the engine reads it (float32 values, as a list). With an id it is a vector
    // to store under that id (beyond-float32 numbers refused); with a dim its length and (for a
    // stored one) its components are checked as the database checks them.
    m.def("_check_vector", [](nb::handle v_h, nb::handle dim_h, nb::handle id_h) {
        std::optional<std::string> id;
        if (!id_h.is_none()) id = to_string(id_h, "id");
        std::vector<float> v = id ? to_stored_vector(v_h, "vector", *id) : to_vector(v_h, "vector");
        if (!dim_h.is_none()) {
            const std::uint64_t dim = to_u64(dim_h, "dim");
            if (id)
                check_stored_vector(*id, v, dim);
            else if (v.size() != dim)
                throw QorelError::dimension_mismatch(dim, v.size());
        }
        nb::list out;
        for (float f : v) out.append(nb::float_(static_cast<double>(f)));
        return out;
    }, nb::arg("vector").none(), nb::arg("dim").none() = nb::none(), nb::arg("id").none() = nb::none());
    m.def("_check_metadata", [](nb::handle md_h) { to_metadata(md_h, "metadata"); }, nb::arg("metadata").none());
    m.def("_check_filter", [](nb::handle f_h) { convert_filter(f_h); }, nb::arg("where_filter").none());
    m.def("_check_ids", [](nb::handle ids_h) {
        nb::list out;
        for (const std::string& id : to_ids(ids_h, "ids")) out.append(nb::str(id.data(), id.size()));
        return out;
    }, nb::arg("ids").none());
    // The arguments of search (many=False) or search_many (many=True) checked in the method's
    // order; returns the queries as float32 bytes, row after row, and their number.
    m.def("_check_search", [](nb::handle vectors_h, nb::handle k_h, nb::handle ef_h, nb::handle filter_h,
                              nb::handle max_h, std::uint64_t dim, bool many) {
        std::vector<std::vector<float>> queries;
        if (many)
            queries = to_vectors(vectors_h, "vectors");
        else
            queries.push_back(to_vector(vectors_h, "vector"));
        search_args(k_h, ef_h, filter_h, max_h);
        std::vector<float> flat;
        for (const auto& q : queries) {
            if (q.size() != dim) throw QorelError::dimension_mismatch(dim, q.size());
            flat.insert(flat.end(), q.begin(), q.end());
        }
        return nb::make_tuple(as_bytes(flat), queries.size());
    }, nb::arg("vectors").none(), nb::arg("k").none(), nb::arg("ef_search").none(), nb::arg("where_filter").none(),
          nb::arg("max_distance").none(), nb::arg("dim"), nb::arg("many"));
    // The arguments of search_text (many=False) or search_text_many (many=True) checked in the
    // method's order; returns the queries as a list.
    m.def("_check_text_search", [](nb::handle queries_h, nb::handle k_h, nb::handle filter_h, bool many) {
        std::vector<std::string> queries;
        if (many)
            queries = to_ids(queries_h, "queries");
        else
            queries.push_back(to_string(queries_h, "query"));
        to_u64(k_h, "k");
        convert_filter(filter_h);
        nb::list out;
        for (const std::string& q : queries) out.append(nb::str(q.data(), q.size()));
        return out;
    }, nb::arg("queries").none(), nb::arg("k").none(), nb::arg("where_filter").none(), nb::arg("many"));
    // The arguments of search_hybrid (many=False) or search_hybrid_many (many=True) checked in
    // the method's order; returns (the vectors as float32 bytes row after row, the queries as a
    // list, ef_search, weight, rrf_k, and the hits each of the two searches is asked for).
    m.def("_check_hybrid_search", [](nb::handle vectors_h, nb::handle queries_h, nb::handle k_h, nb::handle filter_h,
                                     nb::handle ef_h, nb::handle weight_h, nb::handle rrf_h, nb::handle candidates_h,
                                     std::uint64_t dim, bool many) {
        std::vector<std::vector<float>> vectors;
        std::vector<std::string> queries;
        if (many) {
            vectors = to_vectors(vectors_h, "vectors");
            queries = to_ids(queries_h, "queries");
            if (vectors.size() != queries.size()) throw nb::value_error("vectors and queries must have the same length");
        } else {
            vectors.push_back(to_vector(vectors_h, "vector"));
            queries.push_back(to_string(queries_h, "query"));
        }
        const std::size_t k = to_u64(k_h, "k");
        convert_filter(filter_h);
        const HybridOptions options = hybrid_options(ef_h, weight_h, rrf_h, candidates_h);
        std::vector<float> flat;
        for (const auto& v : vectors) {
            if (v.size() != dim) throw QorelError::dimension_mismatch(dim, v.size());
            flat.insert(flat.end(), v.begin(), v.end());
        }
        nb::list out;
        for (const std::string& q : queries) out.append(nb::str(q.data(), q.size()));
        const nb::object ef = options.ef_search ? nb::object(nb::int_(*options.ef_search)) : nb::none();
        return nb::make_tuple(as_bytes(flat), out, ef, options.weight, options.rrf_k, options.wanted(k));
    }, nb::arg("vectors").none(), nb::arg("queries").none(), nb::arg("k").none(), nb::arg("where_filter").none(),
          nb::arg("ef_search").none(), nb::arg("weight").none(), nb::arg("rrf_k").none(), nb::arg("candidates").none(),
          nb::arg("dim"), nb::arg("many"));
    // add_many's and upsert_many's arguments checked as a database checks them before it looks
    // at its stored ids: returns (ids, float32 rows as bytes).
    m.def("_check_batch", [](nb::handle ids_h, nb::handle vectors_h, nb::handle metadatas_h, std::uint64_t dim) {
        Batch b = convert_batch(ids_h, vectors_h, metadatas_h);
        std::vector<float> flat;
        flat.reserve(b.ids.size() * dim);
        for (std::size_t i = 0; i < b.ids.size(); ++i) {
            const std::span<const float> row = b.rows.row(i);
            check_stored_vector(b.ids[i], row, dim);
            flat.insert(flat.end(), row.begin(), row.end());
        }
        nb::list ids;
        for (const std::string& id : b.ids) ids.append(nb::str(id.data(), id.size()));
        return nb::make_tuple(ids, as_bytes(flat));
    }, nb::arg("ids").none(), nb::arg("vectors").none(), nb::arg("metadatas").none(), nb::arg("dim"));
}

}  // namespace qorel::py
