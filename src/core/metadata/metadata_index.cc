#include "metadata/metadata_index.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "error.h"
#include "metadata/flat_text.h"

namespace qorel {

ValueId FieldIndex::find(const Json& value) const {
    const auto it = ids_.find(value);
    return it == ids_.end() ? kNoValue : it->second;
}

ValueId FieldIndex::intern(const Json& value) {
    auto [it, inserted] = ids_.try_emplace(value, kNoValue);
    if (!inserted) return it->second;
    if (free_ids_.empty()) {
        it->second = static_cast<ValueId>(values_.size());
        values_.push_back({value, {}});
    } else {
        it->second = free_ids_.back();
        free_ids_.pop_back();
        values_[it->second].value = value;
    }
    if (value.is_number()) order_.emplace(json_number_as_double(value), it->second);
    return it->second;
}

double FieldIndex::number_of(const Json& value) {
    return value.is_number() ? json_number_as_double(value) : std::numeric_limits<double>::quiet_NaN();
}

void FieldIndex::add_id(Slot slot, ValueId id, double number) {
    if (slot >= column_.size()) {
        // Slots arrive mostly in ascending order: grow geometrically, not one slot at a time.
        const std::size_t size = std::max<std::size_t>(slot + std::size_t{1}, column_.size() + column_.size() / 2);
        column_.resize(size, kNoValue);
        positions_.resize(size, 0);
        if (!numbers_.empty()) numbers_.resize(size, std::numeric_limits<double>::quiet_NaN());
    }
    if (column_[slot] == id) return;
    if (column_[slot] != kNoValue) drop(slot);
    std::vector<Slot>& slots = values_[id].slots;
    positions_[slot] = static_cast<std::uint32_t>(slots.size());
    slots.push_back(slot);
    column_[slot] = id;
    if (!std::isnan(number)) {
        if (numbers_.size() < column_.size()) numbers_.resize(column_.size(), std::numeric_limits<double>::quiet_NaN());
        numbers_[slot] = number;
        numbers_changed(slot);
    }
    ++slot_count_;
}

void FieldIndex::drop(Slot slot) {
    const ValueId id = column_[slot];
    Value& entry = values_[id];
    // Swap-remove: the last slot of the array takes the leaving slot's place.
    const std::uint32_t pos = positions_[slot];
    const Slot last = entry.slots.back();
    entry.slots[pos] = last;
    positions_[last] = pos;
    entry.slots.pop_back();
    column_[slot] = kNoValue;
    if (slot < numbers_.size() && !std::isnan(numbers_[slot])) {
        numbers_[slot] = std::numeric_limits<double>::quiet_NaN();
        numbers_changed(slot);
    }
    --slot_count_;
    if (!entry.slots.empty()) return;
    if (entry.value.is_number()) {
        auto [lo, hi] = order_.equal_range(json_number_as_double(entry.value));
        for (; lo != hi; ++lo) {
            if (lo->second == id) {
                order_.erase(lo);
                break;
            }
        }
    }
    ids_.erase(entry.value);
    entry.value = Json();
    entry.slots.shrink_to_fit();
    free_ids_.push_back(id);
}

void FieldIndex::numbers_changed(Slot slot) {
    NumberOrder& order = *order_cache_;
    order.fresh.store(false, std::memory_order_relaxed);
    if (order.whole) return;
    if (order.changed.size() >= std::max<std::size_t>(64, order.slots.size() / 8)) {
        // So many changes that a full sort costs about as much as merging them.
        order.whole = true;
        order.changed.clear();
        order.changed.shrink_to_fit();
        return;
    }
    order.changed.push_back(slot);
}

const FieldIndex::NumberOrder& FieldIndex::number_order() const {
    NumberOrder& order = *order_cache_;
    if (order.fresh.load(std::memory_order_acquire)) return order;
    const MutexLock hold(order.rebuilding);
    if (order.fresh.load(std::memory_order_relaxed)) return order;  // another reader rebuilt it
    using Entry = std::pair<double, Slot>;
    std::vector<Entry> fresh;
    std::vector<std::uint8_t> moved;  // slots whose old entry is out of date
    if (order.whole) {
        order.keys.clear();
        order.slots.clear();
        for (std::size_t s = 0; s < numbers_.size(); ++s) {
            if (!std::isnan(numbers_[s])) fresh.emplace_back(numbers_[s], static_cast<Slot>(s));
        }
    } else {
        std::sort(order.changed.begin(), order.changed.end());
        order.changed.erase(std::unique(order.changed.begin(), order.changed.end()), order.changed.end());
        moved.assign(numbers_.size(), 0);
        for (const Slot s : order.changed) {
            moved[s] = 1;
            if (!std::isnan(numbers_[s])) fresh.emplace_back(numbers_[s], s);
        }
    }
    const auto before = [this](const Entry& a, const Entry& b) { return number_before(a.first, a.second, b.first, b.second); };
    std::sort(fresh.begin(), fresh.end(), before);
    // Merge the old entries still current with the fresh ones, both in (number, slot) order.
    std::vector<double> keys;
    std::vector<Slot> slots;
    keys.reserve(order.keys.size() + fresh.size());
    slots.reserve(order.keys.size() + fresh.size());
    std::size_t j = 0;
    for (std::size_t i = 0; i < order.keys.size(); ++i) {
        const Slot s = order.slots[i];
        if (moved[s]) continue;
        const Entry old{order.keys[i], s};
        for (; j < fresh.size() && before(fresh[j], old); ++j) {
            keys.push_back(fresh[j].first);
            slots.push_back(fresh[j].second);
        }
        keys.push_back(old.first);
        slots.push_back(s);
    }
    for (; j < fresh.size(); ++j) {
        keys.push_back(fresh[j].first);
        slots.push_back(fresh[j].second);
    }
    order.keys = std::move(keys);
    order.slots = std::move(slots);
    order.changed.clear();
    order.whole = false;
    order.fresh.store(true, std::memory_order_release);
    return order;
}

bool FieldIndex::number_before(double key_a, Slot a, double key_b, Slot b) const {
    if (key_a != key_b) return key_a < key_b;
    const ValueId id_a = column_[a];
    const ValueId id_b = column_[b];
    if (id_a != id_b) {
        const std::partial_ordering c = json_number_compare(values_[id_a].value, values_[id_b].value);
        if (c != 0) return c < 0;
    }
    return a < b;
}

std::span<const Slot> FieldIndex::number_slots(Side side, const Json& threshold) const {
    const double rounded = json_number_as_double(threshold);
    if (std::isnan(rounded)) return {};  // no number compares with NaN
    const NumberOrder& order = number_order();
    // The numbers that round to the threshold's float are one run; inside it they are sorted
    // exactly, so the boundary is found there by exact comparison.
    const auto begin = order.keys.begin();
    const std::size_t run_lo = static_cast<std::size_t>(std::lower_bound(begin, order.keys.end(), rounded) - begin);
    const std::size_t run_hi = static_cast<std::size_t>(std::upper_bound(begin, order.keys.end(), rounded) - begin);
    const bool keep_equal = side == Side::AtOrAbove || side == Side::Below;
    const auto run = std::span<const Slot>(order.slots).subspan(run_lo, run_hi - run_lo);
    // The first slot of the run whose number is at or above (keep_equal) or above the threshold.
    const std::size_t cut = run_lo + static_cast<std::size_t>(
        std::partition_point(run.begin(), run.end(), [&](Slot s) {
            const std::partial_ordering c = json_number_compare(values_[column_[s]].value, threshold);
            return keep_equal ? c < 0 : c <= 0;
        }) - run.begin());
    const bool above = side == Side::Above || side == Side::AtOrAbove;
    const std::size_t lo = above ? cut : 0;
    const std::size_t hi = above ? order.keys.size() : cut;
    return std::span<const Slot>(order.slots).subspan(lo, hi - lo);
}

std::size_t FieldIndex::numbered_count() const { return number_order().slots.size(); }

ValueId ElementIndex::find(const Json& value) const {
    const auto it = ids_.find(value);
    return it == ids_.end() ? kNoValue : it->second;
}

bool ElementIndex::add(Slot slot, const Json& list) {
    drop(slot);
    std::vector<Element> held;
    for (const Json& element : list.get_ref<const Json::array_t&>()) {
        if (!MetadataIndex::indexable(element)) continue;
        auto [it, inserted] = ids_.try_emplace(element, kNoValue);
        if (inserted) {
            if (free_ids_.empty()) {
                it->second = static_cast<ValueId>(values_.size());
                values_.push_back({element, {}});
            } else {
                it->second = free_ids_.back();
                free_ids_.pop_back();
                values_[it->second].value = element;
            }
        }
        const ValueId id = it->second;
        // A list that repeats an element holds it once.
        if (std::any_of(held.begin(), held.end(), [&](const Element& e) { return e.id == id; })) continue;
        std::vector<Slot>& slots = values_[id].slots;
        held.push_back({id, static_cast<std::uint32_t>(slots.size())});
        slots.push_back(slot);
    }
    if (held.empty()) return false;
    if (slot >= at_.size()) at_.resize(std::max<std::size_t>(slot + std::size_t{1}, at_.size() + at_.size() / 2));
    at_[slot] = std::move(held);
    ++slot_count_;
    return true;
}

void ElementIndex::drop(Slot slot) {
    if (slot >= at_.size() || at_[slot].empty()) return;
    for (const Element& e : at_[slot]) {
        Value& entry = values_[e.id];
        // Swap-remove, and tell the slot that takes the leaving slot's place where it now sits.
        const Slot last = entry.slots.back();
        entry.slots[e.position] = last;
        entry.slots.pop_back();
        if (last != slot) {
            for (Element& moved : at_[last]) {
                if (moved.id == e.id) moved.position = e.position;
            }
        }
        if (!entry.slots.empty()) continue;
        ids_.erase(entry.value);
        entry.value = Json();
        entry.slots.shrink_to_fit();
        free_ids_.push_back(e.id);
    }
    at_[slot].clear();
    at_[slot].shrink_to_fit();
    --slot_count_;
}

bool MetadataIndex::indexable(const Json& value) {
    if (value.is_number_float()) return !std::isnan(value.get_ref<const Json::number_float_t&>());
    return value.is_boolean() || value.is_number() || value.is_string();
}

void MetadataIndex::mark_object(Slot s, bool holds) {
    const std::size_t word = s / 64;
    const std::uint64_t bit = std::uint64_t{1} << (s % 64);
    if (word >= objects_.size()) {
        if (!holds) return;
        objects_.resize(std::max(word + 1, objects_.size() + objects_.size() / 2), 0);
    }
    if (((objects_[word] & bit) != 0) == holds) return;
    objects_[word] ^= bit;
    if (holds) {
        ++object_count_;
    } else {
        --object_count_;
    }
}

std::uint64_t MetadataIndex::fresh_generation() {
    // Process-wide, so that a rebuilt or replaced index never repeats a generation.
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

void MetadataIndex::index(Slot slot, const Json* metadata) {
    // Even a slot without metadata changes what a filter selects among the live slots.
    changed();
    if (metadata == nullptr || !metadata->is_object()) return;
    mark_object(slot, true);
    for (const auto& [name, member] : metadata->get_ref<const Json::object_t&>()) {
        if (member.is_array()) {
            const auto it = lists_.try_emplace(name).first;
            if (!it->second.add(slot, member) && it->second.slot_count() == 0) lists_.erase(it);
            continue;
        }
        if (!indexable(member)) continue;
        // try_emplace copies the field name only when it is new.
        fields_.try_emplace(name).first->second.add(slot, member);
    }
}

void MetadataIndex::remove(Slot slot, const Json* metadata) {
    changed();
    if (metadata == nullptr || !metadata->is_object()) return;
    mark_object(slot, false);
    for (const auto& [name, member] : metadata->get_ref<const Json::object_t&>()) {
        if (member.is_array()) {
            const auto list_it = lists_.find(name);
            if (list_it == lists_.end()) continue;
            list_it->second.drop(slot);
            if (list_it->second.slot_count() == 0) lists_.erase(list_it);
            continue;
        }
        if (!indexable(member)) continue;
        const auto field_it = fields_.find(name);
        if (field_it == fields_.end()) continue;
        FieldIndex& field = field_it->second;
        const ValueId id = field.value_at(slot);
        if (id == kNoValue || !json_equal(field.value(id), member)) continue;
        field.drop(slot);
        if (field.slot_count() == 0) fields_.erase(field_it);
    }
}

void MetadataIndex::rebuild(const std::vector<std::optional<Json>>& metadata,
                            const std::unordered_set<Slot>& deleted) {
    QOREL_ASSERT(metadata.size() <= kNoSlot, "MetadataIndex::rebuild: more entries than slots");
    changed();
    fields_.clear();
    lists_.clear();
    objects_.clear();
    object_count_ = 0;
    for (std::size_t i = 0; i < metadata.size(); ++i) {
        const Slot slot = static_cast<Slot>(i);
        if (!metadata[i].has_value() || deleted.contains(slot)) continue;
        index(slot, &*metadata[i]);
    }
}

const MetadataIndex::TextIndexer::Seen& MetadataIndex::TextIndexer::Field::find_or_add(std::string_view text) {
    const std::size_t hash = std::hash<std::string_view>{}(text) | 1;  // never 0, the empty mark
    std::size_t mask = table.size() - 1;
    std::size_t i = hash & mask;
    while (table[i].hash != 0) {
        if (table[i].hash == hash && table[i].text == text) return table[i];
        i = (i + 1) & mask;
    }
    // A new value text: its JSON value is built once, to find or add the field's value.
    const Json value = Json::parse(text);
    table[i] = Seen{hash, text, field->intern(value), FieldIndex::number_of(value)};
    if (2 * ++used <= table.size()) return table[i];
    std::vector<Seen> old(table.size() * 2);
    old.swap(table);
    mask = table.size() - 1;
    std::size_t at = 0;
    for (const Seen& e : old) {
        if (e.hash == 0) continue;
        std::size_t j = e.hash & mask;
        while (table[j].hash != 0) j = (j + 1) & mask;
        table[j] = e;
        if (e.hash == hash && e.text == text) at = j;
    }
    return table[at];
}

void MetadataIndex::TextIndexer::index(Slot slot, std::string_view text) {
    std::size_t position = 0;
    const bool flat = scan_flat_object(text, [&](const FlatMember& m) {
        const std::size_t at = position++;
        if (m.kind == FlatKind::Null) return;  // null is never indexed
        Field* f = at < last_.size() && last_[at] != nullptr && last_[at]->key == m.key ? last_[at] : nullptr;
        if (f == nullptr) {
            if (const auto it = by_key_.find(m.key); it != by_key_.end()) {
                f = it->second;
            } else {
                f = fields_.emplace_back(std::make_unique<Field>()).get();
                f->key = std::string(m.key);
                f->field = &index_.fields_.try_emplace(f->key).first->second;
                by_key_.emplace(f->key, f);
            }
            if (at >= last_.size()) last_.resize(at + 1, nullptr);
            last_[at] = f;
        }
        const Seen& seen = f->find_or_add(m.value);
        f->field->add_id(slot, seen.id, seen.number);
    });
    QOREL_ASSERT(flat, "MetadataIndex::TextIndexer: the text is not flat metadata");
    index_.mark_object(slot, true);
}

const FieldIndex* MetadataIndex::field(std::string_view name) const {
    const auto it = fields_.find(name);
    return it == fields_.end() ? nullptr : &it->second;
}

const ElementIndex* MetadataIndex::list_field(std::string_view name) const {
    const auto it = lists_.find(name);
    return it == lists_.end() ? nullptr : &it->second;
}

std::span<const Slot> MetadataIndex::slots(std::string_view name, const Json& value) const {
    const FieldIndex* f = field(name);
    if (f == nullptr) return {};
    const ValueId id = f->find(value);
    return id == kNoValue ? std::span<const Slot>() : f->slots(id);
}

}  // namespace qorel
