// The engine's single error type. Every fallible operation either returns its value or throws
// QorelError; the display text is what a Python caller finally sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qorel {

enum class ErrorKind : std::uint8_t {
    DimensionMismatch = 0,
    DuplicateId = 1,
    NotFound = 2,
    DatabaseNotFound = 3,
    Io = 4,
    InvalidMetric = 5,
    CorruptData = 6,
    InvalidFilter = 7,
    InvalidVector = 8,
    ReadOnly = 9,
};

class QorelError : public std::runtime_error {
public:
    ErrorKind kind() const noexcept { return kind_; }

    static QorelError dimension_mismatch(std::uint64_t expected, std::uint64_t got);
    static QorelError duplicate_id(std::string_view id);
    static QorelError not_found(std::string_view id);
    static QorelError database_not_found(std::string_view path);
    // `detail` is the I/O error's own text: the operating system's description or the
    // message of a storage-format violation.
    static QorelError io(std::string_view detail);
    // An I/O error built from errno, as "<os description> (os error N)".
    static QorelError io_errno(int err);
    // A stored file whose contents break its format (bad magic, a truncated record, a count
    // beyond what the file holds). The text reads like an I/O error, "io error: <detail>", as
    // it always has; the kind is CorruptData, because the operating system did nothing wrong.
    static QorelError corrupt_file(std::string_view detail);
    static QorelError invalid_metric(std::string_view name);
    static QorelError corrupt_data(std::string_view detail);
    static QorelError invalid_filter(std::string_view detail);
    // A vector component that is NaN or infinite, or (as read from a double) beyond the float32
    // range; `index` is its position in the vector of `id`.
    static QorelError non_finite_component(std::string_view id, std::size_t index, double value);
    // A change asked of a database opened read-only.
    static QorelError read_only(std::string_view path);

private:
    QorelError(ErrorKind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    ErrorKind kind_;
};

// A broken internal invariant (a programming error, never user input). The binding raises it
// as an exception outside the Exception hierarchy so that ordinary handlers do not swallow it.
class InternalError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] void assertion_failed(const char* text);

}  // namespace qorel

#define QOREL_ASSERT(cond, text)                          \
    do {                                                  \
        if (!(cond)) ::qorel::assertion_failed(text);     \
    } while (0)
