// Plain value types shared by every engine subsystem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace qorel {

// A vector's position inside one index. Handed out densely from 0 in insertion order and
// never reused; only compaction renumbers.
using Slot = std::uint32_t;

// "No slot": an empty index's entry point, or an absent slot.
inline constexpr Slot kNoSlot = 0xFFFFFFFFu;

// Stored as one byte in memory and in the graph file.
enum class Metric : std::uint8_t { Cosine = 0, Euclidean = 1, DotProduct = 2 };

// JSON values keep object keys in a std::map, so keys are always in ascending byte order.
using Json = nlohmann::json;

// One (slot, distance) pair; every search path works on arrays of these.
struct Candidate {
    Slot slot;
    float distance;
};

// Orders distances: the plain float less-than among numbers, with NaN after every number (a NaN
// never counts as nearer). Unlike the bare less-than it is a strict weak order, which heaps,
// selections and sorts need to stay within bounds.
inline bool distance_less(float a, float b) {
    if (a != a) return false;
    if (b != b) return true;
    return a < b;
}

inline bool candidate_less(const Candidate& a, const Candidate& b) { return distance_less(a.distance, b.distance); }

// Live slots times dimension below this: searches scan exactly instead of walking the graph.
inline constexpr std::uint64_t kBruteForceThreshold = 10'000'000;

}  // namespace qorel
