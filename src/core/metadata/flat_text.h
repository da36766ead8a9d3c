// Reading the stored text of flat metadata without building a JSON value.
//
// Metadata is stored as JSON text, and nearly all of it is one object of scalar members, such as
// {"page":12,"source":"notes.txt"}. Opening a database indexes every row's members; building a
// JSON value per row only to index it and drop it would cost most of the open. The scanner
// below accepts a strict subset of JSON in which a text means exactly what the full parser
// would make of it, and hands over each member's key and value text. Anything outside the
// subset (nested values, escapes, bytes above ASCII, repeated keys, long integers) is refused,
// and the caller falls back to the full parser, so the subset only decides speed, never meaning.
#pragma once

#include <cstddef>
#include <string_view>

namespace qorel {

enum class FlatKind { String, Number, Boolean, Null };

struct FlatMember {
    std::string_view key;    // the key's characters, without quotes (no escapes in the subset)
    std::string_view value;  // the value's JSON text, quotes included for a string
    FlatKind kind;
};

// Calls `on_member(const FlatMember&)` for each member of a flat object, in text order, and
// returns true; returns false (possibly after some calls) when the text is outside the subset.
// At most kMaxFlatMembers members are accepted.
template <class F>
bool scan_flat_object(std::string_view text, F&& on_member);

inline constexpr std::size_t kMaxFlatMembers = 32;

namespace flat_detail {

inline bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool digit(char c) { return c >= '0' && c <= '9'; }

// A string of printable ASCII without escapes, starting at the opening quote; returns the
// position after the closing quote, or npos.
inline std::size_t plain_string(std::string_view t, std::size_t i) {
    if (i >= t.size() || t[i] != '"') return std::string_view::npos;
    for (++i; i < t.size(); ++i) {
        const auto c = static_cast<unsigned char>(t[i]);
        if (c == '"') return i + 1;
        if (c == '\\' || c < 0x20 || c >= 0x7f) return std::string_view::npos;
    }
    return std::string_view::npos;
}

// A JSON number; integers (no fraction, no exponent) of at most 18 digits, so that they fit
// every integer type the parser might choose. Returns the position after it, or npos.
inline std::size_t number(std::string_view t, std::size_t i) {
    if (i < t.size() && t[i] == '-') ++i;
    if (i >= t.size() || !digit(t[i])) return std::string_view::npos;
    const std::size_t int_start = i;
    if (t[i] == '0') {
        ++i;
    } else {
        while (i < t.size() && digit(t[i])) ++i;
    }
    bool integer = true;
    if (i < t.size() && t[i] == '.') {
        integer = false;
        ++i;
        if (i >= t.size() || !digit(t[i])) return std::string_view::npos;
        while (i < t.size() && digit(t[i])) ++i;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        integer = false;
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (i >= t.size() || !digit(t[i])) return std::string_view::npos;
        // Exponents of three digits and more may overflow or underflow: the full parser decides.
        const std::size_t exp_start = i;
        while (i < t.size() && digit(t[i])) ++i;
        if (i - exp_start > 2) return std::string_view::npos;
    }
    if (integer && i - int_start > 18) return std::string_view::npos;
    return i;
}

}  // namespace flat_detail

template <class F>
bool scan_flat_object(std::string_view t, F&& on_member) {
    using namespace flat_detail;
    constexpr auto npos = std::string_view::npos;
    // The keys seen so far, for the repeat check. Left uninitialised: only the first `count`
    // are read, and zeroing the whole array on every call costs a noticeable share of an open
    // that scans one short text per row.
    struct SeenKey {
        const char* data;
        std::size_t size;
    };
    SeenKey keys[kMaxFlatMembers];
    std::size_t count = 0;
    std::size_t i = 0;
    auto skip = [&] {
        while (i < t.size() && space(t[i])) ++i;
    };
    skip();
    if (i >= t.size() || t[i] != '{') return false;
    ++i;
    skip();
    if (i < t.size() && t[i] == '}') {
        ++i;
        skip();
        return i == t.size();
    }
    while (true) {
        const std::size_t key_end = plain_string(t, i);
        if (key_end == npos) return false;
        const std::string_view key = t.substr(i + 1, key_end - i - 2);
        // A repeated key: which occurrence wins is the full parser's business.
        for (std::size_t k = 0; k < count; ++k) {
            if (std::string_view(keys[k].data, keys[k].size) == key) return false;
        }
        if (count == kMaxFlatMembers) return false;
        keys[count++] = SeenKey{key.data(), key.size()};
        i = key_end;
        skip();
        if (i >= t.size() || t[i] != ':') return false;
        ++i;
        skip();
        if (i >= t.size()) return false;
        std::size_t end;
        FlatKind kind;
        const char c = t[i];
        if (c == '"') {
            end = plain_string(t, i);
            kind = FlatKind::String;
        } else if (c == '-' || digit(c)) {
            end = number(t, i);
            kind = FlatKind::Number;
        } else if (t.substr(i, 4) == "true") {
            end = i + 4;
            kind = FlatKind::Boolean;
        } else if (t.substr(i, 5) == "false") {
            end = i + 5;
            kind = FlatKind::Boolean;
        } else if (t.substr(i, 4) == "null") {
            end = i + 4;
            kind = FlatKind::Null;
        } else {
            return false;
        }
        if (end == npos) return false;
        on_member(FlatMember{key, t.substr(i, end - i), kind});
        i = end;
        skip();
        if (i >= t.size()) return false;
        if (t[i] == '}') {
            ++i;
            skip();
            return i == t.size();
        }
        if (t[i] != ',') return false;
        ++i;
        skip();
    }
}

}  // namespace qorel
