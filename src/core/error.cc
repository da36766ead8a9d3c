#include "error.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace qorel {

QorelError QorelError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
    return {ErrorKind::DimensionMismatch,
            "dimension mismatch: expected " + std::to_string(expected) + ", got " + std::to_string(got)};
}

QorelError QorelError::duplicate_id(std::string_view id) {
    return {ErrorKind::DuplicateId, "id '" + std::string(id) + "' already exists, use upsert instead"};
}

QorelError QorelError::not_found(std::string_view id) {
    return {ErrorKind::NotFound, "id '" + std::string(id) + "' not found"};
}

QorelError QorelError::database_not_found(std::string_view path) {
    return {ErrorKind::DatabaseNotFound, "database not found at '" + std::string(path) + "'"};
}

QorelError QorelError::io(std::string_view detail) {
    return {ErrorKind::Io, "io error: " + std::string(detail)};
}

QorelError QorelError::io_errno(int err) {
    return io(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
}

QorelError QorelError::corrupt_file(std::string_view detail) {
    return {ErrorKind::CorruptData, "io error: " + std::string(detail)};
}

QorelError QorelError::invalid_metric(std::string_view name) {
    return {ErrorKind::InvalidMetric,
            "invalid metric '" + std::string(name) + "': use 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"};
}

QorelError QorelError::corrupt_data(std::string_view detail) {
    return {ErrorKind::CorruptData, "corrupt data: " + std::string(detail)};
}

QorelError QorelError::invalid_filter(std::string_view detail) {
    return {ErrorKind::InvalidFilter, "invalid filter: " + std::string(detail)};
}

QorelError QorelError::non_finite_component(std::string_view id, std::size_t index, double value) {
    std::string text = "invalid vector for id '" + std::string(id) + "': ";
    std::string shown;
    if (std::isnan(value)) {
        shown = "NaN";
    } else if (std::isinf(value)) {
        shown = value > 0 ? "inf" : "-inf";
    } else {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.9g", value);
        shown = buffer;
    }
    text += std::isfinite(value) ? "component beyond the float32 range" : "non-finite component";
    text += " at index " + std::to_string(index) + " (" + shown + ")";
    return {ErrorKind::InvalidVector, text};
}

QorelError QorelError::read_only(std::string_view path) {
    return {ErrorKind::ReadOnly, "database at '" + std::string(path) +
                                     "' is open read-only: changes and saves go through the process that opened it "
                                     "for writing"};
}

void assertion_failed(const char* text) { throw InternalError(text); }

}  // namespace qorel
