// MetadataIndex: which slots hold a given value in a given top-level metadata field.
//
// A two-level hash map, field name -> (JSON value -> set of slots). Only the top-level members
// of object metadata are indexed, and only when their value is a boolean, a number or a
// string; null, array and object members leave no trace, and absent or non-object metadata
// contributes nothing. Values are keyed with json_equal/json_hash, so the integer 1 and the
// float 1.0 are different keys while 0.0 and -0.0 are the same one. No slot set and no value
// map is ever left empty, so a field with an entry always has at least one slot behind it.
// Beside its value map, each field keeps its numeric values in ascending order (as 64-bit
// floats, pointing at their slot sets), so that a range condition can find its slots too.
//
// Invariant kept by the callers: after every mutation, slot s is in the set of (F, V) exactly
// when s is live and its metadata is an object whose member F has the indexable value V. To
// keep it, `remove` must be given the very metadata the slot was indexed with.
//
// No internal locking. REQUIRES: the database's metadata-index lock, held exclusively for
// index/remove/rebuild and at least shared for the look-ups. A set returned by a look-up is
// only valid while that lock is held; callers that keep it copy it.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "metadata/json_value.h"
#include "types.h"

namespace qorel {

using SlotSet = std::unordered_set<Slot>;
using ValueMap = std::unordered_map<Json, SlotSet, JsonHash, JsonEqual>;
// A field's numeric values in ascending order of their 64-bit float reading, each with its slot
// set in the value map (the integer 1 and the float 1.0 are two entries with the same key).
using NumberOrder = std::multimap<double, const SlotSet*>;

class MetadataIndex {
public:
    // Adds `slot` under each indexable top-level member of `metadata` (nullptr: absent).
    // Adding a slot that is already there changes nothing.
    void index(Slot slot, const Json* metadata);

    // Takes `slot` out of each indexable top-level member's set, dropping sets and fields that
    // become empty. Metadata the slot was never indexed with changes nothing.
    void remove(Slot slot, const Json* metadata);

    // Clears the index, then indexes every slot of `metadata` (entry s belongs to slot s) that
    // is not in `deleted`.
    void rebuild(const std::vector<std::optional<Json>>& metadata, const std::unordered_set<Slot>& deleted);

    // The field's value map, or nullptr when no live slot holds an indexable value there.
    const ValueMap* field(std::string_view name) const;

    // The field's numeric values in ascending order, or nullptr when no live slot holds a
    // number there.
    const NumberOrder* numbers(std::string_view name) const;

    // The slots holding `value` in a field's map, or nullptr when none does.
    static const SlotSet* value(const ValueMap& values, const Json& value);

    // Whether a member with this value is indexed: booleans, numbers and strings. A NaN float
    // equals nothing, so it could never be found or removed again; it is left out like null.
    static bool indexable(const Json& value);

    // Number of fields with an entry.
    std::size_t field_count() const { return fields_.size(); }

private:
    struct FieldHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
    };

    struct FieldEntry {
        ValueMap values;
        NumberOrder numbers;
    };

    std::unordered_map<std::string, FieldEntry, FieldHash, std::equal_to<>> fields_;
};

}  // namespace qorel
