#include "errors.h"

#include <stdexcept>
#include <string>

#include "error.h"
#include "storage/dir_lock.h"

namespace nb = nanobind;

namespace qorel::py {

PyObject* g_database_not_found = nullptr;
PyObject* g_invalid_metric = nullptr;

namespace {

// Raised for a broken engine invariant; outside the Exception hierarchy on purpose, so that a
// caller's `except Exception` does not carry on over corrupted state.
PyObject* g_internal_error = nullptr;

PyObject* g_qorel_error = nullptr;
PyObject* g_not_found = nullptr;
PyObject* g_duplicate_id = nullptr;
PyObject* g_dimension_mismatch = nullptr;
PyObject* g_corrupt_database = nullptr;
PyObject* g_database_in_use = nullptr;
PyObject* g_storage = nullptr;
PyObject* g_invalid_vector = nullptr;
PyObject* g_read_only = nullptr;

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
        case ErrorKind::ReadOnly: return g_read_only;
        case ErrorKind::InvalidFilter: break;
    }
    return g_qorel_error;
}

}  // namespace

nb::object error_object(const QorelError& e) { return nb::handle(error_class(e.kind()))(nb::str(e.what())); }

[[noreturn]] void raise_error(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw nb::python_error();
}

void register_errors(nb::module_& m) {
    g_internal_error = PyErr_NewException("_qorel.InternalError", PyExc_BaseException, nullptr);
    if (!g_internal_error) throw nb::python_error();
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
    exception(g_read_only, "ReadOnlyError", g_qorel_error, "The database was opened read-only and cannot change.");

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
}

}  // namespace qorel::py
