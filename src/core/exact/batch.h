// Exact k-nearest search for a batch of queries: one matrix product per block of queries ×
// block of stored rows, instead of one pass over all rows per query.
#pragma once

#include <cstddef>
#include <vector>

#include "hnsw/index.h"

namespace qorel {

// For each of the nq queries (row-major, index.dim() floats each): at most k (slot, distance)
// pairs, nearest first, never a deleted slot; the same hits and distance conventions as
// HnswIndex::search_brute_force gives query by query (norm-based scores when nothing is deleted,
// pair distances otherwise), up to rounding in the last bits and the order of equal distances.
// Spreads blocks over the worker pool. REQUIRES: the index lock held shared.
std::vector<std::vector<Candidate>> search_exact_batch(const HnswIndex& index, const float* queries, std::size_t nq,
                                                       std::size_t k);

}  // namespace qorel
