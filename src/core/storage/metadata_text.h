// The text under which metadata is stored, in the log's records and in the graph file's
// metadata section alike: compact JSON, bounded in depth, always valid UTF-8. One codec for
// both files, so that a value reads back the same from either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "types.h"

namespace qorel {

// Metadata nested deeper than this (containers within containers; {} is depth 1) is neither
// written nor read back. The JSON library serialises, compares and copies values recursively,
// so an unbounded depth coming from a damaged file would overflow the stack later on; the bound
// is far beyond anything Python's json module builds with its default recursion limit.
inline constexpr std::size_t kMaxMetadataDepth = 1000;

// The compact JSON text under which metadata is stored, or nullopt when the value is nested
// deeper than kMaxMetadataDepth. Strings that are not valid UTF-8 (the JSON library refuses to
// serialise them) have each bad byte replaced by U+FFFD, so the text always parses back.
std::optional<std::string> metadata_text(const Json& value);

// Parses stored metadata text; nullopt when it is not JSON or is nested too deeply.
std::optional<Json> parse_metadata_text(std::span<const std::uint8_t> text);

// The offset of the first byte that does not belong to a well-formed UTF-8 sequence (overlong
// forms, surrogates and code points above U+10FFFF are ill-formed), or nullopt when the whole
// text is valid.
std::optional<std::size_t> utf8_error_offset(std::string_view text);

}  // namespace qorel
