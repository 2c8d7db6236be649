#include "core/distance/lane_kernels.h"
#include "core/distance/block_kernels.h"

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

namespace tavrik {
namespace {

using Vec = std::vector<float>;

using testing_scores::same_bits;

// Random components, with zeros, infinities, NaNs, subnormals and huge
// values mixed in at the given rate.
float component(std::mt19937& rng, int special_per_mille) {
  std::uniform_int_distribution<int> roll(0, 999);
  if (roll(rng) < special_per_mille) {
    switch (roll(rng) % 8) {
      case 0: return 0.0f;
      case 1: return -0.0f;
      case 2: return std::numeric_limits<float>::infinity();
      case 3: return -std::numeric_limits<float>::infinity();
      case 4: return std::numeric_limits<float>::quiet_NaN();
      case 5: return std::numeric_limits<float>::denorm_min() * static_cast<float>(roll(rng));
      case 6: return 3.0e38f;
      default: return 1e-23f;
    }
  }
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  return std::ldexp(value(rng), std::uniform_int_distribution<int>(-20, 20)(rng));
}

Vec random_vector(std::mt19937& rng, std::size_t length, int special_per_mille) {
  Vec v(length);
  for (float& x : v) x = component(rng, special_per_mille);
  return v;
}

std::vector<std::size_t> lengths() {
  std::vector<std::size_t> out;
  for (std::size_t n = 0; n <= 40; ++n) out.push_back(n);
  for (std::size_t n : {63, 64, 65, 127, 128, 129, 255, 256, 300, 511, 768, 999, 1000}) {
    out.push_back(n);
  }
  return out;
}

TEST(LaneKernels, EveryLaneMatchesTheSequentialKernels) {
  std::mt19937 rng(20240611);
  for (const std::size_t n : lengths()) {
    for (const int special : {0, 5, 200}) {
      for (std::size_t count = 0; count <= kLaneCount; ++count) {
        const Vec query = random_vector(rng, n, special);
        std::vector<Vec> stored;
        std::vector<const float*> pointers;
        for (std::size_t l = 0; l < count; ++l) stored.push_back(random_vector(rng, n, special));
        for (const Vec& v : stored) pointers.push_back(v.data());
        float dots[kLaneCount];
        float distances[kLaneCount];
        dot_product_lanes(query, pointers.data(), count, dots);
        euclidean_distance_lanes(query, pointers.data(), count, distances);
        for (std::size_t l = 0; l < count; ++l) {
          EXPECT_TRUE(same_bits(dots[l], dot_product(query, stored[l])))
              << "n=" << n << " count=" << count << " lane=" << l;
          EXPECT_TRUE(same_bits(distances[l], euclidean_distance(query, stored[l])))
              << "n=" << n << " count=" << count << " lane=" << l;
        }
      }
    }
  }
}

// Each lane its own query: every lane still equals dot_product of its own
// pair, and a query shared by some lanes changes nothing.
TEST(LaneKernels, PairLanesMatchTheSequentialDotProduct) {
  std::mt19937 rng(20261209);
  for (const std::size_t n : lengths()) {
    for (const int special : {0, 5, 200}) {
      for (std::size_t count = 0; count <= kLaneCount; ++count) {
        std::vector<Vec> queries, stored;
        std::vector<const float*> query_rows, pointers;
        for (std::size_t l = 0; l < count; ++l) {
          if (l % 3 == 2) {
            queries.push_back(queries[l - 1]);  // two lanes with equal queries
          } else {
            queries.push_back(random_vector(rng, n, special));
          }
          stored.push_back(random_vector(rng, n, special));
        }
        for (std::size_t l = 0; l < count; ++l) {
          query_rows.push_back(queries[l].data());
          pointers.push_back(stored[l].data());
        }
        float dots[kLaneCount];
        dot_product_pair_lanes(query_rows.data(), n, pointers.data(), count, dots);
        for (std::size_t l = 0; l < count; ++l) {
          EXPECT_TRUE(same_bits(dots[l], dot_product(queries[l], stored[l])))
              << "n=" << n << " count=" << count << " lane=" << l;
        }
      }
    }
  }
}

TEST(LaneKernels, SquaredNormLanesMatchTheSequentialNorm) {
  std::mt19937 rng(20261208);
  for (const std::size_t n : lengths()) {
    for (const int special : {0, 5, 200}) {
      for (std::size_t count = 0; count <= kLaneCount; ++count) {
        std::vector<Vec> stored;
        std::vector<const float*> pointers;
        for (std::size_t l = 0; l < count; ++l) stored.push_back(random_vector(rng, n, special));
        for (const Vec& v : stored) pointers.push_back(v.data());
        float squared_norms[kLaneCount];
        squared_norm_lanes(n, pointers.data(), count, squared_norms);
        for (std::size_t l = 0; l < count; ++l) {
          const float want = squared_norm(stored[l]);
          EXPECT_TRUE(same_bits(squared_norms[l], want))
              << "n=" << n << " count=" << count << " lane=" << l;
          if (!std::isnan(want)) {
            EXPECT_EQ(std::signbit(squared_norms[l]), std::signbit(want));
          }
        }
      }
    }
  }
}

// Blocks of sixteen interleaved vectors, as the exact scan keeps them: every
// lane of every block, tail blocks and groups of every size included, read
// in either order.
TEST(BlockKernels, EveryLaneMatchesTheSequentialKernels) {
  std::mt19937 rng(20261208);
  for (const std::size_t n : lengths()) {
    for (const int special : {0, 200}) {
      for (const std::size_t block_count : {0, 1, 2, 3, 4, 5, 8, 9}) {
        const Vec query = random_vector(rng, n, special);
        std::vector<Vec> stored;
        for (std::size_t v = 0; v < block_count * kBlockLanes; ++v) {
          stored.push_back(random_vector(rng, n, special));
        }
        Vec blocks(block_count * kBlockLanes * n);
        for (std::size_t v = 0; v < stored.size(); ++v) {
          for (std::size_t i = 0; i < n; ++i) {
            blocks[(v / kBlockLanes * n + i) * kBlockLanes + v % kBlockLanes] = stored[v][i];
          }
        }
        for (const BlockOrder order : {BlockOrder::Forward, BlockOrder::Backward}) {
          Vec dots(stored.size() + 1, 7.0f), distances(stored.size() + 1, 7.0f);
          dot_product_blocks(query, blocks.data(), block_count, order, dots.data());
          euclidean_distance_blocks(query, blocks.data(), block_count, order, distances.data());
          const bool backwards = order == BlockOrder::Backward;
          for (std::size_t v = 0; v < stored.size(); ++v) {
            EXPECT_TRUE(same_bits(dots[v], dot_product(query, stored[v])))
                << "n=" << n << " blocks=" << block_count << " vector=" << v
                << " backwards=" << backwards;
            EXPECT_TRUE(same_bits(distances[v], euclidean_distance(query, stored[v])))
                << "n=" << n << " blocks=" << block_count << " vector=" << v
                << " backwards=" << backwards;
          }
          EXPECT_EQ(dots.back(), 7.0f);  // nothing written past the blocks
          EXPECT_EQ(distances.back(), 7.0f);
        }
      }
    }
  }
}

TEST(LaneKernels, SameVectorInSeveralLanes) {
  std::mt19937 rng(7);
  const Vec query = random_vector(rng, 131, 10);
  const Vec stored = random_vector(rng, 131, 10);
  const float* pointers[kLaneCount];
  for (auto& p : pointers) p = stored.data();
  float dots[kLaneCount];
  dot_product_lanes(query, pointers, kLaneCount, dots);
  for (const float d : dots) EXPECT_TRUE(same_bits(d, dot_product(query, stored)));
}

TEST(LaneKernels, EmptyVectorsGiveNegativeZero) {
  const Vec empty;
  const float* pointers[kLaneCount] = {};
  float dots[kLaneCount];
  float distances[kLaneCount];
  dot_product_lanes(empty, pointers, kLaneCount, dots);
  euclidean_distance_lanes(empty, pointers, kLaneCount, distances);
  for (std::size_t l = 0; l < kLaneCount; ++l) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(dots[l]), 0x80000000u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(distances[l]), 0x80000000u);
  }
}

}  // namespace
}  // namespace tavrik
