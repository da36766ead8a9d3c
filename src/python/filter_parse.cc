#include "filter_parse.h"

#include <string>
#include <utility>
#include <vector>

#include "convert.h"

namespace qorel::py {

namespace {

[[noreturn]] void raise_value_error(const std::string& text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
    throw nb::python_error();
}

// A field name or an operator: a str, nothing else.
std::string key_text(PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'", Py_TYPE(key)->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (!data) throw nb::python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

// The (key, value) pairs of a dict in its own order, as references of our own: converting a
// value may run Python code that changes the dict.
nb::list dict_items(PyObject* dict) {
    nb::object items = nb::steal(PyDict_Items(dict));
    if (!items) throw nb::python_error();
    return nb::borrow<nb::list>(items);
}

// A comparison threshold: an integer exactly (see to_json_integer), anything else through the
// float protocol; the protocol's own error is replaced by the operator's. Booleans are not
// numbers, though bool is a subclass of int.
Json threshold(PyObject* operand, const std::string& op, const std::string& field) {
    if (PyFloat_CheckExact(operand)) return Json(PyFloat_AS_DOUBLE(operand));
    if (is_boolean(operand)) raise_value_error(op + " value must be a number");
    if (std::optional<Json> integer = to_json_integer(operand, "", field)) return std::move(*integer);
    const double v = PyFloat_AsDouble(operand);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise_value_error(op + " value must be a number");
    }
    return Json(v);
}

void parse_operators(const std::string& field, PyObject* ops, std::vector<Filter>& out) {
    for (nb::handle item : dict_items(ops)) {
        PyObject* op_key = PyTuple_GET_ITEM(item.ptr(), 0);
        PyObject* operand = PyTuple_GET_ITEM(item.ptr(), 1);
        const std::string op = key_text(op_key);
        if (op == "$ne") {
            out.push_back(Filter::ne(field, py_to_json(operand, field)));
        } else if (op == "$in") {
            if (!PyList_Check(operand)) raise_value_error("$in value must be a list");
            // A copy of the list: converting an element may run Python code.
            nb::object members = nb::steal(PySequence_List(operand));
            if (!members) throw nb::python_error();
            std::vector<Json> values;
            values.reserve(static_cast<std::size_t>(PyList_GET_SIZE(members.ptr())));
            for (nb::handle member : nb::borrow<nb::list>(members)) values.push_back(py_to_json(member, field));
            out.push_back(Filter::in(field, std::move(values)));
        } else if (op == "$gt") {
            out.push_back(Filter::gt(field, threshold(operand, op, field)));
        } else if (op == "$gte") {
            out.push_back(Filter::gte(field, threshold(operand, op, field)));
        } else if (op == "$lt") {
            out.push_back(Filter::lt(field, threshold(operand, op, field)));
        } else if (op == "$lte") {
            out.push_back(Filter::lte(field, threshold(operand, op, field)));
        } else {
            raise_value_error("unknown operator: " + op);
        }
    }
}

}  // namespace

Filter parse_filter(nb::handle dict) {
    std::vector<Filter> conditions;
    for (nb::handle item : dict_items(dict.ptr())) {
        PyObject* key = PyTuple_GET_ITEM(item.ptr(), 0);
        PyObject* value = PyTuple_GET_ITEM(item.ptr(), 1);
        std::string field = key_text(key);
        if (PyDict_Check(value)) {
            parse_operators(field, value, conditions);
        } else {
            conditions.push_back(Filter::eq(field, py_to_json(value, field)));
        }
    }
    return Filter::combine(std::move(conditions));
}

}  // namespace qorel::py
