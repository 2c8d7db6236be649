#include "core/distance/distance.h"

#include <gtest/gtest.h>

#include "score_bits.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tavrik {
namespace {

using Vec = std::vector<float>;

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// Plain sequential references: one accumulator from -0.0f, one term at a
// time, every intermediate stored in a float.
float reference_dot(const Vec& a, const Vec& b) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) {
    float term = a[i] * b[i];
    sum = sum + term;
  }
  return sum;
}

float reference_euclid(const Vec& a, const Vec& b) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) {
    float difference = a[i] - b[i];
    float term = difference * difference;
    sum = sum + term;
  }
  return std::sqrt(sum);
}

using testing_scores::same_bits;

TEST(CosineSimilarity, ParallelVectorsLandJustBelowOne) {
  const CosineResult result = cosine_similarity(Vec{1, 2, 3}, Vec{2, 4, 6});
  ASSERT_EQ(result.error, CosineError::None);
  EXPECT_EQ(bits(result.similarity), bits(0.99999994f));
  EXPECT_EQ(bits(result.similarity), bits(std::nextafter(1.0f, 0.0f)));
}

TEST(CosineSimilarity, LengthIsCheckedBeforeMagnitude) {
  EXPECT_EQ(cosine_similarity(Vec{1, 0}, Vec{1, 0, 0}).error, CosineError::DimensionMismatch);
  EXPECT_EQ(cosine_similarity(Vec{0, 0}, Vec{0}).error, CosineError::DimensionMismatch);
  EXPECT_EQ(cosine_similarity(Vec{}, Vec{0}).error, CosineError::DimensionMismatch);
}

TEST(CosineSimilarity, ZeroNormsFailExactly) {
  EXPECT_EQ(cosine_similarity(Vec{0, 0}, Vec{1, 2}).error, CosineError::ZeroMagnitude);
  EXPECT_EQ(cosine_similarity(Vec{1, 2}, Vec{0, 0}).error, CosineError::ZeroMagnitude);
  EXPECT_EQ(cosine_similarity(Vec{}, Vec{}).error, CosineError::ZeroMagnitude);
  // Squares of 1e-23 underflow to zero in f32.
  EXPECT_EQ(cosine_similarity(Vec{1e-23f, 1e-23f, 1e-23f}, Vec{1, 1, 1}).error,
            CosineError::ZeroMagnitude);
  EXPECT_EQ(cosine_similarity(Vec{-0.0f}, Vec{1}).error, CosineError::ZeroMagnitude);
}

TEST(CosineSimilarity, NaNNormPassesAndIsNotClamped) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const CosineResult with_nan = cosine_similarity(Vec{nan, 1}, Vec{1, 1});
  EXPECT_EQ(with_nan.error, CosineError::None);
  EXPECT_TRUE(std::isnan(with_nan.similarity));
  const float inf = std::numeric_limits<float>::infinity();
  const CosineResult with_inf = cosine_similarity(Vec{inf}, Vec{1});
  EXPECT_EQ(with_inf.error, CosineError::None);
  EXPECT_TRUE(std::isnan(with_inf.similarity));  // inf / inf
}

TEST(CosineErrorMessage, TextsAreExact) {
  EXPECT_EQ(std::string(cosine_error_message(CosineError::DimensionMismatch)),
            "Dimension mismatch: Vector lengths must be structurally identical.");
  EXPECT_EQ(std::string(cosine_error_message(CosineError::ZeroMagnitude)),
            "Vector magnitude mathematically cannot be zero during cosine normalization steps.");
}

TEST(CosineDistance, ErrorsBecomeTheLargestFiniteFloat) {
  EXPECT_EQ(bits(cosine_distance(Vec{0, 0}, Vec{1, 1})), bits(3.4028235e38f));
  EXPECT_EQ(cosine_distance(Vec{1, 0}, Vec{1, 0, 0}), std::numeric_limits<float>::max());
  EXPECT_EQ(bits(cosine_distance(Vec{1, 2, 3}, Vec{2, 4, 6})), bits(1.0f - 0.99999994f));
}

TEST(DotAndEuclid, EmptySumsAreNegativeZero) {
  const float dot = dot_product(Vec{}, Vec{});
  const float euclid = euclidean_distance(Vec{}, Vec{});
  EXPECT_EQ(dot, 0.0f);
  EXPECT_TRUE(std::signbit(dot));
  EXPECT_EQ(euclid, 0.0f);
  EXPECT_TRUE(std::signbit(euclid));
}

TEST(DotAndEuclid, KnownValues) {
  EXPECT_EQ(euclidean_distance(Vec{0, 0}, Vec{3, 4}), 5.0f);
  EXPECT_EQ(dot_product(Vec{1, 2, 3}, Vec{4, 5, 6}), 32.0f);
  // Summation order matters: 1e8 + 1 - 1e8 is 0 in f32 order, not 1.
  EXPECT_EQ(dot_product(Vec{1e8f, 1, -1e8f}, Vec{1, 1, 1}), 0.0f);
}

// Random vectors drawn from a mix of magnitudes plus the occasional NaN,
// infinity or zero, so that rounding, overflow and propagation all show.
class RandomVectors {
 public:
  explicit RandomVectors(std::uint32_t seed) : engine_(seed) {}

  // With `specials`, about one component in fifty is NaN, an infinity or zero.
  Vec make(std::size_t length, bool specials) {
    Vec out(length);
    for (float& value : out) value = component(specials ? 50 : 0);
    return out;
  }

  std::size_t length() { return std::uniform_int_distribution<std::size_t>(0, 1000)(engine_); }

 private:
  float component(int special_odds) {
    const int kind =
        special_odds == 0 ? 4 : std::uniform_int_distribution<int>(0, special_odds - 1)(engine_);
    if (kind == 0) return std::numeric_limits<float>::quiet_NaN();
    if (kind == 1) return std::numeric_limits<float>::infinity();
    if (kind == 2) return -std::numeric_limits<float>::infinity();
    if (kind == 3) return 0.0f;
    const float exponent = std::uniform_real_distribution<float>(-20.0f, 20.0f)(engine_);
    const float mantissa = std::uniform_real_distribution<float>(-1.0f, 1.0f)(engine_);
    return mantissa * std::exp2(exponent);
  }

  std::mt19937 engine_;
};

TEST(DistanceKernels, MatchSequentialReferenceBitForBit) {
  RandomVectors random(20240611);
  for (int round = 0; round < 400; ++round) {
    const std::size_t length = random.length();
    const bool specials = round % 2 == 1;
    const Vec a = random.make(length, specials);
    const Vec b = random.make(length, specials);
    SCOPED_TRACE("round " + std::to_string(round) + " length " + std::to_string(length));

    EXPECT_TRUE(same_bits(dot_product(a, b), reference_dot(a, b)));
    EXPECT_TRUE(same_bits(euclidean_distance(a, b), reference_euclid(a, b)));

    const float na = reference_dot(a, a);
    const float nb = reference_dot(b, b);
    const CosineResult cosine = cosine_similarity(a, b);
    if (na == 0.0f || nb == 0.0f) {
      EXPECT_EQ(cosine.error, CosineError::ZeroMagnitude);
      continue;
    }
    ASSERT_EQ(cosine.error, CosineError::None);
    float norm_a = std::sqrt(na);
    float norm_b = std::sqrt(nb);
    float magnitude = norm_a * norm_b;
    float expected = reference_dot(a, b) / magnitude;
    EXPECT_TRUE(same_bits(cosine.similarity, expected));
    float expected_distance = 1.0f - expected;
    EXPECT_TRUE(same_bits(cosine_distance(a, b), expected_distance));
  }
}

}  // namespace
}  // namespace tavrik
