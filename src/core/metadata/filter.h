// Filter: a parsed metadata condition. `matches` decides one slot from its metadata; the same
// condition on the MetadataIndex's columns, which lists and counts the slots it admits, is a
// ColumnFilter (column_filter.h). The two agree on every live slot.
//
// Kinds and payloads:
//   Eq, Ne                 field, JSON value
//   In                     field, list of JSON values
//   Gt, Gte, Lt, Lte       field, JSON number threshold (an integer or a float, compared
//                          exactly with json_number_compare; a float NaN admits nothing)
//   Contains               field, JSON value: the field is a list holding the value
//   And, Or                list of member filters (empty: nothing matches, for either)
//   Not                    one member filter: every object the member does not match
//
// Equality and membership only ever match the values the index holds (booleans, numbers,
// strings): `{"a": null}` matches nothing, whether a search scans, walks the graph, narrows
// through the index or counts, so every path answers the same. Eq and Ne compare a field's
// whole value, so a scalar is never equal to a list; In matches a list field when one of its
// elements is among the values, and Contains matches only list fields.
//
// A Filter owns all of its data and holds no reference into a database; it is built for one
// call and dropped after it. Evaluation never fails and is safe from any thread; it recurses
// once per level of nesting, which whoever builds a filter from outside input bounds.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "metadata/metadata_index.h"
#include "types.h"

namespace qorel {

class Filter {
public:
    enum class Kind : std::uint8_t { Eq, Ne, In, Gt, Gte, Lt, Lte, And, Or, Not, Contains };

    static Filter eq(std::string field, Json value);
    static Filter ne(std::string field, Json value);
    static Filter in(std::string field, std::vector<Json> values);
    static Filter gt(std::string field, Json threshold);
    static Filter gte(std::string field, Json threshold);
    static Filter lt(std::string field, Json threshold);
    static Filter lte(std::string field, Json threshold);
    // REQUIRES: kind is one of Gt, Gte, Lt, Lte; threshold is a number.
    static Filter comparison(Kind kind, std::string field, Json threshold);
    static Filter contains(std::string field, Json value);
    static Filter all_of(std::vector<Filter> members);
    static Filter any_of(std::vector<Filter> members);
    static Filter negate(Filter member);
    // Objects whose field holds none of the values: the negation of In.
    static Filter none_of(std::string field, std::vector<Json> values);
    // The filter of a list of collected conditions: the condition itself when there is exactly
    // one, otherwise (none, or several) their conjunction in the given order.
    static Filter combine(std::vector<Filter> conditions);

    Kind kind() const { return kind_; }
    // REQUIRES: kind() is not And, Or or Not.
    const std::string& field() const { return field_; }
    // REQUIRES: kind() is Eq, Ne or Contains.
    const Json& value() const { return value_; }
    // REQUIRES: kind() is In.
    const std::vector<Json>& values() const { return values_; }
    // REQUIRES: kind() is Gt, Gte, Lt or Lte.
    const Json& threshold() const { return value_; }
    // Whether a number on the left of a comparison of this kind, ordered against the threshold
    // by json_number_compare, satisfies it: what each comparison keeps, for the metadata and
    // the index's columns alike. False for any other kind.
    static bool order_admits(Kind kind, std::partial_ordering order) {
        switch (kind) {
            case Kind::Gt: return order > 0;
            case Kind::Gte: return order >= 0;
            case Kind::Lt: return order < 0;
            case Kind::Lte: return order <= 0;
            default: return false;
        }
    }
    // REQUIRES: kind() is And, Or or Not (which has one member).
    const std::vector<Filter>& members() const { return members_; }

    // Whether a slot with this metadata (nullptr: none) satisfies the filter. Absent metadata
    // and metadata that is not an object satisfy no filter at all, not even Ne or Not.
    // Eq, In and Contains never match a value the index does not hold (null, lists, objects,
    // NaN).
    bool matches(const Json* metadata) const;

    // A text that names this filter exactly: two filters with the same key match the same
    // slots (for caching what a filter selects; equal filters may still differ in key).
    std::string key() const;

private:
    explicit Filter(Kind kind) : kind_(kind) {}

    bool matches_object(const Json::object_t& object) const;

    Kind kind_;
    std::string field_;
    Json value_;  // Eq, Ne, Contains: the value; comparisons: the threshold
    std::vector<Json> values_;
    std::vector<Filter> members_;  // And, Or; Not: the one member
};

}  // namespace qorel
