#include <gtest/gtest.h>

#include "score_bits.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/distance/distance.h"
#include "core/distance/lane_kernels.h"
#include "core/distance/prepared_query.h"
#include "core/vector/point.h"

namespace tavrik {
namespace {

using Vec = std::vector<float>;

using testing_scores::same_bits;

Vec random_vector(std::mt19937& rng, std::size_t length) {
  std::uniform_int_distribution<int> roll(0, 99);
  std::uniform_real_distribution<float> value(-3.0f, 3.0f);
  Vec v(length);
  for (float& x : v) {
    switch (roll(rng)) {
      case 0: x = std::numeric_limits<float>::quiet_NaN(); break;
      case 1: x = std::numeric_limits<float>::infinity(); break;
      case 2: x = 0.0f; break;
      case 3: x = 1e-23f; break;
      default: x = value(rng);
    }
  }
  // Some vectors are all zero, or too small to have a norm.
  if (roll(rng) < 5) std::fill(v.begin(), v.end(), 0.0f);
  if (roll(rng) < 5) std::fill(v.begin(), v.end(), 1e-23f);
  return v;
}

void expect_same(const CosineResult& a, const CosineResult& b) {
  ASSERT_EQ(a.error, b.error);
  if (a.error == CosineError::None) {
    EXPECT_TRUE(same_bits(a.similarity, b.similarity));
  }
}

TEST(CosineWithNorms, MatchesCosineSimilarityBitForBit) {
  std::mt19937 rng(99);
  for (std::size_t n = 0; n <= 1000; n += (n < 40 ? 1 : 37)) {
    for (int round = 0; round < 20; ++round) {
      const Vec a = random_vector(rng, n);
      const Vec b = random_vector(rng, n);
      const CosineResult direct = cosine_similarity(a, b);
      const CosineResult from_norms =
          cosine_similarity_with_norms(dot_product(a, b), squared_norm(a), squared_norm(b));
      expect_same(direct, from_norms);
      EXPECT_TRUE(same_bits(cosine_distance(a, b),
                            cosine_distance_with_norms(dot_product(a, b), squared_norm(a),
                                                       squared_norm(b))));
    }
  }
}

TEST(CosineWithNorms, ZeroNormsFailAndNaNNormsPass) {
  EXPECT_EQ(cosine_similarity_with_norms(1.0f, 0.0f, 1.0f).error, CosineError::ZeroMagnitude);
  EXPECT_EQ(cosine_similarity_with_norms(1.0f, 1.0f, -0.0f).error, CosineError::ZeroMagnitude);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(cosine_similarity_with_norms(1.0f, nan, 1.0f).error, CosineError::None);
  EXPECT_EQ(cosine_distance_with_norms(1.0f, 1.0f, 0.0f), kUncomparableDistance);
  // [1, 2, 3] and [2, 4, 6]: sums 28, 14 and 56 give the float just below 1.
  EXPECT_EQ(cosine_similarity_with_norms(28.0f, 14.0f, 56.0f).similarity,
            std::nextafter(1.0f, 0.0f));
}

TEST(SquaredNorm, EmptyIsNegativeZero) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(squared_norm(Vec{})), 0x80000000u);
}

TEST(PointSquaredNorm, CachedOrComputedGiveTheSameBits) {
  std::mt19937 rng(5);
  for (std::size_t n : {0, 1, 3, 128, 1000}) {
    Point point;
    point.vector = random_vector(rng, n);
    const float computed = squared_norm_of(point);  // nothing cached yet
    cache_squared_norm(point);
    EXPECT_TRUE(same_bits(computed, squared_norm(point.vector)));
    EXPECT_TRUE(same_bits(squared_norm_of(point), squared_norm(point.vector)));
  }
}

TEST(PointSquaredNorm, ANormWithTheUnknownPatternIsRecomputed) {
  Point point;
  point.vector = {std::bit_cast<float>(kUnknownSquaredNormBits)};
  cache_squared_norm(point);
  EXPECT_TRUE(std::isnan(squared_norm_of(point)));
}

// Every group size, stored vectors of the query's length and of others, zero,
// tiny, NaN and infinite components, cached norms or not: each lane gives
// exactly cosine_similarity / cosine_distance of its own pair.
TEST(PreparedQueryLanes, MatchCosineOfEachPairBitForBit) {
  std::mt19937 rng(17);
  for (const std::size_t n : {0, 1, 3, 4, 7, 128, 131}) {
    for (int round = 0; round < 60; ++round) {
      const Vec query = random_vector(rng, n);
      const PreparedQuery prepared(query);
      const std::size_t count = 1 + static_cast<std::size_t>(round) % kLaneCount;
      std::vector<Point> stored(count);
      const Point* lanes[kLaneCount] = {};
      for (std::size_t l = 0; l < count; ++l) {
        const std::size_t length = rng() % 5 == 0 ? n + 1 : n;
        stored[l].vector = random_vector(rng, length);
        if (rng() % 2 == 0) cache_squared_norm(stored[l]);
        lanes[l] = &stored[l];
      }
      CosineResult similarities[kLaneCount];
      float distances[kLaneCount];
      prepared.cosine_similarities_to(lanes, count, similarities);
      prepared.cosine_distances_to(lanes, count, distances);
      for (std::size_t l = 0; l < count; ++l) {
        expect_same(similarities[l], cosine_similarity(query, stored[l].vector));
        EXPECT_TRUE(same_bits(distances[l], cosine_distance(query, stored[l].vector)));
        EXPECT_TRUE(same_bits(prepared.cosine_distance_to(stored[l]),
                              cosine_distance(query, stored[l].vector)));
      }
    }
  }
}

// Different queries side by side, some of another length than the rest or
// than their point, zero and NaN norms among them: each lane is the
// distance of its own pair.
TEST(PreparedQueryLanes, PairsOfDifferentQueriesMatchEachPairAlone) {
  std::mt19937 rng(29);
  for (const std::size_t n : {0, 1, 5, 128, 131}) {
    for (int round = 0; round < 60; ++round) {
      const std::size_t count = 1 + static_cast<std::size_t>(round) % kLaneCount;
      std::vector<Vec> query_vectors;
      std::vector<Point> stored(count);
      for (std::size_t l = 0; l < count; ++l) {
        const std::size_t query_length = rng() % 7 == 0 ? n + 2 : n;
        query_vectors.push_back(random_vector(rng, query_length));
        const std::size_t point_length = rng() % 7 == 0 ? n + 1 : query_length;
        stored[l].vector = random_vector(rng, point_length);
        if (rng() % 2 == 0) cache_squared_norm(stored[l]);
      }
      std::vector<PreparedQuery> prepared;
      for (const Vec& q : query_vectors) prepared.emplace_back(q);
      const PreparedQuery* queries[kLaneCount] = {};
      const Point* points[kLaneCount] = {};
      for (std::size_t l = 0; l < count; ++l) {
        queries[l] = &prepared[l];
        points[l] = &stored[l];
      }
      float distances[kLaneCount];
      cosine_distances_between(queries, points, count, distances);
      for (std::size_t l = 0; l < count; ++l) {
        EXPECT_TRUE(same_bits(distances[l], cosine_distance(query_vectors[l], stored[l].vector)))
            << "n=" << n << " round=" << round << " lane=" << l;
      }
    }
  }
}

}  // namespace
}  // namespace tavrik
