// parse_filter: a `where_filter` dict turned into an engine Filter.
//
// Keys are field names, or "$and" / "$or" with a list of filter dicts. A field's value that is
// a dict holds operators ("$ne", "$in", "$nin", "$gt", "$gte", "$lt", "$lte", "$contains",
// "$not_contains", and "$not" with a dict of operators to negate), any other value is an
// equality condition. Every entry and every operator adds one condition; all of them combine
// with AND (a single condition stands alone). Nesting is bounded (ValueError beyond it).
// REQUIRES: the interpreter lock held; `dict` is a dict or a dict subclass. The first faulty
// entry, in the dict's order, raises its Python exception.
#pragma once

#include <nanobind/nanobind.h>

#include "metadata/filter.h"

namespace qorel::py {

Filter parse_filter(nanobind::handle dict);

}  // namespace qorel::py
