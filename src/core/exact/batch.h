// Exact k-nearest search for a batch of queries: one matrix product per block of queries ×
// block of stored rows, instead of one pass over all rows per query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exact/scan.h"

namespace qorel {

// For each of the nq queries (row-major, rows.dim floats each): at most k (slot, distance)
// pairs, nearest first, never a row marked in `dead` (bit j % 64 of dead[j / 64], for the first
// `dead_words` words; null when none is). The same hits and distance conventions as the
// single-query scans give query by query (norm-based scores when nothing is deleted, pair
// distances otherwise), up to rounding in the last bits and the order of equal distances.
// Spreads blocks over the worker pool. REQUIRES: the rows stay unchanged meanwhile.
std::vector<std::vector<Candidate>> search_exact_batch(const ScanRows& rows, const std::uint64_t* dead,
                                                       std::size_t dead_words, const float* queries, std::size_t nq,
                                                       std::size_t k);

}  // namespace qorel
