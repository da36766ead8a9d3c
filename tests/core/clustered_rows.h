// Rows drawn around random centres, for tests whose graphs need neighbourhoods: centres from
// N(0, spread^2 I), unit Gaussian spread around them. The same seed gives the same rows.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace qorel {

inline std::vector<std::vector<float>> clustered(std::size_t n, std::size_t dim, std::size_t centres,
                                                 std::uint32_t seed, float centre_spread = 1.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<std::vector<float>> c(centres, std::vector<float>(dim));
    for (auto& v : c)
        for (auto& x : v) x = centre_spread * g(rng);
    std::uniform_int_distribution<std::size_t> pick(0, centres - 1);
    std::vector<std::vector<float>> out(n, std::vector<float>(dim));
    for (auto& v : out) {
        const auto& cc = c[pick(rng)];
        for (std::size_t d = 0; d < dim; ++d) v[d] = cc[d] + g(rng);
    }
    return out;
}

}  // namespace qorel
