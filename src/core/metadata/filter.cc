#include "metadata/filter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

#include "error.h"
#include "metadata/json_value.h"

namespace qorel {
Filter Filter::eq(std::string field, Json value) {
    Filter f(Kind::Eq);
    f.field_ = std::move(field);
    f.value_ = std::move(value);
    return f;
}

Filter Filter::ne(std::string field, Json value) {
    Filter f(Kind::Ne);
    f.field_ = std::move(field);
    f.value_ = std::move(value);
    return f;
}

Filter Filter::in(std::string field, std::vector<Json> values) {
    Filter f(Kind::In);
    f.field_ = std::move(field);
    f.values_ = std::move(values);
    return f;
}

Filter Filter::comparison(Kind kind, std::string field, Json threshold) {
    QOREL_ASSERT(kind == Kind::Gt || kind == Kind::Gte || kind == Kind::Lt || kind == Kind::Lte,
                 "Filter::comparison: not a comparison kind");
    QOREL_ASSERT(threshold.is_number(), "Filter::comparison: the threshold is not a number");
    Filter f(kind);
    f.field_ = std::move(field);
    f.value_ = std::move(threshold);
    return f;
}

Filter Filter::gt(std::string field, Json threshold) { return comparison(Kind::Gt, std::move(field), std::move(threshold)); }
Filter Filter::gte(std::string field, Json threshold) { return comparison(Kind::Gte, std::move(field), std::move(threshold)); }
Filter Filter::lt(std::string field, Json threshold) { return comparison(Kind::Lt, std::move(field), std::move(threshold)); }
Filter Filter::lte(std::string field, Json threshold) { return comparison(Kind::Lte, std::move(field), std::move(threshold)); }

Filter Filter::all_of(std::vector<Filter> members) {
    Filter f(Kind::And);
    f.members_ = std::move(members);
    return f;
}

Filter Filter::contains(std::string field, Json value) {
    Filter f(Kind::Contains);
    f.field_ = std::move(field);
    f.value_ = std::move(value);
    return f;
}

Filter Filter::any_of(std::vector<Filter> members) {
    Filter f(Kind::Or);
    f.members_ = std::move(members);
    return f;
}

Filter Filter::negate(Filter member) {
    Filter f(Kind::Not);
    f.members_.push_back(std::move(member));
    return f;
}

Filter Filter::none_of(std::string field, std::vector<Json> values) {
    return negate(in(std::move(field), std::move(values)));
}

Filter Filter::combine(std::vector<Filter> conditions) {
    if (conditions.size() == 1) return std::move(conditions.front());
    return all_of(std::move(conditions));
}

namespace {

bool list_holds(const Json& list, const Json& value) {
    const auto& elements = list.get_ref<const Json::array_t&>();
    return std::any_of(elements.begin(), elements.end(), [&](const Json& e) { return json_equal(e, value); });
}

}  // namespace

bool Filter::matches(const Json* metadata) const {
    if (metadata == nullptr || !metadata->is_object()) return false;
    return matches_object(metadata->get_ref<const Json::object_t&>());
}

bool Filter::matches_object(const Json::object_t& object) const {
    switch (kind_) {
        case Kind::And:
            // The empty conjunction matches nothing, as the index's columns say.
            for (const Filter& member : members_) {
                if (!member.matches_object(object)) return false;
            }
            return !members_.empty();
        case Kind::Or:
            for (const Filter& member : members_) {
                if (member.matches_object(object)) return true;
            }
            return false;
        case Kind::Not: return !members_.front().matches_object(object);
        default: break;
    }

    const auto it = object.find(field_);
    const Json* field = it == object.end() ? nullptr : &it->second;
    switch (kind_) {
        case Kind::Eq: return field != nullptr && MetadataIndex::indexable(value_) && json_equal(*field, value_);
        case Kind::Ne: return field == nullptr || !json_equal(*field, value_);
        case Kind::In:
            if (field == nullptr) return false;
            for (const Json& candidate : values_) {
                if (!MetadataIndex::indexable(candidate)) continue;
                if (field->is_array() ? list_holds(*field, candidate) : json_equal(*field, candidate)) return true;
            }
            return false;
        case Kind::Contains:
            return field != nullptr && field->is_array() && MetadataIndex::indexable(value_) && list_holds(*field, value_);
        default: break;
    }

    // Comparisons read only JSON numbers (booleans are not numbers). Every comparison with a
    // NaN on either side is unordered, so a NaN threshold admits nothing.
    if (field == nullptr || !field->is_number()) return false;
    return order_admits(kind_, json_number_compare(*field, value_));
}

std::string Filter::key() const {
    // Lengths before texts, so that no field name or value can pass for another's boundary;
    // JSON texts tell 1 from 1.0 and true, as the filter does; float thresholds by their bits
    // (the text of a NaN is null), integer ones by their text.
    std::string out(1, static_cast<char>('A' + static_cast<int>(kind_)));
    auto text = [&](const std::string& t) {
        out += std::to_string(t.size());
        out += ':';
        out += t;
    };
    switch (kind_) {
        case Kind::And:
        case Kind::Or:
        case Kind::Not:
            out += std::to_string(members_.size());
            for (const Filter& m : members_) text(m.key());
            break;
        case Kind::Eq:
        case Kind::Ne:
        case Kind::Contains:
            text(field_);
            text(value_.dump());
            break;
        case Kind::In:
            text(field_);
            out += std::to_string(values_.size());
            for (const Json& v : values_) text(v.dump());
            break;
        default:
            text(field_);
            if (value_.is_number_float()) {
                // Appended rather than concatenated: GCC 12 at -O3 misreads `"f" + std::string`
                // as an overlapping copy.
                std::string bits = "f";
                bits += std::to_string(std::bit_cast<std::uint64_t>(value_.get_ref<const Json::number_float_t&>()));
                text(bits);
            } else {
                text(value_.dump());
            }
            break;
    }
    return out;
}

}  // namespace qorel
