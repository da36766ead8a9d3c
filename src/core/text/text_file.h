// "text.qorel": the full-text index's configuration beside the data files (its postings are
// rebuilt from the metadata when first needed). Layout: the 4 bytes "QTXT", uint32 version 1,
// uint8 stem flag, uint32 field length, the field's UTF-8 bytes, uint32 CRC-32 of all that
// precedes it. Save writes it through "text.tmp" and a rename before it deletes the log.
#pragma once

#include <optional>
#include <string>

#include "storage/env.h"
#include "text/text_index.h"

namespace qorel {

inline constexpr const char* kTextConfigFile = "text.qorel";

// None when the directory has no such file; CorruptData when it is not one this version wrote.
std::optional<TextConfig> read_text_config(Env& env, const std::string& directory);
void write_text_config(Env& env, const std::string& directory, const TextConfig& config);

}  // namespace qorel
