#include "metadata/metadata_index.h"

#include <cmath>

#include "error.h"

namespace qorel {

bool MetadataIndex::indexable(const Json& value) {
    if (value.is_number_float()) return !std::isnan(value.get_ref<const Json::number_float_t&>());
    return value.is_boolean() || value.is_number() || value.is_string();
}

void MetadataIndex::index(Slot slot, const Json* metadata) {
    if (metadata == nullptr || !metadata->is_object()) return;
    for (const auto& [name, member] : metadata->get_ref<const Json::object_t&>()) {
        if (!indexable(member)) continue;
        // try_emplace copies the field name and the value only when they are new.
        FieldEntry& entry = fields_.try_emplace(name).first->second;
        const auto [it, inserted] = entry.values.try_emplace(member);
        it->second.insert(slot);
        if (inserted && member.is_number()) entry.numbers.emplace(json_number_as_double(member), &it->second);
    }
}

void MetadataIndex::remove(Slot slot, const Json* metadata) {
    if (metadata == nullptr || !metadata->is_object() || fields_.empty()) return;
    for (const auto& [name, member] : metadata->get_ref<const Json::object_t&>()) {
        if (!indexable(member)) continue;
        const auto field_it = fields_.find(name);
        if (field_it == fields_.end()) continue;
        FieldEntry& entry = field_it->second;
        const auto value_it = entry.values.find(member);
        if (value_it == entry.values.end()) continue;
        value_it->second.erase(slot);
        if (value_it->second.empty()) {
            if (member.is_number()) {
                auto [lo, hi] = entry.numbers.equal_range(json_number_as_double(member));
                for (; lo != hi; ++lo) {
                    if (lo->second == &value_it->second) {
                        entry.numbers.erase(lo);
                        break;
                    }
                }
            }
            entry.values.erase(value_it);
        }
        if (entry.values.empty()) fields_.erase(field_it);
    }
}

void MetadataIndex::rebuild(const std::vector<std::optional<Json>>& metadata,
                            const std::unordered_set<Slot>& deleted) {
    QOREL_ASSERT(metadata.size() <= kNoSlot, "MetadataIndex::rebuild: more entries than slots");
    fields_.clear();
    for (std::size_t i = 0; i < metadata.size(); ++i) {
        const Slot slot = static_cast<Slot>(i);
        if (!metadata[i].has_value() || deleted.contains(slot)) continue;
        index(slot, &*metadata[i]);
    }
}

const ValueMap* MetadataIndex::field(std::string_view name) const {
    const auto it = fields_.find(name);
    return it == fields_.end() ? nullptr : &it->second.values;
}

const NumberOrder* MetadataIndex::numbers(std::string_view name) const {
    const auto it = fields_.find(name);
    return it == fields_.end() || it->second.numbers.empty() ? nullptr : &it->second.numbers;
}

const SlotSet* MetadataIndex::value(const ValueMap& values, const Json& value) {
    const auto it = values.find(value);
    return it == values.end() ? nullptr : &it->second;
}

}  // namespace qorel
