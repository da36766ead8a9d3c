#include "metadata/slot_test.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace qorel {
namespace {

// The held numeric values a comparison with `threshold` admits, as a range of the field's order.
auto numeric_range(const FieldIndex& field, Filter::Kind kind, double threshold) {
    const auto& numbers = field.numbers();
    auto lo = numbers.begin();
    auto hi = numbers.end();
    switch (kind) {
        case Filter::Kind::Gt: lo = numbers.upper_bound(threshold); break;
        case Filter::Kind::Gte: lo = numbers.lower_bound(threshold); break;
        case Filter::Kind::Lt: hi = numbers.lower_bound(threshold); break;
        default: hi = numbers.upper_bound(threshold); break;
    }
    return std::pair{lo, hi};
}

}  // namespace

SlotTest::SlotTest(const Filter& filter, const MetadataIndex& index) {
    std::vector<Filter> rest;
    add(filter, index, rest);
    if (!rest.empty()) rest_ = Filter::combine(std::move(rest));
}

void SlotTest::add(const Filter& filter, const MetadataIndex& index, std::vector<Filter>& rest) {
    const Filter::Kind kind = filter.kind();
    if (kind == Filter::Kind::And) {
        // The empty conjunction matches nothing, wherever it stands.
        if (filter.members().empty()) never_ = true;
        for (const Filter& member : filter.members()) add(member, index, rest);
        return;
    }
    if (kind == Filter::Kind::Ne) {
        rest.push_back(filter);
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
        case Filter::Kind::In:
            c.allowed.assign(field->id_limit(), 0);
            for (const Json& v : filter.values()) {
                const ValueId id = field->find(v);
                if (id == kNoValue || c.allowed[id]) continue;
                c.allowed[id] = 1;
                c.ids.push_back(id);
            }
            if (c.ids.empty()) never_ = true;
            break;
        default:
            c.threshold = filter.threshold();
            if (std::isnan(c.threshold)) never_ = true;
            break;
    }
    clauses_.push_back(std::move(c));
}

std::optional<SlotTest::Smallest> SlotTest::smallest(std::size_t range_limit) const {
    std::optional<Smallest> best;
    // Equality and membership first: their counts cost nothing.
    for (std::size_t i = 0; i < clauses_.size(); ++i) {
        const Clause& c = clauses_[i];
        if (c.kind != Filter::Kind::Eq && c.kind != Filter::Kind::In) continue;
        std::size_t size = 0;
        if (c.kind == Filter::Kind::Eq) {
            size = c.field->slots(c.value).size();
        } else {
            for (const ValueId id : c.ids) size += c.field->slots(id).size();
        }
        if (!best || size < best->size) best = Smallest{i, size};
    }
    for (std::size_t i = 0; i < clauses_.size(); ++i) {
        const Clause& c = clauses_[i];
        if (c.kind == Filter::Kind::Eq || c.kind == Filter::Kind::In) continue;
        // Ranges are counted through the ordered values, one node at a time: several times
        // dearer a slot than listing an array and testing columns, so a range must be several
        // times smaller than the best listed clause to be worth counting to the end.
        const std::size_t limit = best ? std::min(best->size / kRangeStepCost, range_limit) : range_limit;
        std::size_t size = 0;
        auto [lo, hi] = numeric_range(*c.field, c.kind, c.threshold);
        for (; lo != hi && size <= limit; ++lo) size += c.field->slots(lo->second).size();
        // A count stopped early says only "more than the limit": never the smallest then.
        if (lo != hi) size = SIZE_MAX;
        if (!best || size < best->size) best = Smallest{i, size};
    }
    return best;
}

void SlotTest::collect(std::size_t clause, std::vector<Slot>& out) const {
    const Clause& c = clauses_[clause];
    const std::size_t start = out.size();
    auto take = [&](ValueId id) {
        for (const Slot s : c.field->slots(id)) {
            if (admits(s)) out.push_back(s);
        }
    };
    if (c.kind == Filter::Kind::Eq) {
        take(c.value);
    } else if (c.kind == Filter::Kind::In) {
        for (const ValueId id : c.ids) take(id);
    } else {
        auto [lo, hi] = numeric_range(*c.field, c.kind, c.threshold);
        for (; lo != hi; ++lo) take(lo->second);
    }
    // Slot arrays are ascending unless removals reordered them; several arrays interleave.
    const auto first = out.begin() + static_cast<std::ptrdiff_t>(start);
    if (!std::is_sorted(first, out.end())) std::sort(first, out.end());
}

bool SlotTest::admits_all(std::size_t live) const {
    if (never_) return false;
    for (const Clause& c : clauses_) {
        std::size_t held = 0;
        if (c.kind == Filter::Kind::Eq) {
            held = c.field->slots(c.value).size();
        } else if (c.kind == Filter::Kind::In) {
            for (const ValueId id : c.ids) held += c.field->slots(id).size();
        } else {
            // Every value of the field a number, and the range taking all of them in.
            const auto& numbers = c.field->numbers();
            auto [lo, hi] = numeric_range(*c.field, c.kind, c.threshold);
            if (numbers.size() != c.field->value_count() || lo != numbers.begin() || hi != numbers.end()) return false;
            held = c.field->slot_count();
        }
        if (held != live) return false;
    }
    return true;
}

double SlotTest::sampled_share(std::size_t slot_count, std::size_t samples) const {
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
