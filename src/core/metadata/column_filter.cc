#include "metadata/column_filter.h"

#include <algorithm>
#include <bit>
#include <span>
#include <cmath>
#include <iterator>

namespace qorel {
namespace {

// The slots a comparison with `threshold` admits, from the field's slots sorted by number.
std::span<const Slot> numeric_range(const FieldIndex& field, Filter::Kind kind, const Json& threshold) {
    using Side = FieldIndex::Side;
    switch (kind) {
        case Filter::Kind::Gt: return field.number_slots(Side::Above, threshold);
        case Filter::Kind::Gte: return field.number_slots(Side::AtOrAbove, threshold);
        case Filter::Kind::Lt: return field.number_slots(Side::Below, threshold);
        default: return field.number_slots(Side::AtOrBelow, threshold);
    }
}

// Sorts a list of slots and drops repeats, returning the new end: a bit per slot up to the
// largest one and one pass over the words when that is cheaper than a comparison sort (a range
// lists its slots in number order).
std::vector<Slot>::iterator sort_slots(std::vector<Slot>::iterator first, std::vector<Slot>::iterator last) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n < 2) return last;
    if (std::is_sorted(first, last)) return std::unique(first, last);
    const Slot top = *std::max_element(first, last);
    const std::size_t words = top / 64 + 1;
    if (words > 4 * n) {
        std::sort(first, last);
        return std::unique(first, last);
    }
    std::vector<std::uint64_t> bits(words, 0);
    for (auto it = first; it != last; ++it) bits[*it / 64] |= std::uint64_t{1} << (*it % 64);
    auto out = first;
    for (std::size_t w = 0; w < words; ++w) {
        for (std::uint64_t word = bits[w]; word != 0; word &= word - 1)
            *out++ = static_cast<Slot>(w * 64 + static_cast<std::size_t>(std::countr_zero(word)));
    }
    return out;
}

// Whether the columns decide the filter without the metadata: everything but Ne on a value the
// index does not hold (null), wherever it stands.
bool decidable(const Filter& filter) {
    switch (filter.kind()) {
        case Filter::Kind::Ne: return MetadataIndex::indexable(filter.value());
        case Filter::Kind::And:
        case Filter::Kind::Or:
        case Filter::Kind::Not:
            return std::all_of(filter.members().begin(), filter.members().end(), decidable);
        default: return true;
    }
}

}  // namespace

ColumnFilter::ColumnFilter(const Filter& filter, const MetadataIndex& index) {
    std::vector<Filter> rest;
    add(filter, index, rest);
    if (!rest.empty()) rest_ = Filter::combine(std::move(rest));
}

void ColumnFilter::add(const Filter& filter, const MetadataIndex& index, std::vector<Filter>& rest) {
    const Filter::Kind kind = filter.kind();
    if (kind == Filter::Kind::And) {
        // The empty conjunction matches nothing, wherever it stands.
        if (filter.members().empty()) never_ = true;
        for (const Filter& member : filter.members()) add(member, index, rest);
        return;
    }
    if (kind == Filter::Kind::Ne) {
        // The index holds only booleans, numbers and strings; any other value is compared on
        // the metadata. A value nobody holds excludes no object, so only the object test is left.
        if (!MetadataIndex::indexable(filter.value())) {
            rest.push_back(filter);
            return;
        }
        const FieldIndex* field = index.field(filter.field());
        const ValueId id = field == nullptr ? kNoValue : field->find(filter.value());
        Clause c;
        c.kind = kind;
        c.field = id == kNoValue ? nullptr : field;
        c.objects = &index;
        c.value = id;
        clauses_.push_back(std::move(c));
        return;
    }
    if (kind == Filter::Kind::Or || kind == Filter::Kind::Not) {
        // A part only the metadata decides leaves the whole disjunction or negation to it.
        if (!decidable(filter)) {
            rest.push_back(filter);
            return;
        }
        Clause c;
        c.kind = kind;
        c.objects = &index;
        for (const Filter& member : filter.members()) {
            ColumnFilter nested(member, index);
            if (!nested.never()) c.members.push_back(std::move(nested));
        }
        if (kind == Filter::Kind::Or && c.members.empty()) never_ = true;
        clauses_.push_back(std::move(c));
        return;
    }
    if (kind == Filter::Kind::Contains) {
        const ElementIndex* list = index.list_field(filter.field());
        Clause c;
        c.kind = kind;
        c.list = list;
        c.value = list == nullptr ? kNoValue : list->find(filter.value());
        if (c.value == kNoValue) {
            never_ = true;  // no live slot's list holds the value there
            return;
        }
        clauses_.push_back(std::move(c));
        return;
    }
    if (kind == Filter::Kind::In) {
        Clause c;
        c.kind = kind;
        c.field = index.field(filter.field());
        c.list = index.list_field(filter.field());
        if (c.field != nullptr) c.allowed.assign(c.field->id_limit(), 0);
        if (c.list != nullptr) c.list_allowed.assign(c.list->id_limit(), 0);
        for (const Json& v : filter.values()) {
            if (c.field != nullptr) {
                const ValueId id = c.field->find(v);
                if (id != kNoValue && !c.allowed[id]) {
                    c.allowed[id] = 1;
                    c.ids.push_back(id);
                }
            }
            if (c.list != nullptr) {
                const ValueId id = c.list->find(v);
                if (id != kNoValue && !c.list_allowed[id]) {
                    c.list_allowed[id] = 1;
                    c.list_ids.push_back(id);
                }
            }
        }
        if (c.ids.empty()) c.field = nullptr;
        if (c.list_ids.empty()) c.list = nullptr;
        if (c.field == nullptr && c.list == nullptr) {
            never_ = true;  // no live slot holds one of the values there, alone or in a list
            return;
        }
        clauses_.push_back(std::move(c));
        return;
    }
    const FieldIndex* field = index.field(filter.field());
    if (field == nullptr) {
        never_ = true;  // no live slot holds an indexable value there
        return;
    }
    Clause c;
    c.kind = kind;
    c.field = field;
    switch (kind) {
        case Filter::Kind::Eq:
            c.value = field->find(filter.value());
            if (c.value == kNoValue) never_ = true;
            break;
        default:
            c.threshold = filter.threshold();
            c.rounded = json_number_as_double(c.threshold);
            if (std::isnan(c.rounded)) never_ = true;
            break;
    }
    clauses_.push_back(std::move(c));
}

std::optional<ColumnFilter::Smallest> ColumnFilter::smallest() const {
    std::optional<Smallest> best;
    // Equality, membership and containment first: their counts cost nothing.
    for (std::size_t i = 0; i < clauses_.size(); ++i) {
        const Clause& c = clauses_[i];
        std::size_t size = 0;
        bool exact = true;
        if (c.kind == Filter::Kind::Eq) {
            size = c.field->slots(c.value).size();
        } else if (c.kind == Filter::Kind::Contains) {
            size = c.list->slots(c.value).size();
        } else if (c.kind == Filter::Kind::In) {
            // A slot holds a scalar or a list in a field, never both; a list holding two of
            // the values is listed under each.
            for (const ValueId id : c.ids) size += c.field->slots(id).size();
            for (const ValueId id : c.list_ids) size += c.list->slots(id).size();
            exact = c.list_ids.size() <= 1;
        } else {
            continue;
        }
        if (!best || size < best->size) best = Smallest{i, size, exact};
    }
    for (std::size_t i = 0; i < clauses_.size(); ++i) {
        const Clause& c = clauses_[i];
        std::optional<Smallest> candidate;
        if (c.kind == Filter::Kind::Or) {
            // The union of the members' listings, each member listed from its smallest clause.
            candidate = Smallest{i, 0, c.members.size() == 1};
            for (const ColumnFilter& m : c.members) {
                const std::optional<Smallest> part = m.smallest();
                if (!part) {
                    candidate.reset();
                    break;
                }
                candidate->size += part->size;
                candidate->exact = candidate->exact && part->exact && m.clause_count() == 1;
            }
        } else if (c.kind >= Filter::Kind::Gt && c.kind <= Filter::Kind::Lte) {
            // A range is counted exactly by two binary searches over the field's sorted numbers.
            candidate = Smallest{i, numeric_range(*c.field, c.kind, c.threshold).size(), true};
        }
        if (candidate && (!best || candidate->size < best->size)) best = candidate;
    }
    return best;
}

void ColumnFilter::collect(std::size_t clause, std::vector<Slot>& out) const {
    const Clause& c = clauses_[clause];
    const std::size_t start = out.size();
    auto keep = [&](std::span<const Slot> slots) {
        for (const Slot s : slots) {
            if (admits(s)) out.push_back(s);
        }
    };
    switch (c.kind) {
        case Filter::Kind::Eq: keep(c.field->slots(c.value)); break;
        case Filter::Kind::Contains: keep(c.list->slots(c.value)); break;
        case Filter::Kind::In:
            for (const ValueId id : c.ids) keep(c.field->slots(id));
            for (const ValueId id : c.list_ids) keep(c.list->slots(id));
            break;
        case Filter::Kind::Or:
            for (const ColumnFilter& m : c.members) {
                std::vector<Slot> part;
                m.collect(m.smallest()->clause, part);
                keep(part);
            }
            break;
        default: keep(numeric_range(*c.field, c.kind, c.threshold)); break;
    }
    // Slot arrays are ascending unless removals reordered them; several arrays interleave (and
    // may list a slot twice), and a range comes in the order of its numbers. Scoring wants
    // memory order.
    out.erase(sort_slots(out.begin() + static_cast<std::ptrdiff_t>(start), out.end()), out.end());
}

std::optional<std::vector<Slot>> ColumnFilter::listed() const {
    if (never_) return std::vector<Slot>{};
    const std::optional<Smallest> pick = smallest();
    if (!pick) return std::nullopt;
    std::vector<Slot> out;
    collect(pick->clause, out);
    return out;
}

bool ColumnFilter::admits_all(std::size_t live) const {
    if (never_) return false;
    for (const Clause& c : clauses_) {
        std::size_t held = 0;
        if (c.kind == Filter::Kind::Ne) {
            // Every live slot must hold an object, and none the excluded value.
            if (c.field != nullptr || c.objects->object_count() != live) return false;
            continue;
        }
        if (c.kind == Filter::Kind::Eq) {
            held = c.field->slots(c.value).size();
        } else if (c.kind == Filter::Kind::In) {
            // Lists may hold several of the values: no exact count, so no claim.
            if (c.field == nullptr || c.list != nullptr) return false;
            for (const ValueId id : c.ids) held += c.field->slots(id).size();
        } else if (c.kind < Filter::Kind::Gt || c.kind > Filter::Kind::Lte) {
            return false;  // containment, disjunctions and negations are tested slot by slot
        } else {
            // Every slot of the field holds a number, and the range takes all of them in.
            held = numeric_range(*c.field, c.kind, c.threshold).size();
            if (held != c.field->slot_count()) return false;
        }
        if (held != live) return false;
    }
    return true;
}

std::optional<std::size_t> ColumnFilter::ne_count(std::size_t live) const {
    if (never_ || rest_ || clauses_.size() != 1 || clauses_[0].kind != Filter::Kind::Ne) return std::nullopt;
    const Clause& c = clauses_[0];
    const std::size_t objects = std::min(live, c.objects->object_count());
    const std::size_t held = c.field == nullptr ? 0 : c.field->slots(c.value).size();
    return objects - std::min(objects, held);
}

void ColumnFilter::collect_all(std::size_t slot_count, std::vector<Slot>& out) const {
    if (never_) return;
    for (std::size_t s = 0; s < slot_count; ++s) {
        if (admits(static_cast<Slot>(s))) out.push_back(static_cast<Slot>(s));
    }
}

double ColumnFilter::sampled_share(std::size_t slot_count, std::size_t samples) const {
    if (never_ || slot_count == 0) return 0.0;
    const std::size_t step = std::max<std::size_t>(1, slot_count / std::max<std::size_t>(samples, 1));
    std::size_t tested = 0, admitted = 0;
    for (std::size_t s = step / 2; s < slot_count; s += step) {
        ++tested;
        admitted += admits(static_cast<Slot>(s));
    }
    return tested ? static_cast<double>(admitted) / static_cast<double>(tested) : 0.0;
}

}  // namespace qorel
