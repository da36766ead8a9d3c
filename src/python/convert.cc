#include "convert.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>

#include "error.h"
#include "filter_parse.h"

namespace qorel::py {

namespace {

// Reservations taken from a sequence's own length are capped for objects other than lists and
// tuples: their __len__ is only a hint and may be arbitrarily large.
constexpr Py_ssize_t kMaxLengthHint = Py_ssize_t{1} << 20;

// JSON nesting depth at which metadata is refused; the value itself counts as one level.
constexpr int kMaxJsonDepth = 128;

constexpr const char* kStrIsNotASequence = "expected a sequence, not a str";
constexpr const char* kNotContiguous = "The given array is not contiguous";

[[noreturn]] void raise(PyObject* cls, const std::string& text) {
    PyErr_SetString(cls, text.c_str());
    throw nb::python_error();
}

// Takes the pending Python error and returns it as "<ExceptionClass>: <message>".
std::string take_error_text() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text = type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "Exception";
    if (value) {
        if (PyObject* s = PyObject_Str(value)) {
            Py_ssize_t size = 0;
            if (const char* c = PyUnicode_AsUTF8AndSize(s, &size)) {
                text += ": ";
                text.append(c, static_cast<std::size_t>(size));
            }
            Py_DECREF(s);
        }
        PyErr_Clear();
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return text;
}

bool is_numpy_bool(PyObject* o) {
    const char* name = Py_TYPE(o)->tp_name;
    return name && (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0);
}

// ---- NumPy arrays, reached through the buffer protocol so that NumPy is needed only by
// callers who pass arrays.

// numpy.ndarray once numpy has been imported by anyone; nullptr before that (and then no
// object can be an array). The reference is kept for the life of the process.
PyTypeObject* ndarray_type() {
    static PyTypeObject* cached = nullptr;
    if (cached) return cached;
    PyObject* numpy = PyImport_GetModule(nb::str("numpy").ptr());
    if (!numpy) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* type = PyObject_GetAttrString(numpy, "ndarray");
    Py_DECREF(numpy);
    if (!type || !PyType_Check(type)) {
        Py_XDECREF(type);
        PyErr_Clear();
        return nullptr;
    }
    if (!cached) {
        cached = reinterpret_cast<PyTypeObject*>(type);
    } else {
        Py_DECREF(type);
    }
    return cached;
}

bool is_ndarray(PyObject* o) {
    PyTypeObject* t = ndarray_type();
    return t && PyObject_TypeCheck(o, t);
}

bool is_exact_ndarray(PyObject* o) {
    PyTypeObject* t = ndarray_type();
    return t && Py_TYPE(o) == t;
}

enum class Element { F32, F64, Other };

// A strided, read-only view of an array's buffer, released when dropped. No Python code runs
// while it is read, so the buffer cannot change under the reader.
class ArrayView {
public:
    ArrayView() = default;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False, with no error pending, when the object exports no strided buffer (an array of a
    // dtype the buffer protocol cannot describe, for instance).
    bool acquire(PyObject* o) {
        if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }

    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int i) const { return view_.shape[i]; }
    Py_ssize_t stride(int i) const { return view_.strides[i]; }
    const char* data() const { return static_cast<const char*>(view_.buf); }

    // The element type, native byte order only: an array of the other byte order is not
    // equivalent to float32 and takes the element-by-element path.
    Element element() const {
        const char* f = view_.format ? view_.format : "B";
        constexpr char native = std::endian::native == std::endian::little ? '<' : '>';
        if (*f == '@' || *f == '=' || *f == native) ++f;
        if (f[0] == 'f' && f[1] == '\0' && view_.itemsize == 4) return Element::F32;
        if (f[0] == 'd' && f[1] == '\0' && view_.itemsize == 8) return Element::F64;
        return Element::Other;
    }

    // NumPy's contiguity flags: dimensions of length 1 may have any stride, and an empty array
    // is contiguous in both orders.
    bool c_contiguous() const { return contiguous(false); }
    bool f_contiguous() const { return contiguous(true); }

private:
    bool contiguous(bool fortran) const {
        for (int i = 0; i < view_.ndim; ++i) {
            if (view_.shape[i] == 0) return true;
        }
        Py_ssize_t expected = view_.itemsize;
        for (int k = 0; k < view_.ndim; ++k) {
            const int i = fortran ? k : view_.ndim - 1 - k;
            if (view_.shape[i] == 1) continue;
            if (view_.strides[i] != expected) return false;
            expected *= view_.shape[i];
        }
        return true;
    }

    Py_buffer view_{};
    bool held_ = false;
};

// The first finite number, in a vector that is to be stored, that float32 cannot hold.
// Narrowing would turn it into an infinity, and the database could then only report that; the
// caller reports the number as given instead. Readers of batches keep current_row up to date.
struct Overflow {
    std::size_t current_row = 0;
    bool seen = false;
    std::size_t row = 0;
    std::size_t index = 0;
    double value = 0.0;
};

// Narrows one number to f32, noting the first overflow in `overflow` when one is given.
inline float narrow(double v, std::size_t index, Overflow* overflow) {
    const float f = static_cast<float>(v);
    if (overflow && !overflow->seen && std::isinf(f) && std::isfinite(v)) {
        overflow->seen = true;
        overflow->row = overflow->current_row;
        overflow->index = index;
        overflow->value = v;
    }
    return f;
}

// Element at byte offset `offset`, as a double (exact for both element types).
inline double element_at(const char* base, Py_ssize_t offset, Element e) {
    if (e == Element::F32) {
        float v;
        std::memcpy(&v, base + offset, sizeof v);
        return v;
    }
    double v;
    std::memcpy(&v, base + offset, sizeof v);
    return v;
}

// Reads every element of a 1-D float32 or float64 view, any strides.
std::vector<float> read_strided_1d(const ArrayView& a, Overflow* overflow = nullptr) {
    const Py_ssize_t n = a.shape(0);
    std::vector<float> out(static_cast<std::size_t>(n));
    const Element e = a.element();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        out[k] = narrow(element_at(a.data(), i * a.stride(0), e), k, overflow);
    }
    return out;
}

// Rows of a 2-D float32 or float64 view, any strides, into one block; a C-contiguous float32
// array is one block copy.
void read_rows_2d(const ArrayView& a, RowBlock& out, Overflow* overflow = nullptr) {
    const auto n = static_cast<std::size_t>(a.shape(0));
    const auto d = static_cast<std::size_t>(a.shape(1));
    const Element e = a.element();
    std::span<float> rows = out.extend(n, d);
    if (rows.empty()) return;
    if (e == Element::F32 && a.c_contiguous()) {
        std::memcpy(rows.data(), a.data(), rows.size_bytes());
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (overflow) overflow->current_row = i;
        float* row = rows.data() + i * d;
        const Py_ssize_t at = static_cast<Py_ssize_t>(i) * a.stride(0);
        for (std::size_t j = 0; j < d; ++j)
            row[j] = narrow(element_at(a.data(), at + static_cast<Py_ssize_t>(j) * a.stride(1), e), j, overflow);
    }
}

// ---- sequences of numbers

// One number through the float protocol. False with the error pending. The item may run
// Python code (__float__, __index__), so the caller holds a reference to it.
inline bool number_to_f64(PyObject* item, double& out) {
    if (PyFloat_CheckExact(item)) {
        out = PyFloat_AS_DOUBLE(item);
        return true;
    }
    out = PyFloat_AsDouble(item);
    return !(out == -1.0 && PyErr_Occurred());
}

// Converts the items of a list, re-reading its length at every step as list iteration does:
// a __float__ may change the list while it is being read.
bool read_list(PyObject* list, std::vector<float>& out, Overflow* overflow) {
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyFloat_CheckExact(item)) {
            out.push_back(narrow(PyFloat_AS_DOUBLE(item), out.size(), overflow));
            continue;
        }
        nb::object hold = nb::borrow(item);
        double v;
        if (!number_to_f64(item, v)) return false;
        out.push_back(narrow(v, out.size(), overflow));
    }
    return true;
}

// A tuple holds its items for as long as the caller holds the tuple.
bool read_tuple(PyObject* tuple, std::vector<float>& out, Overflow* overflow) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        double v;
        if (!number_to_f64(PyTuple_GET_ITEM(tuple, i), v)) return false;
        out.push_back(narrow(v, out.size(), overflow));
    }
    return true;
}

bool read_iterable(PyObject* o, std::vector<float>& out, Overflow* overflow) {
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(std::min(n, kMaxLengthHint)));
    }
    nb::object it = nb::steal(PyObject_GetIter(o));
    if (!it) return false;
    while (true) {
        nb::object item = nb::steal(PyIter_Next(it.ptr()));
        if (!item) return !PyErr_Occurred();
        double v;
        if (!number_to_f64(item.ptr(), v)) return false;
        out.push_back(narrow(v, out.size(), overflow));
    }
}

// The sequence-of-floats form: false with the form's error pending. The caller holds `o`.
bool read_float_sequence(PyObject* o, std::vector<float>& out, Overflow* overflow = nullptr) {
    if (PyList_CheckExact(o)) return read_list(o, out, overflow);
    if (PyTuple_CheckExact(o)) return read_tuple(o, out, overflow);
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, kStrIsNotASequence);
        return false;
    }
    if (is_exact_ndarray(o)) {
        // A 1-D float array reads straight from its buffer: the same values its items would
        // give through the float protocol, without a scalar object per element.
        ArrayView a;
        if (a.acquire(o) && a.ndim() == 1 && a.element() != Element::Other) {
            out = read_strided_1d(a, overflow);
            return true;
        }
    }
    if (!PySequence_Check(o)) {
        PyErr_SetString(PyExc_TypeError, cannot_convert(o, "Sequence").c_str());
        return false;
    }
    return read_iterable(o, out, overflow);
}

// Why `o` is not an array of `want_ndim` dimensions of float32, for the error text.
std::string not_a_float32_array(PyObject* o, const ArrayView* a, bool acquired, int want_ndim) {
    if (!is_ndarray(o)) return "TypeError: '" + py_type_name(o) + "' object is not a NumPy array";
    if (acquired && a->ndim() != want_ndim) {
        return "TypeError: expected a " + std::to_string(want_ndim) + "-dimensional array, got " +
               std::to_string(a->ndim()) + " dimensions";
    }
    std::string dtype = "unknown";
    if (PyObject* d = PyObject_GetAttrString(o, "dtype")) {
        if (PyObject* s = PyObject_Str(d)) {
            if (const char* c = PyUnicode_AsUTF8(s)) dtype = c;
            Py_DECREF(s);
        }
        Py_DECREF(d);
    }
    PyErr_Clear();
    return "TypeError: expected an array of dtype float32, got " + dtype;
}

[[noreturn]] void raise_enum_error(const char* arg, const char* enum_name, const char* first, const std::string& first_error,
                                   const char* second, const std::string& second_error) {
    std::string text = "failed to extract enum ";
    text += enum_name;
    text += " ('";
    text += first;
    text += " | ";
    text += second;
    text += "')";
    text += "\n- variant " + std::string(first) + " (" + first + "): " + first_error;
    text += "\n- variant " + std::string(second) + " (" + second + "): " + second_error;
    raise_type_error(arg, text);
}

// ---- JSON text

// Line and column (both from 1) of the byte at `index` in `text`.
std::string position_text(std::string_view text, std::size_t index) {
    index = std::min(index, text.size());
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < index; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(index - line_start + 1);
}

// The byte offset of the first bracket that opens nesting level kMaxJsonDepth, if any.
// Brackets inside strings do not count.
std::optional<std::size_t> find_excess_depth(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth >= kMaxJsonDepth) return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return std::nullopt;
}

[[noreturn]] void raise_invalid_metadata(const std::string& what) { raise(PyExc_ValueError, "invalid metadata: " + what); }

// The library's message without its own "[json.exception...] parse error at ...: " preamble
// and without the "syntax error while parsing value - " lead-in.
std::string parse_error_description(const char* what) {
    std::string_view m(what);
    if (const auto p = m.find("parse error"); p != std::string_view::npos) {
        if (const auto colon = m.find(": ", p); colon != std::string_view::npos) m.remove_prefix(colon + 2);
    }
    if (const auto dash = m.find(" - "); dash != std::string_view::npos && m.substr(0, dash).find("syntax error") == 0) {
        m.remove_prefix(dash + 3);
    }
    // "; last read: '<token>'" repeats the text itself; the position says where it failed.
    std::string out(m);
    if (const auto lr = out.find("; last read: '"); lr != std::string::npos) {
        const auto expected = out.find("'; expected ", lr);
        out.erase(lr, expected == std::string::npos ? std::string::npos : expected + 1 - lr);
    }
    return out;
}

Json parse_metadata_text(std::string_view text) {
    const std::optional<std::size_t> too_deep = find_excess_depth(text);
    Json value;
    try {
        value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
    } catch (const Json::parse_error& e) {
        // e.byte counts the characters read, the offending one included.
        const std::size_t at = e.byte > 0 ? e.byte - 1 : 0;
        if (too_deep && *too_deep <= at) raise_invalid_metadata("recursion limit exceeded" + position_text(text, *too_deep));
        const std::string description = parse_error_description(e.what());
        if (description.ends_with("; expected end of input")) {
            raise_invalid_metadata("trailing characters" + position_text(text, at));
        }
        raise_invalid_metadata(description + position_text(text, at));
    }
    if (too_deep) raise_invalid_metadata("recursion limit exceeded" + position_text(text, *too_deep));
    return value;
}

nb::object call_json(const char* function, nb::handle arg) {
    nb::object f = nb::steal(PyObject_GetAttrString(json_module().ptr(), function));
    if (!f) throw nb::python_error();
    nb::object result = nb::steal(PyObject_CallOneArg(f.ptr(), arg.ptr()));
    if (!result) throw nb::python_error();
    return result;
}

}  // namespace

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
    // The Unicode errors cannot be built from a message alone (their constructors want the
    // object, the positions and the reason); what they report is a bad value.
    if (PyType_Check(cls) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls),
                                              reinterpret_cast<PyTypeObject*>(PyExc_UnicodeError)))
        cls = PyExc_ValueError;
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
    if (!PyUnicode_Check(h.ptr())) raise_type_error(arg, cannot_convert(h.ptr(), "str"));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(h.ptr(), &size);
    if (!data) raise_argument_error(arg);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string to_path(nb::handle h, const char* arg) {
    if (!PyUnicode_Check(h.ptr())) raise_type_error(arg, cannot_convert(h.ptr(), "str"));
    // Encoded as the os module encodes paths, so that a name read from the file system (where
    // bytes that are not UTF-8 come back as lone surrogates) names the same directory again.
    nb::object bytes = nb::steal(PyUnicode_EncodeFSDefault(h.ptr()));
    if (!bytes) raise_argument_error(arg);
    std::string path(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    if (path.find('\0') != std::string::npos) raise(PyExc_ValueError, std::string("argument '") + arg + "': embedded null character");
    return path;
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
    if (is_numpy_bool(o)) {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) raise_argument_error(arg);
        return truth != 0;
    }
    raise_type_error(arg, "'" + py_type_name(h) + "' object cannot be converted to 'PyBool'");
}

std::optional<double> to_optional_f64(nb::handle h, const char* arg) {
    PyObject* o = h.ptr();
    if (o == Py_None) return std::nullopt;
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) raise_argument_error(arg);
    return v;
}

// ---- vectors

namespace {

std::vector<float> read_vector(nb::handle h, const char* arg, Overflow* overflow) {
    PyObject* o = h.ptr();
    std::vector<float> out;
    if (read_float_sequence(o, out, overflow)) return out;
    const std::string list_error = take_error_text();

    ArrayView a;
    const bool acquired = is_ndarray(o) && a.acquire(o);
    if (acquired && a.ndim() == 1 && a.element() == Element::F32) {
        if (!a.data() || !(a.c_contiguous() || a.f_contiguous())) raise(PyExc_TypeError, kNotContiguous);
        return read_strided_1d(a);
    }
    raise_enum_error(arg, "VectorInput", "List", list_error, "Numpy", not_a_float32_array(o, &a, acquired, 1));
}

RowBlock read_rows(nb::handle h, const char* arg, Overflow* overflow) {
    PyObject* o = h.ptr();
    RowBlock rows;
    std::string numpy_error;
    if (is_ndarray(o)) {
        ArrayView a;
        const bool acquired = a.acquire(o);
        if (acquired && a.ndim() == 2 && a.element() == Element::F32) {
            if (!a.data() || !(a.c_contiguous() || a.f_contiguous())) raise(PyExc_TypeError, kNotContiguous);
            read_rows_2d(a, rows);
            return rows;
        }
        // A 2-D float64 array reads its rows straight from the buffer, with the values its
        // items would give through the float protocol.
        if (acquired && is_exact_ndarray(o) && a.ndim() == 2 && a.element() == Element::F64) {
            read_rows_2d(a, rows, overflow);
            return rows;
        }
        numpy_error = not_a_float32_array(o, &a, acquired, 2);
    } else {
        numpy_error = not_a_float32_array(o, nullptr, false, 2);
    }

    // Each row is read into one reused buffer, then appended to the block.
    std::vector<float> row;
    std::size_t expected = 0;  // rows the input says it holds, to size the block
    auto read_row = [&rows, &row, &expected, overflow](PyObject* item) {
        row.clear();
        if (overflow) overflow->current_row = rows.size();
        if (!read_float_sequence(item, row, overflow)) return false;
        if (rows.empty()) rows.reserve(expected, row.size());
        rows.add(row);
        return true;
    };
    bool ok = true;
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, kStrIsNotASequence);
        ok = false;
    } else if (PyList_CheckExact(o)) {
        expected = static_cast<std::size_t>(PyList_GET_SIZE(o));
        for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(o); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(o, i));
            ok = read_row(item.ptr());
        }
    } else if (PyTuple_CheckExact(o)) {
        expected = static_cast<std::size_t>(PyTuple_GET_SIZE(o));
        for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(o); ++i) ok = read_row(PyTuple_GET_ITEM(o, i));
    } else if (!PySequence_Check(o)) {
        PyErr_SetString(PyExc_TypeError, cannot_convert(o, "Sequence").c_str());
        ok = false;
    } else {
        const Py_ssize_t n = PySequence_Size(o);
        if (n < 0) {
            PyErr_Clear();
        } else {
            expected = static_cast<std::size_t>(std::min(n, kMaxLengthHint));
        }
        nb::object it = nb::steal(PyObject_GetIter(o));
        ok = static_cast<bool>(it);
        while (ok) {
            nb::object item = nb::steal(PyIter_Next(it.ptr()));
            if (!item) {
                ok = !PyErr_Occurred();
                break;
            }
            ok = read_row(item.ptr());
        }
    }
    if (ok) return rows;
    raise_enum_error(arg, "BatchVectorInput", "Numpy", numpy_error, "Lists", take_error_text());
}

}  // namespace

std::vector<float> to_vector(nb::handle h, const char* arg) { return read_vector(h, arg, nullptr); }

std::vector<float> to_stored_vector(nb::handle h, const char* arg, std::string_view id) {
    Overflow overflow;
    std::vector<float> out = read_vector(h, arg, &overflow);
    if (overflow.seen) throw QorelError::non_finite_component(id, overflow.index, overflow.value);
    return out;
}

std::vector<std::vector<float>> to_vectors(nb::handle h, const char* arg) {
    const RowBlock rows = read_rows(h, arg, nullptr);
    std::vector<std::vector<float>> out;
    out.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) out.emplace_back(rows.row(i).begin(), rows.row(i).end());
    return out;
}

RowBlock to_stored_rows(nb::handle h, const char* arg, const std::vector<std::string>& ids) {
    Overflow overflow;
    RowBlock rows = read_rows(h, arg, &overflow);
    // A row beyond the ids is refused by the caller for the lengths' mismatch.
    if (overflow.seen && overflow.row < ids.size())
        throw QorelError::non_finite_component(ids[overflow.row], overflow.index, overflow.value);
    return rows;
}

std::vector<std::string> to_ids(nb::handle h, const char* arg) {
    PyObject* o = h.ptr();
    if (PyUnicode_Check(o)) raise_type_error(arg, kStrIsNotASequence);
    if (!PySequence_Check(o)) raise_type_error(arg, cannot_convert(o, "Sequence"));
    std::vector<std::string> ids;
    auto add = [&](PyObject* item) {
        if (!PyUnicode_Check(item)) raise_type_error(arg, cannot_convert(item, "str"));
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (!data) raise_argument_error(arg);
        ids.emplace_back(data, static_cast<std::size_t>(size));
    };
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // No Python code runs while the items are read, so borrowed items stay valid.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        ids.reserve(static_cast<std::size_t>(n));
        PyObject** items = PySequence_Fast_ITEMS(o);
        for (Py_ssize_t i = 0; i < n; ++i) add(items[i]);
        return ids;
    }
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
    } else {
        ids.reserve(static_cast<std::size_t>(std::min(n, kMaxLengthHint)));
    }
    nb::object it = nb::steal(PyObject_GetIter(o));
    if (!it) raise_argument_error(arg);
    while (true) {
        nb::object item = nb::steal(PyIter_Next(it.ptr()));
        if (!item) {
            if (PyErr_Occurred()) raise_argument_error(arg);
            return ids;
        }
        add(item.ptr());
    }
}

// ---- metadata and filter values

nb::handle json_module() {
    static PyObject* cached = nullptr;
    if (!cached) {
        PyObject* json = PyImport_ImportModule("json");
        if (!json) throw nb::python_error();
        // Importing can release the interpreter lock; another thread may have got here first.
        if (!cached) {
            cached = json;
        } else {
            Py_DECREF(json);
        }
    }
    return cached;
}

namespace {

[[noreturn]] void raise_at_key(const char* context, const char* what, std::string_view key) {
    raise(PyExc_ValueError, std::string(context) + what + " at key '" + std::string(key) + "'");
}

// A top-level key as the messages name it: a str as it is, another key (json turns int, float,
// bool and None keys into text) by its str().
std::string key_name(PyObject* key) {
    nb::object text = nb::steal(PyObject_Str(key));
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text.ptr(), &size) : nullptr;
    if (!data) {
        PyErr_Clear();
        return "?";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// Refuses what the encoder would recurse into too deeply or turn into a float, walking the
// containers json.dumps encodes (dicts, lists, tuples) with a stack of our own. Nothing here
// runs Python code, so the containers cannot change under the walk. A container met again on
// its own path (a cycle) is not entered: the encoder reports it.
void check_metadata_values(PyObject* dict) {
    struct Level {
        PyObject* container;
        Py_ssize_t position;
    };
    std::vector<Level> path{{dict, 0}};
    PyObject* top_key = nullptr;
    while (!path.empty()) {
        Level& level = path.back();
        PyObject* item = nullptr;
        if (PyDict_Check(level.container)) {
            PyObject* key = nullptr;
            if (!PyDict_Next(level.container, &level.position, &key, &item)) item = nullptr;
            if (item && path.size() == 1) top_key = key;
        } else {
            PyObject* seq = level.container;
            const Py_ssize_t n = PyList_Check(seq) ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
            if (level.position < n) {
                item = PyList_Check(seq) ? PyList_GET_ITEM(seq, level.position) : PyTuple_GET_ITEM(seq, level.position);
                ++level.position;
            }
        }
        if (!item) {
            path.pop_back();
            continue;
        }
        if (PyLong_Check(item)) {
            if (!PyBool_Check(item)) {
                int overflow = 0;
                const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
                if (v == -1 && PyErr_Occurred()) throw nb::python_error();
                if (overflow < 0) raise_at_key("invalid metadata: ", "integer out of range", key_name(top_key));
                if (overflow > 0) {
                    const unsigned long long u = PyLong_AsUnsignedLongLong(item);
                    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                        PyErr_Clear();
                        raise_at_key("invalid metadata: ", "integer out of range", key_name(top_key));
                    }
                }
            }
            continue;
        }
        if (!PyDict_Check(item) && !PyList_Check(item) && !PyTuple_Check(item)) continue;
        bool cycle = false;
        for (const Level& l : path) cycle = cycle || l.container == item;
        if (cycle) continue;
        // The dict itself is level 1; the text parser refuses the same depth.
        if (path.size() + 1 >= static_cast<std::size_t>(kMaxJsonDepth)) {
            raise_at_key("invalid metadata: ", "recursion limit exceeded", key_name(top_key));
        }
        path.push_back({item, 0});
    }
}

}  // namespace

Json pythonize_dict(nb::handle dict) {
    check_metadata_values(dict.ptr());
    nb::object text = call_json("dumps", dict);
    if (!PyUnicode_Check(text.ptr())) {
        raise(PyExc_TypeError, cannot_convert(text.ptr(), "str"));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return parse_metadata_text(std::string_view(data, static_cast<std::size_t>(size)));
}

std::optional<Json> to_metadata(nb::handle h, const char* arg) {
    if (h.is_none()) return std::nullopt;
    if (!PyDict_Check(h.ptr())) raise_type_error(arg, cannot_convert(h.ptr(), "dict"));
    return pythonize_dict(h);
}

std::vector<std::optional<Json>> to_metadatas(nb::handle metadatas, std::size_t n_ids) {
    PyObject* o = metadatas.ptr();
    if (o == Py_None) return std::vector<std::optional<Json>>(n_ids);
    if (!PyList_Check(o)) raise_type_error("metadatas", cannot_convert(o, "list"));
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(o));
    if (n != n_ids) {
        raise(PyExc_ValueError, "metadatas length (" + std::to_string(n) + ") != ids length (" + std::to_string(n_ids) + ")");
    }
    // json.dumps runs Python code that could change the list; work on references of our own.
    std::vector<nb::object> items;
    items.reserve(n);
    for (std::size_t i = 0; i < n; ++i) items.push_back(nb::borrow(PyList_GET_ITEM(o, static_cast<Py_ssize_t>(i))));
    std::vector<std::optional<Json>> out;
    out.reserve(n);
    for (const nb::object& item : items) {
        if (item.is_none()) {
            out.emplace_back(std::nullopt);
        } else if (PyDict_Check(item.ptr())) {
            out.emplace_back(pythonize_dict(item));
        } else {
            raise(PyExc_ValueError, "metadatas must be list of dicts or None");
        }
    }
    return out;
}

bool is_boolean(PyObject* o) { return PyBool_Check(o) || is_numpy_bool(o); }

std::optional<Json> to_json_integer(PyObject* o, const char* context, std::string_view key) {
    if (!PyLong_Check(o) && !PyIndex_Check(o)) return std::nullopt;
    nb::object index = nb::steal(PyNumber_Index(o));
    if (!index) {
        PyErr_Clear();
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow == 0) {
        if (v >= 0) return Json(static_cast<std::uint64_t>(v));
        return Json(static_cast<std::int64_t>(v));
    }
    if (overflow > 0) {
        // 2**63 to 2**64-1 stay integers, as they do in metadata.
        const unsigned long long u = PyLong_AsUnsignedLongLong(index.ptr());
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return Json(static_cast<std::uint64_t>(u));
        PyErr_Clear();
    }
    raise_at_key(context, "integer out of range", key);
}

Json py_to_json(nb::handle h, std::string_view field) {
    PyObject* o = h.ptr();
    if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(o, &size)) return Json(std::string(data, static_cast<std::size_t>(size)));
        // Not encodable (a lone surrogate): the codec's error, a ValueError, says what is wrong
        // with the value better than "unsupported filter value type" would.
        throw nb::python_error();
    }
    // bool before the integer protocol: bool is a subclass of int.
    if (PyBool_Check(o)) return Json(o == Py_True);
    if (is_numpy_bool(o)) {
        const int truth = PyObject_IsTrue(o);
        if (truth >= 0) return Json(truth != 0);
        PyErr_Clear();
    }
    if (std::optional<Json> integer = to_json_integer(o, "", field)) return std::move(*integer);
    double v;
    if (PyFloat_CheckExact(o)) {
        v = PyFloat_AS_DOUBLE(o);
    } else {
        v = PyFloat_AsDouble(o);
    }
    if (!(v == -1.0 && PyErr_Occurred())) return std::isfinite(v) ? Json(v) : Json(nullptr);
    PyErr_Clear();
    if (o == Py_None) return Json(nullptr);
    raise(PyExc_ValueError, "unsupported filter value type");
}

std::optional<Filter> to_filter(nb::handle h, const char* arg) {
    if (h.is_none()) return std::nullopt;
    if (!PyDict_Check(h.ptr())) raise_type_error(arg, cannot_convert(h.ptr(), "dict"));
    return parse_filter(h);
}

std::string cannot_convert(PyObject* o, const char* what) {
    return "'" + py_type_name(o) + "' object cannot be converted to '" + what + "'";
}

}  // namespace qorel::py
