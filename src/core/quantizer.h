// SQ8 scalar quantization: one byte per vector component, mapped linearly between that
// component's minimum and maximum over the training data. The codes only steer graph
// traversal; final distances always come from the full-precision vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "row_store.h"
#include "types.h"

namespace qorel {

struct ScalarQuantizer {
    std::vector<float> mins;    // per component: smallest training value
    std::vector<float> scales;  // per component: (max - min) / 255, or 1 when max == min
    std::size_t dim = 0;

    // Trains on floor(data.size() / dim) rows. dim must not be 0.
    static ScalarQuantizer train(std::span<const float> data, std::size_t dim);

    // One code per element of v (v may be shorter than dim only when empty).
    std::vector<std::uint8_t> quantize(std::span<const float> v) const;
    // Encodes exactly `dim` values into out[0..dim).
    void quantize_into(const float* v, std::uint8_t* out) const;
    // Codes of every whole row of data, concatenated in row order.
    std::vector<std::uint8_t> quantize_batch(std::span<const float> data, std::size_t dim) const;
    // Decodes `dim` codes: scale * code + min, product then sum, no fused multiply-add.
    void decode(const std::uint8_t* codes, float* out) const;

    // The pair distance between q and the decoded codes, computed without writing the decoded
    // vector out: the same decoded values as decode(), summed in another order. Traversal aid.
    float distance_to_codes(const float* q, const std::uint8_t* codes, Metric metric) const;

    // Appends dim (uint32), mins and scales, little-endian.
    void save(std::vector<std::uint8_t>& out) const;
    // Reads what save wrote from the front of `bytes`; sets *consumed to the bytes used.
    // Too few bytes: the I/O error "failed to fill whole buffer".
    static ScalarQuantizer load(std::span<const std::uint8_t> bytes, std::size_t* consumed);
};

// The quantized copy of an index: the quantizer and dim code bytes per slot, slot-major.
// The codes are a row store like the vectors: mapped from the saved codes file when the index
// was loaded from one, so that only codes written since cost the process memory.
struct QuantizedSearch {
    ScalarQuantizer quantizer;
    CodeStore codes;
};

}  // namespace qorel
