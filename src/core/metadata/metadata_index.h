// MetadataIndex: which slots hold a given value in a given top-level metadata field, and which
// value each slot holds there.
//
// Only the top-level members of object metadata are indexed, and only when their value is a
// boolean, a number or a string, or a list: a list's boolean, number and string elements are
// indexed one by one in the field's ElementIndex, apart from the scalars. Null and object
// members leave no trace, and absent or non-object metadata contributes nothing. Values are
// keyed with json_equal/json_hash, so the integer 1 and the float 1.0 are different values
// while 0.0 and -0.0 are the same one.
//
// Each field (FieldIndex) numbers its distinct values and keeps, for each value, a flat array of
// the slots holding it, and for each slot the value it holds (a dense column), so that a search
// tests a slot against a condition with one read instead of a hash look-up or a walk through
// the slot's metadata. Numbers also get a column of their 64-bit float reading (NaN where the
// slot holds none), an ascending order of the distinct numeric values, and the numbered slots
// sorted by number, so that counting a range is two binary searches and listing it one copy.
// No value is ever kept without a slot, and no field without a value.
//
// Invariant kept by the callers: after every mutation, slot s holds value V in field F exactly
// when s is live and its metadata is an object whose member F has the indexable value V (or,
// in F's ElementIndex, is a list with the element V). To keep it, `remove` must be given the
// very metadata the slot was indexed with.
//
// No internal locking. REQUIRES: the database's metadata-index lock, held exclusively for
// index/remove/rebuild and at least shared for the look-ups. What a look-up returns is only
// valid while that lock is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <atomic>
#include <compare>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "metadata/json_value.h"
#include "mutex.h"
#include "types.h"

namespace qorel {

using SlotSet = std::unordered_set<Slot>;
// A field's number for one of its values; values are renumbered only when dropped and re-added.
using ValueId = std::uint32_t;
inline constexpr ValueId kNoValue = std::numeric_limits<ValueId>::max();

class FieldIndex {
public:
    // The id of a value held by at least one slot, or kNoValue.
    ValueId find(const Json& value) const;
    // The value an id stands for. REQUIRES: id names a held value.
    const Json& value(ValueId id) const { return values_[id].value; }
    // The slots holding a value, each once, in no guaranteed order (ascending unless slots
    // left it). REQUIRES: id names a held value.
    std::span<const Slot> slots(ValueId id) const { return values_[id].slots; }

    // The value id slot s holds here (kNoValue: none): one read, for per-slot tests.
    ValueId value_at(Slot s) const { return s < column_.size() ? column_[s] : kNoValue; }
    // The 64-bit float reading of the number slot s holds here, NaN when it holds none, so
    // that every comparison with a slot without a number is false.
    double number_at(Slot s) const {
        return s < numbers_.size() ? numbers_[s] : std::numeric_limits<double>::quiet_NaN();
    }
    // How the number slot s holds here compares with `threshold` (json_number_compare),
    // unordered when it holds none. `rounded` is the threshold's float reading. Rounding to a
    // float keeps order (a < b gives round(a) <= round(b)), so the float column decides unless
    // both round to the same float; only then is the exact value read.
    std::partial_ordering number_order_at(Slot s, const Json& threshold, double rounded) const {
        const double x = number_at(s);
        if (x < rounded) return std::partial_ordering::less;
        if (x > rounded) return std::partial_ordering::greater;
        if (x != rounded) return std::partial_ordering::unordered;  // a NaN on either side
        return json_number_compare(values_[column_[s]].value, threshold);
    }

    // The held numeric values in ascending order of their float reading (the integer 1 and the
    // float 1.0 are two entries with the same key).
    const std::multimap<double, ValueId>& numbers() const { return order_; }

    // Which side of a threshold a range condition keeps.
    enum class Side { Above, AtOrAbove, Below, AtOrBelow };
    // The slots whose number lies on `side` of `threshold` (a JSON number), in ascending order
    // of their number (not of slot). The same exact comparison as number_order_at, so a range
    // counted or listed here admits exactly the slots a per-slot test admits. The sorted order
    // is rebuilt on the first range look-up after a change to the numbers; concurrent readers
    // share one rebuild.
    std::span<const Slot> number_slots(Side side, const Json& threshold) const;
    // Number of slots holding a number here.
    std::size_t numbered_count() const;
    // Bound on the value ids, for tables indexed by value id.
    std::size_t id_limit() const { return values_.size(); }
    // Number of distinct values held, and of slots holding one.
    std::size_t value_count() const { return ids_.size(); }
    std::size_t slot_count() const { return slot_count_; }

    // ---- changes, made by MetadataIndex only (under its caller's exclusive lock)
    void add(Slot slot, const Json& value) { add_id(slot, intern(value), number_of(value)); }
    // The id of `value`, adding it (without slots yet) when it is new.
    ValueId intern(const Json& value);
    // Puts the slot under value `id`, whose float reading is `number` (NaN: not a number),
    // moving it from the value it held here before.
    void add_id(Slot slot, ValueId id, double number);
    static double number_of(const Json& value);
    // REQUIRES: the slot holds a value here.
    void drop(Slot slot);

private:
    struct Value {
        Json value;
        std::vector<Slot> slots;
    };

    std::unordered_map<Json, ValueId, JsonHash, JsonEqual> ids_;
    std::vector<Value> values_;
    std::vector<ValueId> free_ids_;
    std::vector<ValueId> column_;
    std::vector<std::uint32_t> positions_;  // where each slot sits in its value's slot array
    std::vector<double> numbers_;
    std::multimap<double, ValueId> order_;
    std::size_t slot_count_ = 0;

    // The numbered slots sorted by (exact number, slot), with their float readings beside them
    // for the binary searches (numbers that round to one float are ordered exactly among
    // themselves). Behind a pointer so that the field stays movable. A few changes since
    // the last look-up are merged into the old order (linear, no full sort), so that a range
    // query after each single insert does not sort the whole field again; many are resorted.
    struct NumberOrder {
        Mutex rebuilding;
        std::atomic<bool> fresh{false};
        bool whole = true;          // resort everything; otherwise merge `changed` in
        std::vector<Slot> changed;  // slots whose number changed since the last look-up
        std::vector<double> keys;
        std::vector<Slot> slots;
    };
    const NumberOrder& number_order() const;
    // The order of the sorted numbers: by float reading, then by exact value, then by slot.
    bool number_before(double key_a, Slot a, double key_b, Slot b) const;
    // Called under the exclusive lock, so no reader is using the order meanwhile.
    void numbers_changed(Slot slot);
    std::unique_ptr<NumberOrder> order_cache_ = std::make_unique<NumberOrder>();
};

// The elements of list-valued members of one field: for each boolean, number or string that some
// slot's list holds, the slots whose list holds it (each slot once, however often the list
// repeats it), and for each slot the distinct elements of its list, so that a membership test
// reads one short array. Values are keyed as in FieldIndex; other elements (null, nested lists
// and objects) leave no trace. A slot holds a scalar or a list in a field, never both, so a
// slot is in a field's FieldIndex or its ElementIndex, not in both.
class ElementIndex {
public:
    // The id of an element held in some slot's list, or kNoValue.
    ValueId find(const Json& value) const;
    // The slots whose list holds the element, in no guaranteed order. REQUIRES: id is held.
    std::span<const Slot> slots(ValueId id) const { return values_[id].slots; }
    // Whether slot s's list holds element `id`.
    bool holds(Slot s, ValueId id) const {
        if (s >= at_.size()) return false;
        for (const Element& e : at_[s]) {
            if (e.id == id) return true;
        }
        return false;
    }
    // Whether slot s's list holds an element whose entry in `allowed` (indexed by id) is set.
    bool holds_any(Slot s, const std::vector<std::uint8_t>& allowed) const {
        if (s >= at_.size()) return false;
        for (const Element& e : at_[s]) {
            if (e.id < allowed.size() && allowed[e.id] != 0) return true;
        }
        return false;
    }
    std::size_t id_limit() const { return values_.size(); }
    // Number of slots whose list holds at least one indexed element.
    std::size_t slot_count() const { return slot_count_; }

    // ---- changes, made by MetadataIndex only (under its caller's exclusive lock)
    // Indexes the elements of `list` (a JSON array) under `slot`, replacing what the slot held.
    // Returns false, indexing nothing, when no element is indexable.
    bool add(Slot slot, const Json& list);
    // Takes the slot out of every element it holds (nothing when it holds none).
    void drop(Slot slot);

private:
    struct Value {
        Json value;
        std::vector<Slot> slots;
    };
    // One element of a slot's list: its id and where the slot sits in that id's slot array.
    struct Element {
        ValueId id;
        std::uint32_t position;
    };

    std::unordered_map<Json, ValueId, JsonHash, JsonEqual> ids_;
    std::vector<Value> values_;
    std::vector<ValueId> free_ids_;
    std::vector<std::vector<Element>> at_;
    std::size_t slot_count_ = 0;
};

class MetadataIndex {
public:
    // Adds `slot` under each indexable top-level member of `metadata` (nullptr: absent). A slot
    // already indexed in a field moves to the new value.
    void index(Slot slot, const Json* metadata);

    // Takes `slot` out of each field where metadata gives it an indexable member, dropping
    // values and fields left empty. Metadata the slot was never indexed with changes nothing.
    void remove(Slot slot, const Json* metadata);

    // Clears the index, then indexes every slot of `metadata` (entry s belongs to slot s) that
    // is not in `deleted`.
    void rebuild(const std::vector<std::optional<Json>>& metadata, const std::unordered_set<Slot>& deleted);

    // Indexes slots whose metadata is a flat text (one that scan_flat_object accepts), as
    // `index` would index its JSON value, for opening a database: a value text seen before
    // costs one hash probe, no JSON value and no JSON hashing. REQUIRES: the texts outlive the
    // indexer, and the index is not otherwise changed while it is in use.
    class TextIndexer {
    public:
        explicit TextIndexer(MetadataIndex& index) : index_(index) { index_.changed(); }
        void index(Slot slot, std::string_view text);

    private:
        // One value text seen in a field, in an open-addressing table (hash 0: empty).
        struct Seen {
            std::size_t hash = 0;
            std::string_view text;
            ValueId id = kNoValue;
            double number = 0.0;
        };
        struct Field {
            std::string key;
            FieldIndex* field = nullptr;
            std::vector<Seen> table = std::vector<Seen>(8);
            std::size_t used = 0;
            const Seen& find_or_add(std::string_view text);
        };
        MetadataIndex& index_;
        // Fields by key; rows mostly list the same keys in the same order, so the field met at
        // each position of the previous row is tried first.
        std::vector<std::unique_ptr<Field>> fields_;
        std::unordered_map<std::string_view, Field*> by_key_;  // views of the fields' own keys
        std::vector<Field*> last_;
    };

    // The field's index, or nullptr when no live slot holds an indexable value there.
    const FieldIndex* field(std::string_view name) const;
    // The index of the elements of the field's lists, or nullptr when no live slot holds a list
    // with an indexable element there.
    const ElementIndex* list_field(std::string_view name) const;

    // The slots holding `value` in field `name`, in any order; empty when none does.
    std::span<const Slot> slots(std::string_view name, const Json& value) const;

    // Whether a member with this value is indexed: booleans, numbers and strings. A NaN float
    // equals nothing, so it could never be found or removed again; it is left out like null.
    static bool indexable(const Json& value);

    // Number of fields with an entry.
    std::size_t field_count() const { return fields_.size(); }

    // Whether live slot s has object metadata (the empty object too): a condition that a member
    // be absent or differ matches exactly those slots, whatever their members.
    bool holds_object(Slot s) const { return s / 64 < objects_.size() && ((objects_[s / 64] >> (s % 64)) & 1) != 0; }
    // Number of live slots with object metadata.
    std::size_t object_count() const { return object_count_; }

    // Moves on every change to the index, to a number no index of the process had before: a
    // result derived from the index stays valid while its generation is unchanged.
    std::uint64_t generation() const { return generation_; }

private:
    void mark_object(Slot s, bool holds);
    static std::uint64_t fresh_generation();
    void changed() { generation_ = fresh_generation(); }
    std::uint64_t generation_ = fresh_generation();

    struct FieldHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
    };

    std::unordered_map<std::string, FieldIndex, FieldHash, std::equal_to<>> fields_;
    std::unordered_map<std::string, ElementIndex, FieldHash, std::equal_to<>> lists_;
    std::vector<std::uint64_t> objects_;  // bit s % 64 of word s / 64: slot s holds an object
    std::size_t object_count_ = 0;
};

}  // namespace qorel
