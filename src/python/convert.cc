#include "convert.h"

namespace qorel::py {

void raise_type_error(const char* arg, const std::string& what) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", arg, what.c_str());
    throw nb::python_error();
}

void raise_argument_error(const char* arg) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string msg;
    if (value) {
        if (PyObject* s = PyObject_Str(value)) {
            if (const char* c = PyUnicode_AsUTF8(s)) msg = c;
            Py_DECREF(s);
        }
        PyErr_Clear();
    }
    PyObject* cls = type ? type : PyExc_TypeError;
    PyErr_Format(cls, "argument '%s': %s", arg, msg.c_str());
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    throw nb::python_error();
}

std::string py_type_name(nb::handle h) {
    PyTypeObject* t = Py_TYPE(h.ptr());
    return t->tp_name ? t->tp_name : "object";
}

std::string to_string(nb::handle h, const char* arg) {
    if (!PyUnicode_Check(h.ptr())) raise_type_error(arg, "'" + py_type_name(h) + "' object cannot be converted to 'PyString'");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(h.ptr(), &size);
    if (!data) raise_argument_error(arg);
    return std::string(data, static_cast<std::size_t>(size));
}

std::uint64_t to_u64(nb::handle h, const char* arg) {
    PyObject* index = PyNumber_Index(h.ptr());
    if (!index) raise_argument_error(arg);
    unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_argument_error(arg);
    return v;
}

std::optional<std::uint64_t> to_optional_u64(nb::handle h, const char* arg) {
    if (h.is_none()) return std::nullopt;
    return to_u64(h, arg);
}

bool to_bool(nb::handle h, const char* arg) {
    PyObject* o = h.ptr();
    if (PyBool_Check(o)) return o == Py_True;
    const std::string name = py_type_name(h);
    if (name == "numpy.bool" || name == "numpy.bool_") {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) raise_argument_error(arg);
        return truth != 0;
    }
    raise_type_error(arg, "'" + name + "' object cannot be converted to 'PyBool'");
}

}  // namespace qorel::py
