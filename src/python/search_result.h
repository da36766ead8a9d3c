// SearchResult: the Python object for one search hit (id, distance, metadata).
//
// Instances are immutable and come only from searches: the class cannot be called from
// Python. Metadata is kept as compact JSON text and decoded by the json module on every read
// of `metadata`, so a search pays for dicts only for the hits whose metadata is looked at.
// The object also answers r[0], r[1], r[2] (and so unpacking and iteration, which end with
// ValueError "index out of range" at position 3); it has no length, comparison or hash of
// its own.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "types.h"

namespace qorel::py {

struct PySearchResult {
    std::string id;
    float distance;
    std::optional<std::string> metadata_json;
};

// Compact JSON text of a metadata value (keys in their stored, ascending order; always valid
// UTF-8).
std::string serialize_metadata(const Json& metadata);

// Registers the class SearchResult in the module. Instances are made from C++ with
// nb::cast(PySearchResult{...}).
void bind_search_result(nanobind::module_& m);

}  // namespace qorel::py
