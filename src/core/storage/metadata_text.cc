#include "storage/metadata_text.h"

#include <cstring>
#include <utility>
#include <vector>

namespace qorel {
namespace {

// Whether no container in `value` lies deeper than `limit`, checked without recursion since the
// value itself may be arbitrarily deep.
bool depth_within(const Json& value, std::size_t limit) {
    if (!value.is_structured()) return true;
    std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 1}};
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        if (depth > limit) return false;
        for (const Json& child : *node) {
            if (child.is_structured()) pending.emplace_back(&child, depth + 1);
        }
    }
    return true;
}

// The same bound over JSON text, by counting open brackets outside strings. Only exact for
// well-formed text, which is all that matters: anything else fails to parse anyway.
bool text_depth_within(std::span<const std::uint8_t> text, std::size_t limit) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint8_t c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> metadata_text(const Json& value) {
    if (!depth_within(value, kMaxMetadataDepth)) return std::nullopt;
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<Json> parse_metadata_text(std::span<const std::uint8_t> text) {
    if (!text_depth_within(text, kMaxMetadataDepth)) return std::nullopt;
    Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

std::optional<std::size_t> utf8_error_offset(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    auto cont = [&](std::size_t at, unsigned lo, unsigned hi) { return at < n && s[at] >= lo && s[at] <= hi; };
    while (i < n) {
        // Ids and texts are mostly ASCII: eight such bytes are passed over at once.
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        unsigned c = s[i];
        if (c < 0x80) {
            ++i;
        } else if (c < 0xC2) {  // a stray continuation byte or an overlong two-byte form
            return i;
        } else if (c < 0xE0) {
            if (!cont(i + 1, 0x80, 0xBF)) return i;
            i += 2;
        } else if (c < 0xF0) {
            unsigned lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong three-byte forms
            unsigned hi = c == 0xED ? 0x9F : 0xBF;  // no UTF-16 surrogates
            if (!cont(i + 1, lo, hi) || !cont(i + 2, 0x80, 0xBF)) return i;
            i += 3;
        } else if (c < 0xF5) {
            unsigned lo = c == 0xF0 ? 0x90 : 0x80;  // no overlong four-byte forms
            unsigned hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
            if (!cont(i + 1, lo, hi) || !cont(i + 2, 0x80, 0xBF) || !cont(i + 3, 0x80, 0xBF)) return i;
            i += 4;
        } else {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace qorel
