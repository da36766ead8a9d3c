// Equality and hashing of JSON values as the metadata index and the filters see them.
//
// The JSON library's own operator== treats the integer 1 and the float 1.0 as equal; this
// system keeps them apart. Everything that compares or hashes metadata values (filter
// evaluation and the index's value maps) goes through these functions, so an equality filter
// and an index look-up can never disagree.
//
// Numbers fall into three kinds: non-negative integers, negative integers and floats. Two
// numbers are equal only when they are of the same kind and have the same value. The kind of
// an integer follows its sign, not the library's storage tag: a non-negative value held as a
// signed integer is the same kind as one held as an unsigned integer. Floats compare by value,
// so 0.0 equals -0.0 and a NaN equals nothing, not even itself.
#pragma once

#include <compare>
#include <cstddef>

#include "types.h"

namespace qorel {

// Structural equality: values of different JSON types are never equal; strings compare by
// bytes, arrays element by element, objects by equal key sets with equal values.
bool json_equal(const Json& a, const Json& b);

// A hash consistent with json_equal: equal values hash alike.
std::size_t json_hash(const Json& value);

// The 64-bit float reading of a JSON number (integers are rounded to the nearest double).
// REQUIRES: value.is_number() (booleans are not numbers).
double json_number_as_double(const Json& value);

// The order of two JSON numbers by their exact mathematical values, as Python orders int and
// float: no side is rounded, so 2**53 + 1 > 9007199254740992.0 and 2**63 - 2 < 2**63 - 1. The
// integer 1 and the float 1.0 are equivalent here (unlike json_equal). A NaN is unordered with
// everything. REQUIRES: both are numbers (booleans are not numbers).
std::partial_ordering json_number_compare(const Json& a, const Json& b);

// Function objects for hash containers keyed on JSON values.
struct JsonHash {
    std::size_t operator()(const Json& value) const { return json_hash(value); }
};

struct JsonEqual {
    bool operator()(const Json& a, const Json& b) const { return json_equal(a, b); }
};

}  // namespace qorel
