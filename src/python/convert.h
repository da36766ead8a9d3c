// Conversion of Python arguments into engine values. Every function runs with the interpreter
// lock held and raises TypeError / OverflowError naming the argument on failure, unless its
// comment says otherwise. Nothing here keeps a reference to a Python object after it returns,
// so the results can be used freely once the interpreter lock is released.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/row_block.h"
#include "metadata/filter.h"
#include "types.h"

namespace qorel::py {

namespace nb = nanobind;

// Raises TypeError "argument '<arg>': <what>".
[[noreturn]] void raise_type_error(const char* arg, const std::string& what);

// Re-raises the pending Python error with "argument '<arg>': " in front of its message,
// keeping its class (TypeError, OverflowError, ...).
[[noreturn]] void raise_argument_error(const char* arg);

// The Python type name of an object, for error texts.
std::string py_type_name(nb::handle h);

// "'<type of o>' object cannot be converted to '<what>'", the wording of every type refusal;
// `what` is a Python type name ('str', 'dict', 'list', 'Sequence').
std::string cannot_convert(PyObject* o, const char* what);

// A `str` only (no bytes, no path objects), as UTF-8. A str that has no UTF-8 form (a lone
// surrogate) raises ValueError.
std::string to_string(nb::handle h, const char* arg);

// A file-system path: a `str`, encoded as os.fsencode encodes it (lone surrogates from
// undecodable file names become their bytes again; other lone surrogates raise ValueError), and
// ValueError for a NUL character, which the operating system would take as the end of the path.
std::string to_path(nb::handle h, const char* arg);

// An integer through the index protocol; negative or too large: OverflowError.
std::uint64_t to_u64(nb::handle h, const char* arg);
std::optional<std::uint64_t> to_optional_u64(nb::handle h, const char* arg);

// An exact bool, or a NumPy boolean scalar.
bool to_bool(nb::handle h, const char* arg);

// None, or any object with the float protocol (ints and bools included).
std::optional<double> to_optional_f64(nb::handle h, const char* arg);

// ---- vectors

// One vector: a sequence of numbers (lists, tuples, 1-D arrays, ...) read item by item through
// the float protocol and narrowed to f32; failing that, a 1-D float32 NumPy array. A str is
// never a vector. Failure: TypeError naming the argument and the error of each accepted form,
// or TypeError "The given array is not contiguous".
std::vector<float> to_vector(nb::handle h, const char* arg);

// A batch of vectors: a 2-D float32 NumPy array (copied; it must be C- or
// Fortran-contiguous, else TypeError "The given array is not contiguous"); otherwise a sequence
// whose every item converts as one vector. Rows may differ in length: the database checks the
// dimension. Failure: TypeError naming the argument and the error of each accepted form.
std::vector<std::vector<float>> to_vectors(nb::handle h, const char* arg);

// A vector that is to be stored under `id`: as to_vector, but a finite number beyond the float32
// range (which narrowing would turn into an infinity) raises ValueError naming the id, the
// component and the number. Non-finite values pass; the database refuses them.
std::vector<float> to_stored_vector(nb::handle h, const char* arg, std::string_view id);

// Rows that are to be stored under `ids`, in order, in one block: read as to_vectors reads
// them, with the same refusal as to_stored_vector, naming the row's id.
RowBlock to_stored_rows(nb::handle h, const char* arg, const std::vector<std::string>& ids);

// A sequence of str (not a str itself), in order. Empty or repeated ids are the caller's
// business.
std::vector<std::string> to_ids(nb::handle h, const char* arg);

// ---- metadata and filter values

// The process's `json` module, imported on first use and kept for the life of the process.
nb::handle json_module();

// A dict as JSON: json.dumps(dict) parsed strictly (nesting refused from the 128th level on,
// counting the dict itself; no NaN or infinities; nothing but whitespace after the value). A parse failure raises ValueError
// "invalid metadata: <what> at line L column C"; failures of the json module propagate as they
// are. Before encoding, the dict is walked without recursion: nesting beyond the limit and
// integers outside [-2**63, 2**64) raise ValueError "invalid metadata: ... at key '<key>'"
// (the top-level key under which they sit), so that neither reaches the encoder's recursion
// nor turns into a float. REQUIRES: `dict` is a dict or a dict subclass.
Json pythonize_dict(nb::handle dict);

// A single `metadata` argument: None gives nullopt, a dict (or subclass) its JSON value.
std::optional<Json> to_metadata(nb::handle h, const char* arg);

// The `metadatas` argument of a batch of n_ids items: None gives n_ids absent values; otherwise
// a list of exactly n_ids elements, each None or a dict (ValueError otherwise).
std::vector<std::optional<Json>> to_metadatas(nb::handle metadatas, std::size_t n_ids);

// Whether `o` is a boolean, Python's or NumPy's (bool is a subclass of int: test this first).
bool is_boolean(PyObject* o);

// An integer (an int, or an object with __index__) as a JSON integer: non-negative ones up to
// 2**64-1 unsigned, negative ones down to -2**63 signed. nullopt when `o` is no integer;
// ValueError "<context>integer out of range at key '<key>'" when it is one outside that range,
// as the JSON values here hold no others and a float would silently round it.
std::optional<Json> to_json_integer(PyObject* o, const char* context, std::string_view key);

// A filter operand of field `field`: str, bool (NumPy booleans too), integer, float (NaN and
// the infinities become null) or None; anything else raises ValueError "unsupported filter
// value type", and a str without a UTF-8 form (a lone surrogate) the codec's
// UnicodeEncodeError, a ValueError. Integers keep their kind (see to_json_integer).
Json py_to_json(nb::handle h, std::string_view field);

// None, or a dict parsed into a Filter (errors as parse_filter raises them).
std::optional<Filter> to_filter(nb::handle h, const char* arg);

}  // namespace qorel::py
