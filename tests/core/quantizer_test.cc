// SQ8 quantizer: training bounds, the exact code of every value (rounding, saturation, NaN),
// vector paths against the scalar definition, and the saved layout.
#include "quantizer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "distance.h"
#include "error.h"
#include "codec.h"

namespace qorel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kFloatMax = std::numeric_limits<float>::max();

// The code of one value straight from its definition.
std::uint8_t reference_code(float v, float min, float scale) {
    float x = (v - min) / scale;
    if (std::isnan(x)) return 0;
    if (x < 0.0f) x = 0.0f;
    if (x > 255.0f) x = 255.0f;
    return static_cast<std::uint8_t>(std::round(x));  // halves away from zero
}

// scale * c rounded to float, then + min rounded to float. Going through double keeps both
// roundings explicit (double holds the float product exactly and rounds the sum innocuously),
// so no contraction can sneak into the reference itself.
float reference_decode(std::uint8_t c, float min, float scale) {
    const float product = static_cast<float>(static_cast<double>(scale) * c);
    return static_cast<float>(static_cast<double>(product) + static_cast<double>(min));
}

bool same_float(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

std::vector<std::size_t> odd_dims() {
    std::vector<std::size_t> dims;
    for (std::size_t d = 1; d <= 40; ++d) dims.push_back(d);
    for (std::size_t d : {47, 100, 128, 131}) dims.push_back(d);
    return dims;
}

TEST(QuantizerTest, TrainingRoundingAndSaturation) {
    const ScalarQuantizer q = ScalarQuantizer::train(std::vector<float>{0, 10, 255, 10}, 2);
    EXPECT_EQ(q.dim, 2u);
    EXPECT_EQ(q.mins, (std::vector<float>{0, 10}));
    EXPECT_EQ(q.scales, (std::vector<float>{1, 1}));  // a constant dimension gets scale 1
    using Codes = std::vector<std::uint8_t>;
    EXPECT_EQ(q.quantize(std::vector<float>{127.5f, 10}), (Codes{128, 0}));
    EXPECT_EQ(q.quantize(std::vector<float>{-3, 12}), (Codes{0, 2}));
    EXPECT_EQ(q.quantize(std::vector<float>{300, 9}), (Codes{255, 0}));
    EXPECT_EQ(q.quantize(std::vector<float>{0.5f, 10.49f}), (Codes{1, 0}));
    EXPECT_EQ(q.quantize(std::vector<float>{254.5f, 10.5f}), (Codes{255, 1}));
    EXPECT_EQ(q.quantize(std::vector<float>{0.49999997f, -0.0f}), (Codes{0, 0}));
    EXPECT_TRUE(q.quantize({}).empty());

    // 5 / (10/255) is 127.49999 in float: the float division decides, not exact arithmetic.
    const ScalarQuantizer r = ScalarQuantizer::train(std::vector<float>{0, 10}, 1);
    EXPECT_EQ(r.scales[0], 10.0f / 255.0f);
    EXPECT_EQ(r.quantize(std::vector<float>{5}), Codes{127});
    EXPECT_EQ(r.quantize(std::vector<float>{10}), Codes{255});

    // A single row: every range is 0, every scale 1, and the row itself encodes to zeros.
    const std::vector<float> row = {1.5f, -2.0f, 7.0f};
    const ScalarQuantizer s = ScalarQuantizer::train(row, 3);
    EXPECT_EQ(s.mins, row);
    EXPECT_EQ(s.scales, (std::vector<float>{1, 1, 1}));
    EXPECT_EQ(s.quantize(row), (Codes{0, 0, 0}));

    // Only whole rows count: the trailing 99 is not a row.
    const ScalarQuantizer t = ScalarQuantizer::train(std::vector<float>{0, 10, 99}, 2);
    EXPECT_EQ(t.mins, (std::vector<float>{0, 10}));
    EXPECT_EQ(t.scales, (std::vector<float>{1, 1}));

    EXPECT_THROW(ScalarQuantizer::train(row, 0), InternalError);
    EXPECT_THROW(s.quantize(std::vector<float>{1, 2}), InternalError);
}

TEST(QuantizerTest, NoCompleteRowAndNaN) {
    for (const std::vector<float>& data : {std::vector<float>{}, std::vector<float>{1, 2}}) {
        const ScalarQuantizer q = ScalarQuantizer::train(data, 3);
        ASSERT_EQ(q.mins.size(), 3u);
        for (std::size_t d = 0; d < 3; ++d) {
            EXPECT_EQ(q.mins[d], kFloatMax);
            EXPECT_EQ(q.scales[d], -kInf);  // the range overflows
        }
        EXPECT_EQ(q.quantize(std::vector<float>{0, -1e30f, 1e30f}), (std::vector<std::uint8_t>{0, 0, 0}));
    }

    // A NaN never becomes a bound; a dimension that only ever saw NaN keeps the empty bounds.
    const ScalarQuantizer q = ScalarQuantizer::train(std::vector<float>{kNaN, 1, kNaN, 2, kNaN, kNaN, 4, 3, kNaN}, 3);
    EXPECT_EQ(q.mins[0], 2.0f);
    EXPECT_EQ(q.mins[1], 1.0f);
    EXPECT_EQ(q.scales[0], 2.0f / 255.0f);
    EXPECT_EQ(q.scales[1], 2.0f / 255.0f);
    EXPECT_EQ(q.mins[2], kFloatMax);
    EXPECT_EQ(q.scales[2], -kInf);
    EXPECT_EQ(q.quantize(std::vector<float>{kNaN, kInf, kNaN}), (std::vector<std::uint8_t>{0, 255, 0}));
    EXPECT_EQ(q.quantize(std::vector<float>{-kInf, 3, 5}), (std::vector<std::uint8_t>{0, 255, 0}));
}

TEST(QuantizerTest, EncodingMatchesDefinitionOnEveryDimension) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> train_value(-2.0f, 3.0f), probe(-4.0f, 5.0f);
    std::uniform_int_distribution<int> pick(0, 15);
    const float specials[] = {kNaN, kInf, -kInf, -0.0f, 0.0f, 1e-40f, 1e38f, -1e38f};
    for (std::size_t dim : odd_dims()) {
        std::vector<float> rows(8 * dim);
        for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = train_value(rng);
        for (std::size_t d = 0; d < dim; d += 5) {
            for (std::size_t r = 0; r < 8; ++r) rows[r * dim + d] = 1.25f;  // constant: scale 1
        }
        const ScalarQuantizer q = ScalarQuantizer::train(rows, dim);
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<float> v(dim);
            for (float& x : v) {
                const int p = pick(rng);
                x = p < 8 ? specials[p] : probe(rng);
            }
            if (trial == 0) std::copy(q.mins.begin(), q.mins.end(), v.begin());
            const std::vector<std::uint8_t> codes = q.quantize(v);
            ASSERT_EQ(codes.size(), dim);
            for (std::size_t d = 0; d < dim; ++d) {
                ASSERT_EQ(codes[d], reference_code(v[d], q.mins[d], q.scales[d]))
                    << "dim=" << dim << " d=" << d << " v=" << v[d];
            }
        }
    }

    // Every half and its neighbours on a unit grid, at every position of the vector paths.
    const std::size_t dim = 37;
    const ScalarQuantizer unit{std::vector<float>(dim, 0.0f), std::vector<float>(dim, 1.0f), dim};
    for (int k = -4; k < 2 * 256 + 4; ++k) {
        const float half = 0.5f * static_cast<float>(k);
        for (float x : {std::nextafter(half, -kInf), half, std::nextafter(half, kInf)}) {
            const std::vector<std::uint8_t> codes = unit.quantize(std::vector<float>(dim, x));
            for (std::size_t d = 0; d < dim; ++d) ASSERT_EQ(codes[d], reference_code(x, 0, 1)) << x << " d=" << d;
        }
    }
}

TEST(QuantizerTest, DecodingIsProductThenSum) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    std::uniform_int_distribution<int> exponent(-20, 20), code(0, 255), sign(0, 1);
    auto random_float = [&] { return (sign(rng) ? -1.0f : 1.0f) * std::ldexp(mantissa(rng), exponent(rng)); };
    std::size_t fused_would_differ = 0;
    for (std::size_t dim : odd_dims()) {
        ScalarQuantizer q{std::vector<float>(dim), std::vector<float>(dim), dim};
        for (std::size_t d = 0; d < dim; ++d) {
            q.mins[d] = random_float();
            q.scales[d] = std::fabs(random_float());
        }
        std::vector<std::uint8_t> codes(dim);
        std::vector<float> out(dim);
        for (int trial = 0; trial < 20; ++trial) {
            for (auto& c : codes) c = static_cast<std::uint8_t>(code(rng));
            q.decode(codes.data(), out.data());
            for (std::size_t d = 0; d < dim; ++d) {
                const float want = reference_decode(codes[d], q.mins[d], q.scales[d]);
                ASSERT_TRUE(same_float(out[d], want)) << "dim=" << dim << " d=" << d << ": " << out[d] << " vs " << want;
                if (std::fma(q.scales[d], static_cast<float>(codes[d]), q.mins[d]) != want) ++fused_would_differ;
            }
        }
    }
    // The data is able to tell a fused multiply-add from the two roundings.
    EXPECT_GT(fused_would_differ, 100u);

    // Decoding undoes encoding to within half a step for values inside the trained range.
    std::uniform_real_distribution<float> value(-3.0f, 6.0f);
    const std::size_t dim = 50;
    std::vector<float> rows(4 * dim);
    for (float& x : rows) x = value(rng);
    const ScalarQuantizer q = ScalarQuantizer::train(rows, dim);
    std::vector<float> back(dim);
    for (std::size_t r = 0; r < 4; ++r) {
        const std::span<const float> row(rows.data() + r * dim, dim);
        q.decode(q.quantize(row).data(), back.data());
        for (std::size_t d = 0; d < dim; ++d) EXPECT_NEAR(back[d], row[d], 0.5001f * q.scales[d]) << "d=" << d;
    }
}

TEST(QuantizerTest, BatchIsRowCodesConcatenated) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    const std::size_t dim = 19;
    std::vector<float> data(5 * dim + 7);  // the 7 floats after the last row are no row
    for (float& x : data) x = value(rng);
    const ScalarQuantizer q = ScalarQuantizer::train(data, dim);
    const std::vector<std::uint8_t> batch = q.quantize_batch(data, dim);
    ASSERT_EQ(batch.size(), 5 * dim);
    for (std::size_t r = 0; r < 5; ++r) {
        const std::vector<std::uint8_t> one = q.quantize(std::span<const float>(data.data() + r * dim, dim));
        EXPECT_TRUE(std::equal(one.begin(), one.end(), batch.begin() + static_cast<std::ptrdiff_t>(r * dim))) << r;
    }
    EXPECT_TRUE(q.quantize_batch({}, dim).empty());
    EXPECT_THROW(q.quantize_batch(data, dim + 1), InternalError);
}

TEST(QuantizerTest, SaveLoadLayoutAndTruncation) {
    const ScalarQuantizer q{{-1.5f, 2.0f}, {0.25f, -kInf}, 2};
    std::vector<std::uint8_t> bytes;
    q.save(bytes);
    ASSERT_EQ(bytes.size(), 4u + 8 * 2);
    std::vector<std::uint8_t> expected;
    ByteWriter w(expected);
    w.u32(2);
    for (float f : {-1.5f, 2.0f, 0.25f, -kInf}) w.f32(f);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(bytes[0], 2);  // little-endian dimension first

    // Load stops at the first code byte.
    std::vector<std::uint8_t> file = bytes;
    file.insert(file.end(), {7, 8, 9, 10});
    std::size_t consumed = 0;
    const ScalarQuantizer back = ScalarQuantizer::load(file, &consumed);
    EXPECT_EQ(consumed, bytes.size());
    EXPECT_EQ(back.dim, 2u);
    EXPECT_EQ(back.mins, q.mins);
    EXPECT_EQ(back.scales, q.scales);

    // Non-finite and signed-zero fields survive bit for bit.
    const ScalarQuantizer odd{{kNaN, -0.0f, 1e-40f}, {kInf, kNaN, -kInf}, 3};
    std::vector<std::uint8_t> odd_bytes;
    odd.save(odd_bytes);
    const ScalarQuantizer odd_back = ScalarQuantizer::load(odd_bytes, &consumed);
    EXPECT_EQ(consumed, odd_bytes.size());
    for (std::size_t d = 0; d < 3; ++d) {
        EXPECT_TRUE(same_float(odd_back.mins[d], odd.mins[d]));
        EXPECT_TRUE(same_float(odd_back.scales[d], odd.scales[d]));
    }

    const std::string eof = QorelError::corrupt_file(kUnexpectedEof).what();
    for (std::size_t len = 0; len < bytes.size(); ++len) {
        try {
            ScalarQuantizer::load(std::span<const std::uint8_t>(bytes.data(), len), &consumed);
            ADD_FAILURE() << "loaded from " << len << " bytes";
        } catch (const QorelError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::CorruptData);
            EXPECT_EQ(std::string(e.what()), eof);
        }
    }

    // A huge dimension in a short file fails on the length check, before any allocation.
    std::vector<std::uint8_t> huge = {0xFF, 0xFF, 0xFF, 0xFF};
    huge.resize(64, 0);
    EXPECT_THROW(ScalarQuantizer::load(huge, &consumed), QorelError);

    // Dimension 0 is just the header.
    std::vector<std::uint8_t> empty;
    ScalarQuantizer{{}, {}, 0}.save(empty);
    EXPECT_EQ(empty.size(), 4u);
    EXPECT_EQ(ScalarQuantizer::load(empty, &consumed).dim, 0u);
    EXPECT_EQ(consumed, 4u);
}

}  // namespace
}  // namespace qorel

namespace qorel {
namespace {

// Distances straight from the codes must match decoding first and then measuring, for every
// metric and for dimensions with and without a tail.
TEST(QuantizerTest, DistanceToCodesMatchesDecodeThenMeasure) {
    std::mt19937 rng(5);
    std::normal_distribution<float> g(0.0f, 2.0f);
    for (std::size_t dim : {1, 7, 8, 9, 31, 128}) {
        std::vector<float> data(50 * dim);
        for (float& x : data) x = g(rng);
        const ScalarQuantizer q = ScalarQuantizer::train(data, dim);
        const std::vector<std::uint8_t> codes = q.quantize_batch(data, dim);
        std::vector<float> query(dim), decoded(dim);
        for (float& x : query) x = g(rng);
        for (std::size_t row = 0; row < 50; ++row) {
            q.decode(codes.data() + row * dim, decoded.data());
            for (Metric m : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
                const float want = distance(query.data(), decoded.data(), dim, m);
                const float got = q.distance_to_codes(query.data(), codes.data() + row * dim, m);
                EXPECT_NEAR(got, want, 1e-4f * (1.0f + std::fabs(want))) << dim << " " << static_cast<int>(m);
            }
        }
    }
}

}  // namespace
}  // namespace qorel
