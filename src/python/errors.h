// The exception classes of _qorel and the translation of engine errors into them.
#pragma once

#include <nanobind/nanobind.h>

#include "error.h"

namespace qorel::py {

// The classes callers catch by name, created by register_errors. Each is a ValueError under
// QorelError, so handlers written before the classes existed still work.
extern PyObject* g_database_not_found;
extern PyObject* g_invalid_metric;

// Creates the exception classes as attributes of the module and registers the translator of
// engine exceptions.
void register_errors(nanobind::module_& m);

// The Python exception object an engine error is raised as (not raised).
nanobind::object error_object(const QorelError& e);

// Raises `type` with `text` (throws nb::python_error).
[[noreturn]] void raise_error(PyObject* type, const char* text);

}  // namespace qorel::py
