#include "metadata/json_value.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string_view>

#include "error.h"

namespace qorel {
namespace {

// The value classes that equality distinguishes. Integers are split by sign rather than by the
// library's storage tag (see the header).
enum class Kind : std::uint8_t {
    Null,
    Boolean,
    NonNegativeInteger,
    NegativeInteger,
    Float,
    String,
    Array,
    Object,
    Binary,
    Discarded,
};

Kind kind_of(const Json& v) {
    switch (v.type()) {
        case Json::value_t::null: return Kind::Null;
        case Json::value_t::boolean: return Kind::Boolean;
        case Json::value_t::number_unsigned: return Kind::NonNegativeInteger;
        case Json::value_t::number_integer:
            return v.get_ref<const Json::number_integer_t&>() < 0 ? Kind::NegativeInteger
                                                                  : Kind::NonNegativeInteger;
        case Json::value_t::number_float: return Kind::Float;
        case Json::value_t::string: return Kind::String;
        case Json::value_t::array: return Kind::Array;
        case Json::value_t::object: return Kind::Object;
        case Json::value_t::binary: return Kind::Binary;
        case Json::value_t::discarded: return Kind::Discarded;
    }
    return Kind::Discarded;
}

// The integer of a value of kind NonNegativeInteger, whichever way the library stores it.
std::uint64_t non_negative_payload(const Json& v) {
    if (v.is_number_unsigned()) return v.get_ref<const Json::number_unsigned_t&>();
    return static_cast<std::uint64_t>(v.get_ref<const Json::number_integer_t&>());
}

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

std::uint64_t combine(std::uint64_t seed, std::uint64_t value) {
    return mix(seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2)));
}

std::uint64_t hash_bytes(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

}  // namespace

bool json_equal(const Json& a, const Json& b) {
    const Kind kind = kind_of(a);
    if (kind != kind_of(b)) return false;
    switch (kind) {
        case Kind::Null: return true;
        case Kind::Boolean: return a.get_ref<const Json::boolean_t&>() == b.get_ref<const Json::boolean_t&>();
        case Kind::NonNegativeInteger: return non_negative_payload(a) == non_negative_payload(b);
        case Kind::NegativeInteger:
            return a.get_ref<const Json::number_integer_t&>() == b.get_ref<const Json::number_integer_t&>();
        case Kind::Float:
            return a.get_ref<const Json::number_float_t&>() == b.get_ref<const Json::number_float_t&>();
        case Kind::String: return a.get_ref<const Json::string_t&>() == b.get_ref<const Json::string_t&>();
        case Kind::Array: {
            const auto& x = a.get_ref<const Json::array_t&>();
            const auto& y = b.get_ref<const Json::array_t&>();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!json_equal(x[i], y[i])) return false;
            }
            return true;
        }
        case Kind::Object: {
            // Both maps keep their keys sorted, so equal objects line up member by member.
            const auto& x = a.get_ref<const Json::object_t&>();
            const auto& y = b.get_ref<const Json::object_t&>();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
                if (i->first != j->first || !json_equal(i->second, j->second)) return false;
            }
            return true;
        }
        case Kind::Binary: return a.get_binary() == b.get_binary();
        case Kind::Discarded: return true;
    }
    return false;
}

std::size_t json_hash(const Json& value) {
    const Kind kind = kind_of(value);
    std::uint64_t h = mix(static_cast<std::uint64_t>(kind) + 1);
    switch (kind) {
        case Kind::Null:
        case Kind::Discarded: break;
        case Kind::Boolean: h = combine(h, value.get_ref<const Json::boolean_t&>() ? 1 : 0); break;
        case Kind::NonNegativeInteger: h = combine(h, non_negative_payload(value)); break;
        case Kind::NegativeInteger:
            h = combine(h, static_cast<std::uint64_t>(value.get_ref<const Json::number_integer_t&>()));
            break;
        case Kind::Float: {
            double d = value.get_ref<const Json::number_float_t&>();
            if (d == 0.0) d = 0.0;  // -0.0 equals 0.0, so it must hash alike
            h = combine(h, std::bit_cast<std::uint64_t>(d));
            break;
        }
        case Kind::String: h = combine(h, hash_bytes(value.get_ref<const Json::string_t&>())); break;
        case Kind::Array:
            for (const Json& element : value.get_ref<const Json::array_t&>()) h = combine(h, json_hash(element));
            break;
        case Kind::Object:
            for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
                h = combine(h, hash_bytes(key));
                h = combine(h, json_hash(member));
            }
            break;
        case Kind::Binary: {
            const auto& bytes = value.get_binary();
            h = combine(h, hash_bytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
            h = combine(h, bytes.has_subtype() ? bytes.subtype() + 1 : 0);
            break;
        }
    }
    return static_cast<std::size_t>(h);
}

double json_number_as_double(const Json& value) {
    switch (value.type()) {
        case Json::value_t::number_unsigned:
            return static_cast<double>(value.get_ref<const Json::number_unsigned_t&>());
        case Json::value_t::number_integer:
            return static_cast<double>(value.get_ref<const Json::number_integer_t&>());
        case Json::value_t::number_float: return value.get_ref<const Json::number_float_t&>();
        default: break;
    }
    QOREL_ASSERT(false, "json_number_as_double: value is not a number");
    return 0.0;
}

namespace {

// An integer of either sign, as the library may store it.
struct Integer {
    bool negative;
    std::int64_t signed_value;    // when negative
    std::uint64_t unsigned_value;  // when not negative
};

Integer integer_of(const Json& v) {
    if (v.is_number_unsigned()) return {false, 0, v.get_ref<const Json::number_unsigned_t&>()};
    const std::int64_t i = v.get_ref<const Json::number_integer_t&>();
    if (i < 0) return {true, i, 0};
    return {false, 0, static_cast<std::uint64_t>(i)};
}

std::strong_ordering compare_integers(const Integer& a, const Integer& b) {
    if (a.negative != b.negative) return a.negative ? std::strong_ordering::less : std::strong_ordering::greater;
    return a.negative ? a.signed_value <=> b.signed_value : a.unsigned_value <=> b.unsigned_value;
}

std::partial_ordering compare_integer_float(const Integer& a, double d) {
    if (std::isnan(d)) return std::partial_ordering::unordered;
    // Outside [-2**63, 2**64) the float lies beyond every integer the library holds.
    if (d >= 18446744073709551616.0) return std::partial_ordering::less;
    if (d < -9223372036854775808.0) return std::partial_ordering::greater;
    // Inside it, the float's integer part converts exactly; its fraction breaks a tie.
    const double whole = std::trunc(d);
    const Integer w = whole < 0 ? Integer{true, static_cast<std::int64_t>(whole), 0}
                                : Integer{false, 0, static_cast<std::uint64_t>(whole)};
    const std::strong_ordering c = compare_integers(a, w);
    if (c != 0) return c;
    return 0.0 <=> d - whole;
}

}  // namespace

std::partial_ordering json_number_compare(const Json& a, const Json& b) {
    const bool a_float = a.is_number_float();
    const bool b_float = b.is_number_float();
    QOREL_ASSERT(a.is_number() && b.is_number(), "json_number_compare: value is not a number");
    if (a_float && b_float) return a.get_ref<const Json::number_float_t&>() <=> b.get_ref<const Json::number_float_t&>();
    if (!a_float && !b_float) return compare_integers(integer_of(a), integer_of(b));
    if (b_float) return compare_integer_float(integer_of(a), b.get_ref<const Json::number_float_t&>());
    return 0 <=> compare_integer_float(integer_of(b), a.get_ref<const Json::number_float_t&>());
}

}  // namespace qorel
