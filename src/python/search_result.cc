#include "search_result.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <new>

#include "convert.h"

namespace qorel::py {

namespace {

constexpr const char* kClassName = "SearchResult";

const PySearchResult& result_of(PyObject* self) { return *nb::inst_ptr<PySearchResult>(self); }

// Runs a slot body, turning C++ exceptions into a pending Python error: nothing may unwind
// through the interpreter's C frames.
template <typename F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", kClassName);
    return nullptr;
}

PyObject* get_id(const PySearchResult& r) { return PyUnicode_FromStringAndSize(r.id.data(), static_cast<Py_ssize_t>(r.id.size())); }

PyObject* get_distance(const PySearchResult& r) { return PyFloat_FromDouble(static_cast<double>(r.distance)); }

PyObject* get_metadata(const PySearchResult& r) {
    if (!r.metadata_json) Py_RETURN_NONE;
    nb::object text = nb::steal(PyUnicode_FromStringAndSize(r.metadata_json->data(), static_cast<Py_ssize_t>(r.metadata_json->size())));
    if (!text) return nullptr;
    nb::object loads = nb::steal(PyObject_GetAttrString(json_module().ptr(), "loads"));
    if (!loads) return nullptr;
    return PyObject_CallOneArg(loads.ptr(), text.ptr());
}

PyObject* id_getter(PyObject* self, void*) { return get_id(result_of(self)); }
PyObject* distance_getter(PyObject* self, void*) { return get_distance(result_of(self)); }
PyObject* metadata_getter(PyObject* self, void*) {
    return guarded([&] { return get_metadata(result_of(self)); });
}

// The position is converted to an unsigned size before it is compared, so a negative index is
// an OverflowError and a slice a TypeError, never a position counted from the end.
PyObject* subscript(PyObject* self, PyObject* idx) {
    return guarded([&]() -> PyObject* {
        const std::uint64_t i = to_u64(idx, "idx");
        const PySearchResult& r = result_of(self);
        switch (i) {
            case 0:
                return get_id(r);
            case 1:
                return get_distance(r);
            case 2:
                return get_metadata(r);
            default:
                PyErr_SetString(PyExc_ValueError, "index out of range");
                return nullptr;
        }
    });
}

// Iteration and unpacking come through here with positions 0, 1, 2, 3, ...; they take the
// same road as r[i].
PyObject* sequence_item(PyObject* self, Py_ssize_t i) {
    nb::object idx = nb::steal(PyLong_FromSsize_t(i));
    if (!idx) return nullptr;
    return subscript(self, idx.ptr());
}

// Four decimals, correctly rounded from the exact value of the f32 (printf rounds the exact
// binary value, ties to even).
std::string format_distance(float d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(d));
    return std::string(buf, static_cast<std::size_t>(n));
}

PyObject* repr(PyObject* self) {
    return guarded([&] {
        const PySearchResult& r = result_of(self);
        std::string text;
        text.reserve(r.id.size() + 48);
        text += "SearchResult(id='";
        text += r.id;
        text += "', distance=";
        text += format_distance(r.distance);
        text += ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyGetSetDef result_getset[] = {
    {"id", id_getter, nullptr, nullptr, nullptr},
    {"distance", distance_getter, nullptr, nullptr, nullptr},
    {"metadata", metadata_getter, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Plain type slots rather than nanobind methods: the attributes carry no doc text and the
// class gets a subscript and an item slot but no length slot.
PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_getset, result_getset},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {Py_sq_item, reinterpret_cast<void*>(sequence_item)},
    {0, nullptr},
};

}  // namespace

std::string serialize_metadata(const Json& metadata) {
    return metadata.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void bind_search_result(nb::module_& m) {
    nb::class_<PySearchResult>(m, kClassName, nb::type_slots(result_slots), nb::is_final());
}

}  // namespace qorel::py
