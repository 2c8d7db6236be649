#include "core/query/prepared_query.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <vector>

#include "core/distance/distance.h"
#include "core/distance/lane_kernels.h"
#include "core/vector/point.h"
#include "cosine_inputs.h"
#include "score_bits.h"

namespace tavrik {
namespace {

using Vec = std::vector<float>;

using testing_scores::expect_same;
using testing_scores::random_vector;
using testing_scores::same_bits;

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
