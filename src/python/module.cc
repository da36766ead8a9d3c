// The extension module _qorel: the classes Database and SearchResult over the engine.

#include <nanobind/nanobind.h>

#include <memory>
#include <stdexcept>

#include "convert.h"
#include "db/database.h"
#include "distance.h"
#include "error.h"

namespace nb = nanobind;

namespace qorel::py {

namespace {

// Raised for a broken engine invariant; outside the Exception hierarchy on purpose, so that a
// caller's `except Exception` does not carry on over corrupted state.
PyObject* g_internal_error = nullptr;

// The class has no doc text of its own; its doc slot carries only the text signature, which
// Python exposes as Database.__text_signature__ (and Database.__doc__ stays None).
constexpr const char* kDatabaseSignature =
    "Database(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False)\n--\n\n";

struct PyDatabase {
    std::unique_ptr<Database> db;
};

void init_database(PyDatabase* self, nb::handle path_h, nb::handle dim_h, nb::handle metric_h, nb::handle m_h,
                   nb::handle ef_h, nb::handle quantize_h) {
    // Every argument is converted before anything else happens.
    const std::string path = to_string(path_h, "path");
    const std::optional<std::uint64_t> dim = to_optional_u64(dim_h, "dim");
    std::optional<std::string> metric_name;
    if (!metric_h.is_none()) metric_name = to_string(metric_h, "metric");
    const std::optional<std::uint64_t> m = to_optional_u64(m_h, "m");
    const std::optional<std::uint64_t> ef = to_optional_u64(ef_h, "ef_construction");
    const bool quantize = to_bool(quantize_h, "quantize");

    std::unique_ptr<Database> db;
    if (!dim) {
        try {
            db = Database::open(path);
        } catch (const QorelError&) {
            throw nb::value_error("database not found \xE2\x80\x94 specify dim to create a new one");
        }
    } else {
        std::optional<Metric> metric = metric_name ? parse_metric(*metric_name) : Metric::Cosine;
        if (!metric) throw nb::value_error("metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'");
        DatabaseConfig config;
        config.dim = *dim;
        config.metric = *metric;
        config.m = m.value_or(16);
        config.ef_construction = ef.value_or(200);
        config.quantize = quantize;
        db = Database::open_or_create(path, config);
    }
    new (self) PyDatabase{std::move(db)};
}

}  // namespace

}  // namespace qorel::py

NB_MODULE(_qorel, m) {
    using namespace qorel;
    using namespace qorel::py;

    g_internal_error = PyErr_NewException("_qorel.InternalError", PyExc_BaseException, nullptr);

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const QorelError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const InternalError& e) {
            PyErr_SetString(g_internal_error, e.what());
        } catch (const std::invalid_argument& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    nb::class_<PyDatabase>(m, "Database", kDatabaseSignature)
        .def("__init__", &init_database, nb::arg("path"), nb::arg("dim").none() = nb::none(),
             nb::arg("metric").none() = nb::none(), nb::arg("m").none() = nb::none(),
             nb::arg("ef_construction").none() = nb::none(), nb::arg("quantize").none() = nb::bool_(false),
             nb::sig("def __init__(self, path, dim=None, metric=None, m=None, ef_construction=None, quantize=False)"))
        .def("__len__", [](const PyDatabase& self) { return self.db->len(); })
        .def(
            "__contains__",
            [](const PyDatabase& self, nb::handle id) { return self.db->contains(to_string(id, "id")); },
            nb::arg("id"))
        .def_prop_ro("dim", [](const PyDatabase& self) { return self.db->dim(); })
        .def_prop_ro("metric", [](const PyDatabase& self) { return metric_name(self.db->metric()); });

}
