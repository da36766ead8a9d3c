// ColumnFilter: a filter turned into per-slot tests on the metadata index's columns, for searches
// that test many slots (the graph walk, the candidate collection), and into the listing and
// counting of the slots those tests admit.
//
// The members of the top-level conjunction become clauses that each read the index, never the
// metadata: Eq, Ne and In read the slot's value id, ranges its number (and its exact value only
// when that number rounds to the threshold's float), Contains and In on list fields the slot's
// few list elements; a disjunction or a negation holds its members as nested ColumnFilters.
// Ne is the complement of Eq on an indexable value among slots with object metadata: a slot
// holding any other value, or none, in the field passes; Not likewise takes every slot with
// object metadata its member does not admit. What the columns cannot decide (Ne on null,
// which the index does not hold, and any disjunction or negation with such a part) is left as
// a `rest` filter that the caller evaluates on the slot's metadata with Filter::matches. A slot
// matches the filter exactly when it passes every clause and, if there is a rest, the rest.
//
// The clauses point into the index: a ColumnFilter is valid only while the metadata-index lock it
// was built under is held, and only for a live slot (the index holds no deleted slot, but the
// caller must still skip deleted slots for the rest).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "metadata/filter.h"
#include "metadata/metadata_index.h"
#include "types.h"

namespace qorel {

class ColumnFilter {
public:
    ColumnFilter(const Filter& filter, const MetadataIndex& index);

    // Some clause can hold for no slot (a value or field nobody holds): nothing matches.
    bool never() const { return never_; }
    // The part of the filter the columns do not decide, or nullptr when there is none.
    const Filter* rest() const { return rest_ ? &*rest_ : nullptr; }
    // Whether the columns admit the slot (the rest aside). The empty conjunction has no
    // clause and is `never`.
    bool admits(Slot s) const {
        for (const Clause& c : clauses_) {
            if (!c.admits(s)) return false;
        }
        return true;
    }
    std::size_t clause_count() const { return clauses_.size(); }

    // The clause whose slots are cheapest to list, with its slot count: Eq, In and Contains
    // from their value arrays, ranges from two binary searches, a disjunction from its members'
    // smallest clauses. The count is exact unless a slot may be listed more than once (In
    // naming several elements of list fields, a disjunction of more than one member): then
    // it bounds the slots from above. nullopt when no clause can list its slots (Ne, Not, a
    // disjunction with a member that lists nothing). REQUIRES: !never().
    struct Smallest {
        std::size_t clause;
        std::size_t size;
        bool exact = true;
    };
    std::optional<Smallest> smallest() const;
    // Whether a clause's slots are counted without any sorting: equality and membership.
    bool listed_for_free(std::size_t clause) const {
        if (clause >= clauses_.size()) return false;
        const Filter::Kind kind = clauses_[clause].kind;
        return kind == Filter::Kind::Eq || kind == Filter::Kind::In || kind == Filter::Kind::Contains;
    }

    // The exact number of live slots the filter admits when it is a single Ne clause with no
    // rest (`live` less the holders of the excluded value); nullopt for any other filter.
    std::optional<std::size_t> ne_count(std::size_t live) const;

    // Whether every clause admits all `live` slots the index holds (it holds only live ones):
    // then, without a rest, the filter matches every live slot and needs no test at all.
    bool admits_all(std::size_t live) const;

    // The slots that pass every clause, ascending, listed from the smallest clause: empty when
    // `never`, nullopt when no clause can list its slots (an exclusion alone).
    std::optional<std::vector<Slot>> listed() const;

    // Appends, in ascending order, the slots of clause `clause` that pass every clause.
    void collect(std::size_t clause, std::vector<Slot>& out) const;

    // Appends, in ascending order, every slot in [0, slot_count) that passes every clause: for
    // filters no clause of which can list its slots.
    void collect_all(std::size_t slot_count, std::vector<Slot>& out) const;

    // The share of slots in [0, slot_count) that the columns admit, estimated from at most
    // `samples` slots spread evenly over them.
    double sampled_share(std::size_t slot_count, std::size_t samples) const;

private:
    struct Clause {
        Filter::Kind kind = Filter::Kind::Eq;
        const FieldIndex* field = nullptr;       // Ne: nullptr when nobody holds the value; In:
                                                 // nullptr when no slot holds a scalar there
        const ElementIndex* list = nullptr;      // Contains, In: the field's list elements
        const MetadataIndex* objects = nullptr;  // Ne, Not: which slots have object metadata
        ValueId value = kNoValue;                // Eq, Ne (a held value), Contains (an element)
        std::vector<std::uint8_t> allowed;       // In: indexed by value id
        std::vector<ValueId> ids;                // In: the distinct held values named
        std::vector<std::uint8_t> list_allowed;  // In: indexed by element id
        std::vector<ValueId> list_ids;           // In: the distinct held elements named
        Json threshold;                          // ranges: a number
        double rounded = 0.0;                    // ranges: the threshold's float reading
        std::vector<ColumnFilter> members;       // Or: the members that can match; Not: the
                                                 // member, none when it can never match

        bool admits(Slot s) const {
            switch (kind) {
                case Filter::Kind::Eq: return field->value_at(s) == value;
                case Filter::Kind::Ne:
                    return objects->holds_object(s) && (field == nullptr || field->value_at(s) != value);
                case Filter::Kind::In: {
                    if (field != nullptr) {
                        const ValueId v = field->value_at(s);
                        if (v < allowed.size() && allowed[v] != 0) return true;
                    }
                    return list != nullptr && list->holds_any(s, list_allowed);
                }
                case Filter::Kind::Contains: return list->holds(s, value);
                case Filter::Kind::Or:
                    for (const ColumnFilter& m : members) {
                        if (m.admits(s)) return true;
                    }
                    return false;
                case Filter::Kind::Not: return objects->holds_object(s) && (members.empty() || !members.front().admits(s));
                case Filter::Kind::And: return false;
                default: return Filter::order_admits(kind, field->number_order_at(s, threshold, rounded));
            }
        }
    };

    void add(const Filter& filter, const MetadataIndex& index, std::vector<Filter>& rest);

    std::vector<Clause> clauses_;
    std::optional<Filter> rest_;
    bool never_ = false;
};

}  // namespace qorel
