// The extension module _qorel: the classes Database and SearchResult over the engine.

#include <nanobind/nanobind.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <utility>

#include "convert.h"
#include "filter_parse.h"
#include "search_result.h"
#include "db/database.h"
#include "db/open_registry.h"
#include "distance.h"
#include "error.h"
#include "parallel.h"
#include "storage/dir_lock.h"

namespace nb = nanobind;

namespace qorel::py {

namespace {

// Raised for a broken engine invariant; outside the Exception hierarchy on purpose, so that a
// caller's `except Exception` does not carry on over corrupted state.
PyObject* g_internal_error = nullptr;

// The exceptions callers catch by class. Each is a ValueError, so handlers written before the
// classes existed still work; QorelError is the base of all of them.
PyObject* g_qorel_error = nullptr;
PyObject* g_not_found = nullptr;
PyObject* g_duplicate_id = nullptr;
PyObject* g_dimension_mismatch = nullptr;
PyObject* g_database_not_found = nullptr;
PyObject* g_corrupt_database = nullptr;
PyObject* g_database_in_use = nullptr;
PyObject* g_storage = nullptr;
PyObject* g_invalid_vector = nullptr;
PyObject* g_invalid_metric = nullptr;

PyObject* error_class(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::DimensionMismatch: return g_dimension_mismatch;
        case ErrorKind::DuplicateId: return g_duplicate_id;
        case ErrorKind::NotFound: return g_not_found;
        case ErrorKind::DatabaseNotFound: return g_database_not_found;
        case ErrorKind::Io: return g_storage;
        case ErrorKind::InvalidMetric: return g_invalid_metric;
        case ErrorKind::CorruptData: return g_corrupt_database;
        case ErrorKind::InvalidVector: return g_invalid_vector;
        case ErrorKind::InvalidFilter: break;
    }
    return g_qorel_error;
}

[[noreturn]] void raise_error(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw nb::python_error();
}

// The class has no doc text of its own; its doc slot carries only the text signature, which
// Python exposes as Database.__text_signature__ (Database.__doc__ is set to None below).
constexpr const char* kDatabaseSignature =
    "Database(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False)\n--\n\n";

// Handles on one directory share its engine Database (see open_registry.h). `generation` is
// the fork generation the handle was opened in: a handle inherited by a forked child reads the
// child's copy of memory, but its changes would go to files the parent still owns.
struct PyDatabase {
    std::shared_ptr<Database> db;
    std::uint64_t generation;
};

// The engine database of a handle about to change it or its files.
Database& writable(PyDatabase& self) {
    if (self.generation != fork_generation())
        throw nb::value_error(
            "this Database was opened by the parent process before a fork; only that process may change it "
            "(open the database again in this process once the parent has released it)");
    return *self.db;
}

void init_database(PyDatabase* self, nb::handle path_h, nb::handle dim_h, nb::handle metric_h, nb::handle m_h,
                   nb::handle ef_h, nb::handle quantize_h) {
    // Every argument is converted before anything else happens.
    const std::string path = to_path(path_h, "path");
    const std::optional<std::uint64_t> dim = to_optional_u64(dim_h, "dim");
    std::optional<std::string> metric_name;
    if (!metric_h.is_none()) metric_name = to_string(metric_h, "metric");
    const std::optional<std::uint64_t> m = to_optional_u64(m_h, "m");
    const std::optional<std::uint64_t> ef = to_optional_u64(ef_h, "ef_construction");
    const bool quantize = to_bool(quantize_h, "quantize");

    std::shared_ptr<Database> db;
    if (!dim) {
        try {
            nb::gil_scoped_release release;
            db = open_shared(path, std::nullopt);
        } catch (const QorelError& e) {
            // Only a directory without data files asks for a dimension; a damaged or
            // unreadable database raises its own error.
            if (e.kind() != ErrorKind::DatabaseNotFound) throw;
            raise_error(g_database_not_found, "database not found \xE2\x80\x94 specify dim to create a new one");
        }
    } else {
        std::optional<Metric> metric = metric_name ? parse_metric(*metric_name) : Metric::Cosine;
        if (!metric) raise_error(g_invalid_metric, "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'");
        DatabaseConfig config;
        config.dim = *dim;
        config.metric = *metric;
        config.m = m.value_or(16);
        config.ef_construction = ef.value_or(200);
        config.quantize = quantize;
        nb::gil_scoped_release release;
        db = open_shared(path, config);
    }
    new (self) PyDatabase{std::move(db), fork_generation()};
}

// Converts core hits while the interpreter lock is still released (metadata to JSON text), so
// that only object creation is left for after it is taken back.
std::vector<PySearchResult> to_py_results(std::vector<SearchResult>&& hits) {
    std::vector<PySearchResult> out;
    out.reserve(hits.size());
    for (SearchResult& h : hits) {
        PySearchResult r;
        r.id = std::move(h.id);
        r.distance = h.distance;
        if (h.metadata) r.metadata_json = serialize_metadata(*h.metadata);
        out.push_back(std::move(r));
    }
    return out;
}

// The SearchResult objects of one query, each built in place: the class is looked up once per
// list, and the list is allocated at its final length rather than grown.
nb::list to_py_list(std::vector<PySearchResult>&& hits) {
    const nb::handle type = nb::type<PySearchResult>();
    nb::list out = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!out.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < hits.size(); ++i) {
        nb::object r = nb::inst_alloc(type);
        if (!r.is_valid()) throw nb::python_error();
        new (nb::inst_ptr<PySearchResult>(r)) PySearchResult(std::move(hits[i]));
        nb::inst_mark_ready(r);
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), r.release().ptr());
    }
    return out;
}

nb::object json_loads(const std::string& text) {
    // Kept for the life of the process on purpose: releasing it at exit would run after the
    // interpreter is gone.
    static nb::handle loads = nb::object(json_module().attr("loads")).release();
    return loads(nb::str(text.data(), text.size()));
}

// The arguments of add_many and upsert_many, converted: ids, their rows in one block, and one
// metadata value per id.
struct Batch {
    std::vector<std::string> ids;
    RowBlock rows;
    std::vector<std::optional<Json>> metadata;
};

Batch convert_batch(nb::handle ids_h, nb::handle vectors_h, nb::handle metadatas_h) {
    Batch b;
    b.ids = to_ids(ids_h, "ids");
    b.rows = to_stored_rows(vectors_h, "vectors", b.ids);
    if (!metadatas_h.is_none() && !PyList_Check(metadatas_h.ptr()))
        raise_type_error("metadatas", "'" + py_type_name(metadatas_h) + "' object cannot be converted to 'PyList'");
    if (b.rows.size() != b.ids.size())
        throw nb::value_error(("ids length (" + std::to_string(b.ids.size()) + ") != vectors length (" +
                               std::to_string(b.rows.size()) + ")")
                                  .c_str());
    b.metadata = to_metadatas(metadatas_h, b.ids.size());
    return b;
}

struct SearchArgs {
    std::size_t k;
    std::optional<std::size_t> ef;
    std::optional<Filter> filter;
    std::optional<float> max_distance;
};

SearchArgs search_args(nb::handle k_h, nb::handle ef_h, nb::handle filter_h, nb::handle max_h) {
    SearchArgs a;
    a.k = to_u64(k_h, "k");
    auto ef = to_optional_u64(ef_h, "ef_search");
    if (ef) a.ef = *ef;
    if (!filter_h.is_none() && !PyDict_Check(filter_h.ptr()))
        raise_type_error("where_filter", "'" + py_type_name(filter_h) + "' object cannot be converted to 'PyDict'");
    auto max = to_optional_f64(max_h, "max_distance");
    if (max) a.max_distance = static_cast<float>(*max);
    return a;
}

// What Python shows for each method of Database: "name(signature)\n--\n\n" followed by the
// doc text, or by nothing for a method without one (its __doc__ is then None). The signature
// part becomes __text_signature__, which inspect.signature and help() read. The class keeps
// the order in which the methods are defined in the module body.
struct MethodDoc {
    const char* name;
    const char* doc;
};

constexpr MethodDoc kMethodDocs[] = {
    {"__init__",
     "__init__(self, path, dim=None, metric=None, m=None, ef_construction=None, quantize=False)\n--\n\n"},
    {"add", "add(self, id, vector, metadata=None)\n--\n\n"},
    {"upsert", "upsert(self, id, vector, metadata=None)\n--\n\nAdd or update a vector."},
    {"add_many", "add_many(self, ids, vectors, metadatas=None)\n--\n\n"},
    {"search",
     "search(self, vector, k=10, ef_search=None, where_filter=None, max_distance=None)\n--\n\n"
     "Search for the k nearest neighbors.\n"
     "Returns list of SearchResult objects with .id, .distance, .metadata attributes.\n"
     "`where_filter`: optional dict like {\"field\": \"value\"} or {\"field\": {\"$ne\": \"value\"}}\n"
     "`max_distance`: optional float \xE2\x80\x94 discard results beyond this distance."},
    {"search_many",
     "search_many(self, vectors, k=10, ef_search=None, where_filter=None, max_distance=None)\n--\n\n"
     "Search multiple queries in parallel. Returns list of list of SearchResult.\n"
     "`where_filter`: optional metadata filter (same syntax as search).\n"
     "`max_distance`: optional float \xE2\x80\x94 discard results beyond this distance."},
    {"get", "get(self, id)\n--\n\n"},
    {"delete", "delete(self, id)\n--\n\n"},
    {"delete_many", "delete_many(self, ids)\n--\n\n"},
    {"update", "update(self, id, vector=None, metadata=None)\n--\n\n"},
    {"upsert_many",
     "upsert_many(self, ids, vectors, metadatas=None)\n--\n\n"
     "Batch upsert \xE2\x80\x94 inserts new vectors, updates existing ones."},
    {"count",
     "count(self, where_filter=None)\n--\n\n"
     "Count vectors matching a filter, or all vectors if no filter."},
    {"ids", "ids(self)\n--\n\n"},
    {"save", "save(self)\n--\n\n"},
    {"compact",
     "compact(self)\n--\n\n"
     "Rebuild the index with only live vectors, reclaiming deleted slots.\n"
     "Call this after many deletes to reduce memory usage and disk size."},
    {"enable_quantized_search",
     "enable_quantized_search(self)\n--\n\n"
     "Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal\n"
     "with full-precision re-ranking. Automatically enabled when quantize=True is set."},
    {"disable_quantized_search", "disable_quantized_search(self)\n--\n\nDisable quantized search."},
    {"stats",
     "stats(self)\n--\n\n"
     "Get graph-level statistics for diagnostics.\n"
     "Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,\n"
     "max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,\n"
     "memory_quantized_bytes, uses_brute_force, uses_quantized_search."},
    {"__enter__", "__enter__(self)\n--\n\n"},
    {"__exit__", "__exit__(self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {"__len__", "__len__(self)\n--\n\n"},
    {"__contains__", "__contains__(self, id)\n--\n\n"},
};
constexpr std::size_t kMethodCount = std::size(kMethodDocs);

// nanobind writes its own rendered signature into every method's __doc__ and gives no
// __text_signature__. So each method is shown to Python as a plain built-in function carrying
// the text above, which hands the call on unchanged (self first) to the nanobind function:
// argument conversion, error translation and the interpreter-lock handling all stay there.
// The nanobind functions are kept for the life of the process, since a caller may hold a
// shown function longer than the class holds it.
PyObject* g_method_impl[kMethodCount];
PyMethodDef g_method_defs[kMethodCount];

template <std::size_t I>
PyObject* forward_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return PyObject_Vectorcall(g_method_impl[I], args, static_cast<std::size_t>(nargs), kwnames);
}

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t... I>
constexpr std::array<FastCallWithKeywords, sizeof...(I)> make_forwarders(std::index_sequence<I...>) {
    return {&forward_method<I>...};
}
constexpr auto kForwarders = make_forwarders(std::make_index_sequence<kMethodCount>());

// The class attribute behind each shown function: binds it to the instance as a Python
// function is bound (a bound method object), so inspect.signature(db.add) leaves `self` out
// while Database.add and help() show it.
struct MethodBinder {
    PyObject_HEAD
    PyObject* func;
};

PyObject* binder_get(PyObject* self, PyObject* obj, PyObject*) {
    PyObject* func = reinterpret_cast<MethodBinder*>(self)->func;
    if (func == nullptr) {
        PyErr_SetString(PyExc_TypeError, "unbound method descriptor");
        return nullptr;
    }
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(func);
        return func;
    }
    return PyMethod_New(func, obj);
}

void binder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<MethodBinder*>(self)->func);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot binder_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(binder_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(binder_dealloc)},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kBinderFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned kBinderFlags = Py_TPFLAGS_DEFAULT;
#endif
PyType_Spec binder_spec = {"_qorel.method", sizeof(MethodBinder), 0, kBinderFlags, binder_slots};

// Replaces every method of kMethodDocs in the class by its shown function; a replaced
// attribute keeps its place in the class's attribute order.
void expose_methods(nb::handle cls) {
    nb::object binder_type = nb::steal(PyType_FromSpec(&binder_spec));
    if (!binder_type) throw nb::python_error();
    nb::object class_dict = cls.attr("__dict__");
    nb::object module_name = cls.attr("__module__");
    for (std::size_t i = 0; i < kMethodCount; ++i) {
        const char* name = kMethodDocs[i].name;
        g_method_impl[i] = nb::object(class_dict[name]).release().ptr();
        g_method_defs[i] = PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kForwarders[i])),
                                       METH_FASTCALL | METH_KEYWORDS, kMethodDocs[i].doc};
        nb::object func = nb::steal(PyCFunction_NewEx(&g_method_defs[i], nullptr, module_name.ptr()));
        if (!func) throw nb::python_error();
        auto* binder = PyObject_New(MethodBinder, reinterpret_cast<PyTypeObject*>(binder_type.ptr()));
        if (!binder) throw nb::python_error();
        binder->func = func.release().ptr();
        nb::object shown = nb::steal(reinterpret_cast<PyObject*>(binder));
        if (PyObject_SetAttrString(cls.ptr(), name, shown.ptr()) != 0) throw nb::python_error();
    }
}

}  // namespace

}  // namespace qorel::py

NB_MODULE(_qorel, m) {
    using namespace qorel;
    using namespace qorel::py;

    g_internal_error = PyErr_NewException("_qorel.InternalError", PyExc_BaseException, nullptr);
    m.attr("InternalError") = nb::handle(g_internal_error);

    // Created here, under _qorel's name and as attributes of it, so that they pickle (a Ray
    // worker sends them back to its caller) and unpickle as themselves.
    auto exception = [&m](PyObject*& slot, const char* name, PyObject* base, const char* doc) {
        const std::string qualified = std::string("_qorel.") + name;
        slot = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
        if (!slot) throw nb::python_error();
        m.attr(name) = nb::handle(slot);
    };
    exception(g_qorel_error, "QorelError", PyExc_ValueError, "Base class of the errors qorel raises.");
    exception(g_not_found, "NotFoundError", g_qorel_error, "No vector is stored under the id.");
    exception(g_duplicate_id, "DuplicateIdError", g_qorel_error,
              "The id is already stored, or appears twice in one batch.");
    exception(g_dimension_mismatch, "DimensionMismatchError", g_qorel_error,
              "A vector's length differs from the database's dimension.");
    exception(g_database_not_found, "DatabaseNotFoundError", g_qorel_error,
              "The directory holds no database, and no dimension was given to create one.");
    exception(g_corrupt_database, "CorruptDatabaseError", g_qorel_error,
              "The database's files are damaged or incomplete.");
    exception(g_database_in_use, "DatabaseInUseError", g_qorel_error,
              "Another process holds the database directory.");
    exception(g_storage, "StorageError", g_qorel_error, "The operating system refused a file operation.");
    exception(g_invalid_vector, "InvalidVectorError", g_qorel_error,
              "A vector component is NaN, infinite or beyond the float32 range.");
    exception(g_invalid_metric, "InvalidMetricError", g_qorel_error, "The metric name is not one qorel knows.");

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const QorelError& e) {
            PyErr_SetString(error_class(e.kind()), e.what());
        } catch (const InternalError& e) {
            PyErr_SetString(g_internal_error, e.what());
        } catch (const std::invalid_argument& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const DirectoryInUse& e) {
            PyErr_SetString(g_database_in_use, e.what());
        }
    });

    bind_search_result(m);

    nb::class_<PyDatabase> cls(m, "Database", kDatabaseSignature);
    cls.def("__init__", &init_database, nb::arg("path"), nb::arg("dim").none() = nb::none(),
            nb::arg("metric").none() = nb::none(), nb::arg("m").none() = nb::none(),
            nb::arg("ef_construction").none() = nb::none(), nb::arg("quantize").none() = nb::bool_(false),
            nb::sig("def __init__(self, path, dim=None, metric=None, m=None, ef_construction=None, quantize=False)"));

    auto add_like = [](bool upsert) {
        return [upsert](PyDatabase& self, nb::handle id_h, nb::handle vector_h, nb::handle metadata_h) {
            std::string id = to_string(id_h, "id");
            std::vector<float> vector = to_stored_vector(vector_h, "vector", id);
            std::optional<Json> metadata = to_metadata(metadata_h, "metadata");
            Database& db = writable(self);
            nb::gil_scoped_release release;
            if (upsert)
                db.upsert(std::move(id), std::move(vector), std::move(metadata));
            else
                db.add(std::move(id), std::move(vector), std::move(metadata));
        };
    };
    auto many_like = [](bool upsert) {
        return [upsert](PyDatabase& self, nb::handle ids_h, nb::handle vectors_h, nb::handle metadatas_h) {
            Batch b = convert_batch(ids_h, vectors_h, metadatas_h);
            Database& db = writable(self);
            nb::gil_scoped_release release;
            if (upsert)
                db.upsert_many(std::move(b.ids), std::move(b.rows), std::move(b.metadata));
            else
                db.add_many(std::move(b.ids), std::move(b.rows), std::move(b.metadata));
        };
    };

    cls.def("add", add_like(false), nb::arg("id"), nb::arg("vector").none(), nb::arg("metadata").none() = nb::none(),
            nb::sig("def add(self, id, vector, metadata=None)"));
    cls.def("upsert", add_like(true), nb::arg("id"), nb::arg("vector").none(), nb::arg("metadata").none() = nb::none(),
            nb::sig("def upsert(self, id, vector, metadata=None)"));
    cls.def("add_many", many_like(false), nb::arg("ids").none(), nb::arg("vectors").none(),
            nb::arg("metadatas").none() = nb::none(), nb::sig("def add_many(self, ids, vectors, metadatas=None)"));
    cls.def(
        "search",
        [](const PyDatabase& self, nb::handle vector_h, nb::handle k_h, nb::handle ef_h, nb::handle filter_h,
           nb::handle max_h) {
            std::vector<float> query = to_vector(vector_h, "vector");
            SearchArgs a = search_args(k_h, ef_h, filter_h, max_h);
            if (!filter_h.is_none()) a.filter = parse_filter(filter_h);
            std::vector<PySearchResult> hits;
            {
                nb::gil_scoped_release release;
                hits = to_py_results(
                    self.db->search(query, a.k, a.ef, a.filter ? &*a.filter : nullptr, a.max_distance));
            }
            return to_py_list(std::move(hits));
        },
        nb::arg("vector").none(), nb::arg("k").none() = 10, nb::arg("ef_search").none() = nb::none(),
        nb::arg("where_filter").none() = nb::none(), nb::arg("max_distance").none() = nb::none(),
        nb::sig("def search(self, vector, k=10, ef_search=None, where_filter=None, max_distance=None)"));
    cls.def(
        "search_many",
        [](const PyDatabase& self, nb::handle vectors_h, nb::handle k_h, nb::handle ef_h, nb::handle filter_h,
           nb::handle max_h) {
            std::vector<std::vector<float>> queries = to_vectors(vectors_h, "vectors");
            SearchArgs a = search_args(k_h, ef_h, filter_h, max_h);
            if (!filter_h.is_none()) a.filter = parse_filter(filter_h);
            std::vector<std::vector<PySearchResult>> all;
            {
                nb::gil_scoped_release release;
                auto results = self.db->search_many(queries, a.k, a.ef, a.filter ? &*a.filter : nullptr, a.max_distance);
                // Metadata becomes text on the worker threads, not serially after the search.
                all.resize(results.size());
                parallel::for_each(0, results.size(), [&](std::size_t i) { all[i] = to_py_results(std::move(results[i])); });
            }
            nb::list out = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(all.size())));
            if (!out.is_valid()) throw nb::python_error();
            for (std::size_t i = 0; i < all.size(); ++i)
                PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), to_py_list(std::move(all[i])).release().ptr());
            return out;
        },
        nb::arg("vectors").none(), nb::arg("k").none() = 10, nb::arg("ef_search").none() = nb::none(),
        nb::arg("where_filter").none() = nb::none(), nb::arg("max_distance").none() = nb::none(),
        nb::sig("def search_many(self, vectors, k=10, ef_search=None, where_filter=None, max_distance=None)"));
    cls.def(
        "get",
        [](const PyDatabase& self, nb::handle id_h) {
            auto [vector, metadata] = self.db->get(to_string(id_h, "id"));
            nb::list floats;
            for (float f : vector) floats.append(nb::float_(static_cast<double>(f)));
            nb::object meta = metadata ? json_loads(serialize_metadata(*metadata)) : nb::none();
            return nb::make_tuple(floats, meta);
        },
        nb::arg("id").none(), nb::sig("def get(self, id)"));
    cls.def(
        "delete",
        [](PyDatabase& self, nb::handle id_h) {
            std::string id = to_string(id_h, "id");
            Database& db = writable(self);
            nb::gil_scoped_release release;
            return db.remove(id);
        },
        nb::arg("id").none(), nb::sig("def delete(self, id)"));
    cls.def(
        "delete_many",
        [](PyDatabase& self, nb::handle ids_h) {
            std::vector<std::string> ids = to_ids(ids_h, "ids");
            Database& db = writable(self);
            nb::gil_scoped_release release;
            return db.remove_many(ids);
        },
        nb::arg("ids").none(), nb::sig("def delete_many(self, ids)"));
    cls.def(
        "update",
        [](PyDatabase& self, nb::handle id_h, nb::handle vector_h, nb::handle metadata_h) {
            std::string id = to_string(id_h, "id");
            std::optional<std::vector<float>> vector;
            if (!vector_h.is_none()) vector = to_stored_vector(vector_h, "vector", id);
            std::optional<Json> metadata = to_metadata(metadata_h, "metadata");
            Database& db = writable(self);
            nb::gil_scoped_release release;
            db.update(std::move(id), std::move(vector), std::move(metadata));
        },
        nb::arg("id").none(), nb::arg("vector").none() = nb::none(), nb::arg("metadata").none() = nb::none(),
        nb::sig("def update(self, id, vector=None, metadata=None)"));
    cls.def("upsert_many", many_like(true), nb::arg("ids").none(), nb::arg("vectors").none(),
            nb::arg("metadatas").none() = nb::none(), nb::sig("def upsert_many(self, ids, vectors, metadatas=None)"));
    cls.def(
        "count",
        [](const PyDatabase& self, nb::handle filter_h) {
            if (filter_h.is_none()) return self.db->count(nullptr);
            if (!PyDict_Check(filter_h.ptr()))
                raise_type_error("where_filter", "'" + py_type_name(filter_h) + "' object cannot be converted to 'PyDict'");
            Filter f = parse_filter(filter_h);
            return self.db->count(&f);
        },
        nb::arg("where_filter").none() = nb::none(), nb::sig("def count(self, where_filter=None)"));
    cls.def(
        "ids",
        [](const PyDatabase& self) {
            nb::list out;
            for (const std::string& id : self.db->ids()) out.append(nb::str(id.data(), id.size()));
            return out;
        },
        nb::sig("def ids(self)"));
    cls.def(
        "save",
        [](PyDatabase& self) {
            Database& db = writable(self);
            nb::gil_scoped_release release;
            db.save();
        },
        nb::sig("def save(self)"));
    cls.def(
        "compact",
        [](PyDatabase& self) {
            nb::gil_scoped_release release;
            self.db->compact();
        },
        nb::sig("def compact(self)"));
    cls.def(
        "enable_quantized_search", [](PyDatabase& self) { self.db->enable_quantized_search(); },
        nb::sig("def enable_quantized_search(self)"));
    cls.def(
        "disable_quantized_search", [](PyDatabase& self) { self.db->disable_quantized_search(); },
        nb::sig("def disable_quantized_search(self)"));
    cls.def(
        "stats",
        [](const PyDatabase& self) {
            Stats st = self.db->stats();
            nb::dict d;
            d["num_vectors"] = st.num_vectors;
            d["num_deleted"] = st.num_deleted;
            d["num_layers"] = st.num_layers;
            d["avg_degree_layer0"] = st.avg_degree_layer0;
            d["max_degree_layer0"] = st.max_degree_layer0;
            d["min_degree_layer0"] = st.min_degree_layer0;
            d["memory_vectors_bytes"] = st.memory_vectors_bytes;
            d["memory_graph_bytes"] = st.memory_graph_bytes;
            d["memory_quantized_bytes"] = st.memory_quantized_bytes;
            d["uses_brute_force"] = st.uses_brute_force;
            d["uses_quantized_search"] = st.uses_quantized_search;
            return d;
        },
        nb::sig("def stats(self)"));
    cls.def(
        "__enter__", [](nb::handle self) { return nb::borrow(self); }, nb::sig("def __enter__(self)"));
    cls.def(
        "__exit__",
        [](PyDatabase& self, nb::handle, nb::handle, nb::handle) {
            // Saves with the interpreter lock held, also when the block raised.
            writable(self).save();
            return false;
        },
        nb::arg("_exc_type").none() = nb::none(), nb::arg("_exc_val").none() = nb::none(),
        nb::arg("_exc_tb").none() = nb::none(), nb::sig("def __exit__(self, _exc_type=None, _exc_val=None, _exc_tb=None)"));

    cls.def_prop_ro(
        "quantized_search", [](const PyDatabase& self) { return self.db->quantized_search(); },
        nb::sig("def quantized_search(self)"), "Whether quantized search is currently enabled.");
    cls.def_prop_ro(
        "deleted_count", [](const PyDatabase& self) { return self.db->deleted_count(); },
        nb::sig("def deleted_count(self)"), "Number of deleted slots that haven't been reclaimed.");
    cls.def_prop_ro(
        "total_slots", [](const PyDatabase& self) { return self.db->total_slots(); },
        nb::sig("def total_slots(self)"), "Total allocated slots (active + deleted).");
    cls.def_prop_ro("dim", [](const PyDatabase& self) { return self.db->dim(); });
    cls.def_prop_ro("metric", [](const PyDatabase& self) { return metric_name(self.db->metric()); });

    cls.def("__len__", [](const PyDatabase& self) { return self.db->len(); });
    cls.def(
        "__contains__", [](const PyDatabase& self, nb::handle id) { return self.db->contains(to_string(id, "id")); },
        nb::arg("id").none());

    expose_methods(cls);
    // Properties without doc text: nanobind would show its rendered signature there.
    for (const char* name : {"dim", "metric"})
        if (PyObject_SetAttrString(cls.attr(name).ptr(), "__doc__", Py_None) != 0) throw nb::python_error();
    // The class has no doc text either; the text signature stays in the type's doc slot.
    if (PyObject_SetAttrString(cls.ptr(), "__doc__", Py_None) != 0) throw nb::python_error();
}
