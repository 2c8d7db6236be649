#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/distance/distance.h"
#include "cosine_inputs.h"
#include "score_bits.h"

namespace tavrik {
namespace {

using Vec = std::vector<float>;

using testing_scores::expect_same;
using testing_scores::random_vector;
using testing_scores::same_bits;

TEST(CosineWithSquaredNorms, MatchesCosineSimilarityBitForBit) {
  std::mt19937 rng(99);
  for (std::size_t n = 0; n <= 1000; n += (n < 40 ? 1 : 37)) {
    for (int round = 0; round < 20; ++round) {
      const Vec a = random_vector(rng, n);
      const Vec b = random_vector(rng, n);
      const CosineResult direct = cosine_similarity(a, b);
      const CosineResult from_norms =
          cosine_similarity_with_squared_norms(dot_product(a, b), squared_norm(a), squared_norm(b));
      expect_same(direct, from_norms);
      EXPECT_TRUE(same_bits(cosine_distance(a, b),
                            cosine_distance_with_squared_norms(dot_product(a, b), squared_norm(a),
                                                       squared_norm(b))));
    }
  }
}

TEST(CosineWithSquaredNorms, ZeroFailsAndNaNPasses) {
  EXPECT_EQ(cosine_similarity_with_squared_norms(1.0f, 0.0f, 1.0f).error,
            CosineError::ZeroMagnitude);
  EXPECT_EQ(cosine_similarity_with_squared_norms(1.0f, 1.0f, -0.0f).error,
            CosineError::ZeroMagnitude);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(cosine_similarity_with_squared_norms(1.0f, nan, 1.0f).error, CosineError::None);
  EXPECT_EQ(cosine_distance_with_squared_norms(1.0f, 1.0f, 0.0f), kUncomparableDistance);
  // [1, 2, 3] and [2, 4, 6]: sums 28, 14 and 56 give the float just below 1.
  EXPECT_EQ(cosine_similarity_with_squared_norms(28.0f, 14.0f, 56.0f).similarity,
            std::nextafter(1.0f, 0.0f));
}

TEST(SquaredNorm, EmptyIsNegativeZero) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(squared_norm(Vec{})), 0x80000000u);
}

}  // namespace
}  // namespace tavrik
