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

// Filters nest (lists under $and and $or, operator dicts under $not) at most this deep, so that
// neither parsing nor evaluation can run out of stack on a hostile filter.
constexpr int kMaxDepth = 32;

void check_depth(int depth) {
    if (depth > kMaxDepth) raise_value_error("filter nested too deeply (at most " + std::to_string(kMaxDepth) + " levels)");
}

// The elements of a list operand, as a list of our own: converting an element may run Python
// code that changes the caller's list.
nb::list list_operand(PyObject* operand, const std::string& what) {
    if (!PyList_Check(operand)) raise_value_error(what);
    nb::object members = nb::steal(PySequence_List(operand));
    if (!members) throw nb::python_error();
    return nb::borrow<nb::list>(members);
}

std::vector<Json> values_of(PyObject* operand, const std::string& op, const std::string& field) {
    nb::list members = list_operand(operand, op + " value must be a list");
    std::vector<Json> values;
    values.reserve(members.size());
    for (nb::handle member : members) values.push_back(py_to_json(member, field));
    return values;
}

Filter parse_where(PyObject* dict, int depth);

void parse_operators(const std::string& field, PyObject* ops, std::vector<Filter>& out, int depth) {
    check_depth(depth);
    for (nb::handle item : dict_items(ops)) {
        PyObject* op_key = PyTuple_GET_ITEM(item.ptr(), 0);
        PyObject* operand = PyTuple_GET_ITEM(item.ptr(), 1);
        const std::string op = key_text(op_key);
        if (op == "$ne") {
            out.push_back(Filter::ne(field, py_to_json(operand, field)));
        } else if (op == "$in") {
            out.push_back(Filter::in(field, values_of(operand, op, field)));
        } else if (op == "$nin") {
            out.push_back(Filter::none_of(field, values_of(operand, op, field)));
        } else if (op == "$gt") {
            out.push_back(Filter::gt(field, threshold(operand, op, field)));
        } else if (op == "$gte") {
            out.push_back(Filter::gte(field, threshold(operand, op, field)));
        } else if (op == "$lt") {
            out.push_back(Filter::lt(field, threshold(operand, op, field)));
        } else if (op == "$lte") {
            out.push_back(Filter::lte(field, threshold(operand, op, field)));
        } else if (op == "$contains" || op == "$not_contains") {
            // One element to look for; a list here would read as "contains all" or "contains
            // any", which the caller spells with $and or $in.
            if (PyList_Check(operand) || PyTuple_Check(operand) || PyDict_Check(operand))
                raise_value_error(op + " value must be a single value, not a container");
            Filter contains = Filter::contains(field, py_to_json(operand, field));
            out.push_back(op == "$contains" ? std::move(contains) : Filter::negate(std::move(contains)));
        } else if (op == "$not") {
            if (!PyDict_Check(operand)) raise_value_error("$not value must be a dict of operators");
            std::vector<Filter> negated;
            parse_operators(field, operand, negated, depth + 1);
            if (negated.empty()) raise_value_error("$not needs at least one operator");
            out.push_back(Filter::negate(Filter::combine(std::move(negated))));
        } else {
            raise_value_error("unknown operator: " + op);
        }
    }
}

// The filters listed under $and or $or.
std::vector<Filter> parse_members(PyObject* operand, const std::string& op, int depth) {
    nb::list members = list_operand(operand, op + " value must be a list of filter dicts");
    std::vector<Filter> out;
    out.reserve(members.size());
    for (nb::handle member : members) {
        if (!PyDict_Check(member.ptr())) raise_value_error(op + " value must be a list of filter dicts");
        out.push_back(parse_where(member.ptr(), depth + 1));
    }
    return out;
}

Filter parse_where(PyObject* dict, int depth) {
    check_depth(depth);
    std::vector<Filter> conditions;
    for (nb::handle item : dict_items(dict)) {
        PyObject* key = PyTuple_GET_ITEM(item.ptr(), 0);
        PyObject* value = PyTuple_GET_ITEM(item.ptr(), 1);
        std::string field = key_text(key);
        if (field == "$and") {
            conditions.push_back(Filter::all_of(parse_members(value, field, depth)));
        } else if (field == "$or") {
            conditions.push_back(Filter::any_of(parse_members(value, field, depth)));
        } else if (field.starts_with('$')) {
            // An operator where a field belongs ($not, $nor, $eq...) would otherwise be read as
            // a field of that name, which no stored row has, and silently match nothing.
            raise_value_error("unknown operator: " + field);
        } else if (PyDict_Check(value)) {
            parse_operators(field, value, conditions, depth + 1);
        } else {
            conditions.push_back(Filter::eq(field, py_to_json(value, field)));
        }
    }
    return Filter::combine(std::move(conditions));
}

}  // namespace

Filter parse_filter(nb::handle dict) { return parse_where(dict.ptr(), 1); }

}  // namespace qorel::py
