// Finding intact log records behind damage, and keeping damaged log bytes aside before the log
// is cut, so that nothing a damaged region may hide is thrown away.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "storage/env.h"

namespace qorel {

// The first offset at or after `from` where a complete record of a known kind with a matching
// CRC begins, or nullopt. This is how intact records are found again behind damage.
std::optional<std::uint64_t> find_intact_record(std::span<const std::uint8_t> bytes, std::uint64_t from);

// Whether bytes from `from` on may hold intact records: one was found, or the search gave up
// (crafted bytes could make it quadratic, so it checksums a bounded number of bytes).
bool may_hide_records(std::span<const std::uint8_t> bytes, std::uint64_t from);

// Copies the bytes of the log at `path` from `from` on to the next free "<path>.damaged-N" (an
// existing file is never overwritten), synced with its directory. Returns the side file's
// path, or nullopt when the log is gone (and the damage with it). Throws Io on failure, leaving
// no side file behind.
std::optional<std::string> keep_damaged_tail(Env& env, const std::string& path, std::uint64_t from);

}  // namespace qorel
