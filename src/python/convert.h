// Conversion of Python arguments into engine values. Every function runs with the interpreter
// lock held and raises TypeError / OverflowError naming the argument on failure.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>

namespace qorel::py {

namespace nb = nanobind;

// Raises TypeError "argument '<arg>': <what>".
[[noreturn]] void raise_type_error(const char* arg, const std::string& what);

// Re-raises the pending Python error with "argument '<arg>': " in front of its message,
// keeping its class (TypeError, OverflowError, ...).
[[noreturn]] void raise_argument_error(const char* arg);

// The Python type name of an object, for error texts.
std::string py_type_name(nb::handle h);

// A `str` only (no bytes, no path objects), as UTF-8.
std::string to_string(nb::handle h, const char* arg);

// An integer through the index protocol; negative or too large: OverflowError.
std::uint64_t to_u64(nb::handle h, const char* arg);
std::optional<std::uint64_t> to_optional_u64(nb::handle h, const char* arg);

// An exact bool, or a NumPy boolean scalar.
bool to_bool(nb::handle h, const char* arg);

}  // namespace qorel::py
