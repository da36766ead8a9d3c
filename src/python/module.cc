// The extension module _qorel: the classes Database and SearchResult over the engine.

#include <nanobind/nanobind.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "api.h"
#include "args.h"
#include "convert.h"
#include "errors.h"
#include "salvage.h"
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

// Handles on one directory share its engine Database (see open_registry.h). `generation` is
// the fork generation the handle was opened in: a handle inherited by a forked child reads the
// child's copy of memory, but its changes would go to files the parent still owns.
// `checkpoint` is the handle's own: its writes save by it, whatever other handles do.
struct PyDatabase {
    std::shared_ptr<Database> db;
    std::uint64_t generation;
    CheckpointPolicy checkpoint;
};

// The engine database of a handle about to change it or its files. A read-only handle refuses
// in the engine, which names the directory.
Database& writable(PyDatabase& self) {
    if (self.generation != fork_generation())
        throw nb::value_error(
            "this Database was opened by the parent process before a fork; only that process may change it "
            "(open the database again in this process once the parent has released it)");
    return *self.db;
}

// A write call of a handle: `write` runs with the interpreter lock released, then the handle's
// checkpoint if it is due. The write is logged and applied by then, so a failed checkpoint
// must not make it look failed: the call returns as the write did and warns (RuntimeWarning).
// The log is left whole, so nothing is lost, and the next write tries the checkpoint again.
template <class Write>
auto checkpointed(PyDatabase& self, Write&& write) {
    Database& db = writable(self);
    std::optional<std::string> failure;
    auto run = [&] {
        nb::gil_scoped_release release;
        auto checkpoint = [&] {
            try {
                db.checkpoint(self.checkpoint);
            } catch (const std::exception& e) {
                failure = e.what();
            }
        };
        if constexpr (std::is_void_v<decltype(write(db))>) {
            write(db);
            checkpoint();
        } else {
            auto result = write(db);
            checkpoint();
            return result;
        }
    };
    auto warn = [&] {
        if (!failure) return;
        const std::string text = "automatic checkpoint failed (" + *failure +
                                 "); the write succeeded and stays in the log, and the next write retries the checkpoint";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) throw nb::python_error();
    };
    if constexpr (std::is_void_v<decltype(run())>) {
        run();
        warn();
    } else {
        auto result = run();
        warn();
        return result;
    }
}

void init_database(PyDatabase* self, nb::handle path_h, nb::handle dim_h, nb::handle metric_h, nb::handle m_h,
                   nb::handle ef_h, nb::handle quantize_h, nb::handle checkpoint_h, nb::handle read_only_h) {
    // Every argument is converted before anything else happens.
    const std::string path = to_path(path_h, "path");
    const Settings settings = convert_settings(dim_h, metric_h, m_h, ef_h, quantize_h);
    const CheckpointPolicy checkpoint = to_checkpoint_policy(checkpoint_h);
    const bool read_only = to_bool(read_only_h, "read_only");
    std::shared_ptr<Database> db;
    if (read_only) {
        // A reader of its own, never shared through the open registry: it takes no lock and
        // keeps its own state, whoever else in this process has the directory open. The
        // settings are not used: the stored database's are what it has.
        nb::gil_scoped_release release;
        db = Database::open(path, Env::posix(), OpenMode::ReadOnly);
    } else if (!settings.dim) {
        try {
            nb::gil_scoped_release release;
            db = open_shared(path, std::nullopt);
        } catch (const QorelError& e) {
            // Only a directory without data files asks for a dimension; a damaged or
            // unreadable database raises its own error.
            if (e.kind() != ErrorKind::DatabaseNotFound) throw;
            raise_database_not_found();
        }
    } else {
        const DatabaseConfig config = creation_config(settings);
        nb::gil_scoped_release release;
        db = open_shared(path, config);
    }
    new (self) PyDatabase{std::move(db), fork_generation(), checkpoint};
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

// The hits of a batch converted as to_py_results does, on the worker threads rather than
// serially after the search. REQUIRES: the interpreter lock released.
std::vector<std::vector<PySearchResult>> to_py_batches(std::vector<std::vector<SearchResult>>&& results) {
    std::vector<std::vector<PySearchResult>> all(results.size());
    parallel::for_each(0, results.size(), [&](std::size_t i) { all[i] = to_py_results(std::move(results[i])); });
    return all;
}

nb::list to_py_lists(std::vector<std::vector<PySearchResult>>&& all) {
    nb::list out = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(all.size())));
    if (!out.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < all.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), to_py_list(std::move(all[i])).release().ptr());
    return out;
}

// Text statistics as a cluster hands them to its shards: (documents, total length in words,
// {word: documents holding it}). Anything else is a ValueError.
TextStats to_text_stats(nb::handle h) {
    auto refuse = []() -> std::uint64_t {
        PyErr_Clear();
        throw nb::value_error("text statistics are (documents, total length, {word: documents}) of integers >= 0");
    };
    auto count = [&](PyObject* o) -> std::uint64_t {
        if (!PyLong_Check(o) || PyBool_Check(o)) return refuse();
        const unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return refuse();
        return v;
    };
    if (!PyTuple_Check(h.ptr()) || PyTuple_GET_SIZE(h.ptr()) != 3) refuse();
    PyObject* words = PyTuple_GET_ITEM(h.ptr(), 2);
    if (!PyDict_Check(words)) refuse();
    TextStats stats;
    stats.documents = count(PyTuple_GET_ITEM(h.ptr(), 0));
    stats.total_length = count(PyTuple_GET_ITEM(h.ptr(), 1));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(words, &pos, &key, &value)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (data == nullptr) refuse();
        stats.frequency.insert_or_assign(std::string(data, static_cast<std::size_t>(size)), count(value));
    }
    return stats;
}

nb::tuple from_text_stats(const TextStats& stats) {
    nb::dict words;
    for (const auto& [word, n] : stats.frequency) words[nb::str(word.data(), word.size())] = n;
    return nb::make_tuple(stats.documents, stats.total_length, words);
}

using DatabaseClass = nb::class_<PyDatabase>;

// "(self, <params>)" for a method of the table.
std::string with_self(const MethodEntry& entry) {
    return *entry.params ? std::string("(self, ") + entry.params + ")" : std::string("(self)");
}

const MethodEntry& method_entry(const char* name) {
    const std::size_t i = method_index(name);
    if (i == kMethodCount) throw std::logic_error(std::string("no signature for method ") + name);
    return kMethods[i];
}

// Defines a method with the signature of its table entry.
template <typename Func, typename... Extra>
void def(DatabaseClass& cls, const char* name, Func&& f, const Extra&... extra) {
    const std::string sig = "def " + std::string(name) + with_self(method_entry(name));
    cls.def(name, std::forward<Func>(f), extra..., nb::sig(sig.c_str()));
}

// A read-only property with the doc text of its table entry.
template <typename Getter>
void def_property(DatabaseClass& cls, const char* name, Getter&& getter) {
    const PropertyEntry* entry = property_entry(name);
    if (entry == nullptr) throw std::logic_error(std::string("no entry for property ") + name);
    cls.def_prop_ro(name, std::forward<Getter>(getter));
    // nanobind would show its rendered signature as the doc text of a property without one.
    nb::object doc = entry->doc ? nb::object(nb::str(entry->doc)) : nb::none();
    if (PyObject_SetAttrString(cls.attr(name).ptr(), "__doc__", doc.ptr()) != 0) throw nb::python_error();
}

// ---- what Python shows of the methods

// nanobind writes its own rendered signature into every method's __doc__ and gives no
// __text_signature__, which inspect.signature and help() read. So each method is shown to
// Python as a plain built-in function whose doc slot holds "name(self, params)\n--\n\n" and the
// doc text of the table; it hands the call on unchanged (self first) to the nanobind function,
// where argument conversion, error translation and the interpreter-lock handling stay. The
// nanobind functions are kept for the life of the process, since a caller may hold a shown
// function longer than the class holds it.
PyObject* g_method_impl[kMethodCount];
PyMethodDef g_method_defs[kMethodCount];
std::string g_method_docs[kMethodCount];

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
    if (func == nullptr) {  // made from Python where the flag below is missing
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

// Instances are made only here, never from Python.
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kBinderFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned kBinderFlags = Py_TPFLAGS_DEFAULT;
#endif
PyType_Spec binder_spec = {"_qorel.method", sizeof(MethodBinder), 0, kBinderFlags, binder_slots};

// Replaces every method of the table in the class by its shown function, re-adding them in the
// table's order, which is the class's method order.
void expose_methods(nb::handle cls) {
    nb::object binder_type = nb::steal(PyType_FromSpec(&binder_spec));
    if (!binder_type) throw nb::python_error();
    nb::object class_dict = cls.attr("__dict__");
    nb::object module_name = cls.attr("__module__");
    for (std::size_t i = 0; i < kMethodCount; ++i) {
        const MethodEntry& entry = kMethods[i];
        g_method_impl[i] = nb::object(class_dict[entry.name]).release().ptr();
        g_method_docs[i] = entry.name + with_self(entry) + "\n--\n\n" + (entry.doc ? entry.doc : "");
        g_method_defs[i] = PyMethodDef{entry.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kForwarders[i])),
                                       METH_FASTCALL | METH_KEYWORDS, g_method_docs[i].c_str()};
        nb::object func = nb::steal(PyCFunction_NewEx(&g_method_defs[i], nullptr, module_name.ptr()));
        if (!func) throw nb::python_error();
        auto* binder = PyObject_New(MethodBinder, reinterpret_cast<PyTypeObject*>(binder_type.ptr()));
        if (!binder) throw nb::python_error();
        binder->func = func.release().ptr();
        nb::object shown = nb::steal(reinterpret_cast<PyObject*>(binder));
        if (PyObject_DelAttrString(cls.ptr(), entry.name) != 0) throw nb::python_error();
        if (PyObject_SetAttrString(cls.ptr(), entry.name, shown.ptr()) != 0) throw nb::python_error();
    }
}

// ---- the methods, by kind

void bind_writes(DatabaseClass& cls) {
    auto add_like = [](bool upsert) {
        return [upsert](PyDatabase& self, nb::handle id_h, nb::handle vector_h, nb::handle metadata_h) {
            std::string id = to_string(id_h, "id");
            std::vector<float> vector = to_stored_vector(vector_h, "vector", id);
            std::optional<Json> metadata = to_metadata(metadata_h, "metadata");
            checkpointed(self, [&](Database& db) {
                if (upsert)
                    db.upsert(std::move(id), std::move(vector), std::move(metadata));
                else
                    db.add(std::move(id), std::move(vector), std::move(metadata));
            });
        };
    };
    auto many_like = [](bool upsert) {
        return [upsert](PyDatabase& self, nb::handle ids_h, nb::handle vectors_h, nb::handle metadatas_h) {
            Batch b = convert_batch(ids_h, vectors_h, metadatas_h);
            checkpointed(self, [&](Database& db) {
                if (upsert)
                    db.upsert_many(std::move(b.ids), std::move(b.rows), std::move(b.metadata));
                else
                    db.add_many(std::move(b.ids), std::move(b.rows), std::move(b.metadata));
            });
        };
    };
    def(cls, "add", add_like(false), nb::arg("id"), nb::arg("vector").none(), nb::arg("metadata").none() = nb::none());
    def(cls, "upsert", add_like(true), nb::arg("id"), nb::arg("vector").none(), nb::arg("metadata").none() = nb::none());
    def(cls, "add_many", many_like(false), nb::arg("ids").none(), nb::arg("vectors").none(),
        nb::arg("metadatas").none() = nb::none());
    def(cls, "upsert_many", many_like(true), nb::arg("ids").none(), nb::arg("vectors").none(),
        nb::arg("metadatas").none() = nb::none());
    def(cls, "delete", [](PyDatabase& self, nb::handle id_h) {
        std::string id = to_string(id_h, "id");
        return checkpointed(self, [&](Database& db) { return db.remove(id); });
    }, nb::arg("id").none());
    def(cls, "delete_many", [](PyDatabase& self, nb::handle ids_h) {
        std::vector<std::string> ids = to_ids(ids_h, "ids");
        return checkpointed(self, [&](Database& db) { return db.remove_many(ids); });
    }, nb::arg("ids").none());
    def(cls, "update", [](PyDatabase& self, nb::handle id_h, nb::handle vector_h, nb::handle metadata_h) {
        std::string id = to_string(id_h, "id");
        std::optional<std::vector<float>> vector;
        if (!vector_h.is_none()) vector = to_stored_vector(vector_h, "vector", id);
        std::optional<Json> metadata = to_metadata(metadata_h, "metadata");
        checkpointed(self, [&](Database& db) { db.update(std::move(id), std::move(vector), std::move(metadata)); });
    }, nb::arg("id").none(), nb::arg("vector").none() = nb::none(), nb::arg("metadata").none() = nb::none());
}

void bind_searches(DatabaseClass& cls) {
    def(cls, "search", [](const PyDatabase& self, nb::handle vector_h, nb::handle k_h, nb::handle ef_h,
                          nb::handle filter_h, nb::handle max_h) {
        std::vector<float> query = to_vector(vector_h, "vector");
        SearchArgs a = search_args(k_h, ef_h, filter_h, max_h);
        std::vector<PySearchResult> hits;
        {
            nb::gil_scoped_release release;
            hits = to_py_results(self.db->search(query, a.k, a.ef, a.filter ? &*a.filter : nullptr, a.max_distance));
        }
        return to_py_list(std::move(hits));
    }, nb::arg("vector").none(), nb::arg("k").none() = 10, nb::arg("ef_search").none() = nb::none(),
        nb::arg("where_filter").none() = nb::none(), nb::arg("max_distance").none() = nb::none());
    def(cls, "search_many", [](const PyDatabase& self, nb::handle vectors_h, nb::handle k_h, nb::handle ef_h,
                               nb::handle filter_h, nb::handle max_h) {
        std::vector<std::vector<float>> queries = to_vectors(vectors_h, "vectors");
        SearchArgs a = search_args(k_h, ef_h, filter_h, max_h);
        std::vector<std::vector<PySearchResult>> all;
        {
            nb::gil_scoped_release release;
            all = to_py_batches(self.db->search_many(queries, a.k, a.ef, a.filter ? &*a.filter : nullptr, a.max_distance));
        }
        return to_py_lists(std::move(all));
    }, nb::arg("vectors").none(), nb::arg("k").none() = 10, nb::arg("ef_search").none() = nb::none(),
        nb::arg("where_filter").none() = nb::none(), nb::arg("max_distance").none() = nb::none());
    def(cls, "search_text", [](const PyDatabase& self, nb::handle query_h, nb::handle k_h, nb::handle filter_h) {
        const std::string query = to_string(query_h, "query");
        const std::size_t k = to_u64(k_h, "k");
        const std::optional<Filter> filter = convert_filter(filter_h);
        std::vector<PySearchResult> hits;
        {
            nb::gil_scoped_release release;
            hits = to_py_results(self.db->search_text(query, k, filter ? &*filter : nullptr));
        }
        return to_py_list(std::move(hits));
    }, nb::arg("query").none(), nb::arg("k").none() = 10, nb::arg("where_filter").none() = nb::none());
    def(cls, "search_text_many", [](const PyDatabase& self, nb::handle queries_h, nb::handle k_h, nb::handle filter_h) {
        const std::vector<std::string> queries = to_ids(queries_h, "queries");
        const std::size_t k = to_u64(k_h, "k");
        const std::optional<Filter> filter = convert_filter(filter_h);
        std::vector<std::vector<PySearchResult>> all;
        {
            nb::gil_scoped_release release;
            all = to_py_batches(self.db->search_text_many(queries, k, filter ? &*filter : nullptr));
        }
        return to_py_lists(std::move(all));
    }, nb::arg("queries").none(), nb::arg("k").none() = 10, nb::arg("where_filter").none() = nb::none());
    def(cls, "search_hybrid", [](const PyDatabase& self, nb::handle vector_h, nb::handle query_h, nb::handle k_h,
                                 nb::handle filter_h, nb::handle ef_h, nb::handle weight_h, nb::handle rrf_h,
                                 nb::handle candidates_h) {
        const std::vector<float> vector = to_vector(vector_h, "vector");
        const std::string query = to_string(query_h, "query");
        const std::size_t k = to_u64(k_h, "k");
        const std::optional<Filter> filter = convert_filter(filter_h);
        const HybridOptions options = hybrid_options(ef_h, weight_h, rrf_h, candidates_h);
        std::vector<PySearchResult> hits;
        {
            nb::gil_scoped_release release;
            hits = to_py_results(self.db->search_hybrid(vector, query, k, filter ? &*filter : nullptr, options));
        }
        return to_py_list(std::move(hits));
    }, nb::arg("vector").none(), nb::arg("query").none(), nb::arg("k").none() = 10,
        nb::arg("where_filter").none() = nb::none(), nb::kw_only(), nb::arg("ef_search").none() = nb::none(),
        nb::arg("weight").none() = 0.5, nb::arg("rrf_k").none() = 60, nb::arg("candidates").none() = nb::none());
    def(cls, "search_hybrid_many", [](const PyDatabase& self, nb::handle vectors_h, nb::handle queries_h, nb::handle k_h,
                                      nb::handle filter_h, nb::handle ef_h, nb::handle weight_h, nb::handle rrf_h,
                                      nb::handle candidates_h) {
        const std::vector<std::vector<float>> vectors = to_vectors(vectors_h, "vectors");
        const std::vector<std::string> queries = to_ids(queries_h, "queries");
        if (vectors.size() != queries.size())
            throw nb::value_error("vectors and queries must have the same length");
        const std::size_t k = to_u64(k_h, "k");
        const std::optional<Filter> filter = convert_filter(filter_h);
        const HybridOptions options = hybrid_options(ef_h, weight_h, rrf_h, candidates_h);
        std::vector<std::vector<PySearchResult>> all;
        {
            nb::gil_scoped_release release;
            all = to_py_batches(self.db->search_hybrid_many(vectors, queries, k, filter ? &*filter : nullptr, options));
        }
        return to_py_lists(std::move(all));
    }, nb::arg("vectors").none(), nb::arg("queries").none(), nb::arg("k").none() = 10,
        nb::arg("where_filter").none() = nb::none(), nb::kw_only(), nb::arg("ef_search").none() = nb::none(),
        nb::arg("weight").none() = 0.5, nb::arg("rrf_k").none() = 60, nb::arg("candidates").none() = nb::none());
    def(cls, "count", [](const PyDatabase& self, nb::handle filter_h) {
        std::optional<Filter> f = convert_filter(filter_h);
        return self.db->count(f ? &*f : nullptr);
    }, nb::arg("where_filter").none() = nb::none());
}

void bind_reads(DatabaseClass& cls) {
    def(cls, "get", [](const PyDatabase& self, nb::handle id_h) {
        auto [vector, metadata] = self.db->get(to_string(id_h, "id"));
        nb::list floats;
        for (float f : vector) floats.append(nb::float_(static_cast<double>(f)));
        nb::object meta = metadata ? json_loads(serialize_metadata(*metadata)) : nb::none();
        return nb::make_tuple(floats, meta);
    }, nb::arg("id").none());
    def(cls, "ids", [](const PyDatabase& self) {
        nb::list out;
        for (const std::string& id : self.db->ids()) out.append(nb::str(id.data(), id.size()));
        return out;
    });
    def(cls, "stats", [](const PyDatabase& self) {
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
        d["wal_bytes"] = st.wal_bytes;
        d["wal_replay_seconds"] = st.wal_replay_seconds;
        d["last_checkpoint"] = st.last_checkpoint ? nb::object(nb::float_(*st.last_checkpoint)) : nb::none();
        d["text_field"] = st.text_field ? nb::object(nb::str(st.text_field->data(), st.text_field->size())) : nb::none();
        return d;
    });
    def(cls, "check", [](PyDatabase& self) {
        std::vector<CheckResult> found;
        {
            nb::gil_scoped_release release;
            found = self.db->check();
        }
        nb::list out;
        for (const CheckResult& r : found) {
            nb::dict d;
            d["name"] = nb::str(r.name.data(), r.name.size());
            d["ok"] = nb::bool_(r.ok);
            d["detail"] = nb::str(r.detail.data(), r.detail.size());
            out.append(d);
        }
        return out;
    });
    def(cls, "__len__", [](const PyDatabase& self) { return self.db->len(); });
    def(cls, "__contains__", [](const PyDatabase& self, nb::handle id) { return self.db->contains(to_string(id, "id")); },
        nb::arg("id").none());
    def_property(cls, "quantized_search", [](const PyDatabase& self) { return self.db->quantized_search(); });
    def_property(cls, "deleted_count", [](const PyDatabase& self) { return self.db->deleted_count(); });
    def_property(cls, "total_slots", [](const PyDatabase& self) { return self.db->total_slots(); });
    def_property(cls, "dim", [](const PyDatabase& self) { return self.db->dim(); });
    def_property(cls, "metric", [](const PyDatabase& self) { return metric_name(self.db->metric()); });
    def_property(cls, "read_only", [](const PyDatabase& self) { return self.db->read_only(); });
    def_property(cls, "text_index", [](const PyDatabase& self) -> nb::object {
        const std::optional<TextConfig> config = self.db->text_index_config();
        if (!config) return nb::none();
        nb::dict d;
        d["field"] = nb::str(config->field.data(), config->field.size());
        d["stem"] = config->stem;
        return d;
    });
}

void bind_maintenance(DatabaseClass& cls) {
    def(cls, "save", [](PyDatabase& self) {
        Database& db = writable(self);
        nb::gil_scoped_release release;
        db.save();
    });
    def(cls, "compact", [](PyDatabase& self) {
        nb::gil_scoped_release release;
        self.db->compact();
    });
    def(cls, "enable_quantized_search", [](PyDatabase& self) { self.db->enable_quantized_search(); });
    def(cls, "enable_text_index", [](PyDatabase& self, nb::handle field_h, nb::handle stem_h) {
        std::string field = to_string(field_h, "field");
        const bool stem = to_bool(stem_h, "stem");
        checkpointed(self, [&](Database& db) { db.enable_text_index(std::move(field), stem); });
    }, nb::arg("field").none(), nb::kw_only(), nb::arg("stem").none() = false);
    def(cls, "disable_quantized_search", [](PyDatabase& self) { self.db->disable_quantized_search(); });
    def(cls, "refresh", [](PyDatabase& self) {
        nb::gil_scoped_release release;
        self.db->refresh();
    });
    def(cls, "__enter__", [](nb::handle self) { return nb::borrow(self); });
    def(cls, "__exit__", [](PyDatabase& self, nb::handle, nb::handle, nb::handle) {
        // Saves with the interpreter lock held, also when the block raised; a read-only handle
        // has nothing to save.
        if (!self.db->read_only()) writable(self).save();
        return false;
    }, nb::arg("_exc_type").none() = nb::none(), nb::arg("_exc_val").none() = nb::none(),
        nb::arg("_exc_tb").none() = nb::none());
}

// For a database spread over shards (qorel.cluster): a shard's keyword statistics for a batch
// of queries, and its search_text_many scored with the statistics summed over the shards.
// Functions of the module rather than methods, so that Database shows users only its own API.
void bind_text_stats(nb::module_& m) {
    m.def("_text_stats", [](const PyDatabase& self, nb::handle queries_h) {
        const std::vector<std::string> queries = to_ids(queries_h, "queries");
        TextStats stats;
        {
            nb::gil_scoped_release release;
            stats = self.db->text_stats(queries);
        }
        return from_text_stats(stats);
    }, nb::arg("db"), nb::arg("queries").none());
    m.def("_search_text_many", [](const PyDatabase& self, nb::handle queries_h, nb::handle k_h, nb::handle filter_h,
                                    nb::handle stats_h) {
        const std::vector<std::string> queries = to_ids(queries_h, "queries");
        const std::size_t k = to_u64(k_h, "k");
        const std::optional<Filter> filter = convert_filter(filter_h);
        const TextStats stats = to_text_stats(stats_h);
        std::vector<std::vector<PySearchResult>> all;
        {
            nb::gil_scoped_release release;
            all = to_py_batches(self.db->search_text_many(queries, k, filter ? &*filter : nullptr, &stats));
        }
        return to_py_lists(std::move(all));
    }, nb::arg("db"), nb::arg("queries").none(), nb::arg("k").none(), nb::arg("where_filter").none(), nb::arg("stats").none());
}

// The class has no doc text; its doc slot carries only the constructor's text signature, which
// Python exposes as Database.__text_signature__.
const std::string g_class_doc =
    std::string("Database(") + kMethods[method_index("__init__")].params + ")\n--\n\n";

void bind_database(nb::module_& m) {
    DatabaseClass cls(m, "Database", g_class_doc.c_str());
    def(cls, "__init__", &init_database, nb::arg("path"), nb::arg("dim").none() = nb::none(),
        nb::arg("metric").none() = nb::none(), nb::arg("m").none() = nb::none(),
        nb::arg("ef_construction").none() = nb::none(), nb::arg("quantize").none() = nb::bool_(false),
        nb::arg("checkpoint").none() = nb::float_(CheckpointPolicy{}.replay_seconds),
        nb::arg("read_only").none() = nb::bool_(false));
    bind_writes(cls);
    bind_searches(cls);
    bind_reads(cls);
    bind_maintenance(cls);
    expose_methods(cls);
    if (PyObject_SetAttrString(cls.ptr(), "__doc__", Py_None) != 0) throw nb::python_error();
}

// The table, for the checks of the type stub and the README: a tuple of (name, params, doc)
// per method and a dict of property doc texts.
void expose_table(nb::module_& m) {
    nb::list methods;
    for (const MethodEntry& s : kMethods)
        methods.append(nb::make_tuple(s.name, s.params, s.doc ? nb::object(nb::str(s.doc)) : nb::none()));
    nb::dict properties;
    for (const PropertyEntry& p : kProperties) properties[p.name] = p.doc ? nb::object(nb::str(p.doc)) : nb::none();
    m.attr("_api") = nb::make_tuple(nb::tuple(methods), properties);
}

// The names the engine accepts for a metric, each mapped to the name it reports.
void expose_metric_names(nb::module_& m) {
    nb::dict names;
    for (const char* name : {"cosine", "euclidean", "l2", "dot", "dot_product"})
        names[name] = metric_name(parse_metric(name).value());
    m.attr("_metric_names") = names;
}

}  // namespace

}  // namespace qorel::py

NB_MODULE(_qorel, m) {
    using namespace qorel::py;
    register_errors(m);
    bind_search_result(m);
    bind_database(m);
    bind_text_stats(m);
    bind_checks(m);
    bind_salvage(m);
    expose_table(m);
    expose_metric_names(m);
}
