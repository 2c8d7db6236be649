// Loaded points carry the squared norm of their vector, cached with the bits
// of the one-at-a-time sum, whatever mix of lengths the snapshot holds.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "snapshot_bytes.h"
#include "core/distance/distance.h"
#include "core/vector/point_table.h"
#include "index/hnsw/hnsw_index.h"
#include "storage/snapshot/snapshot_codec.h"

namespace tavrik {
namespace {

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(DecodedNorms, EveryPointCachesTheSequentialNorm) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_real_distribution<float> value(-3.0f, 3.0f);
  const std::size_t lengths[] = {0, 1, 3, 128, 128, 128, 128, 128, 129, 7};
  for (const std::size_t count : {std::size_t{1}, std::size_t{15}, std::size_t{16},
                                  std::size_t{17}, std::size_t{100}}) {
    PointTable points;
    for (std::uint64_t id = 0; id < count; ++id) {
      Point point;
      std::vector<float> v(lengths[pick(rng)]);
      for (float& x : v) x = value(rng);
      point.vector = v;
      cache_squared_norm(point);
      points.put(id, std::move(point));
    }
    DecodedSnapshot snapshot;
    const SnapshotStatus decoded = decode_snapshot(encode_snapshot(points, HNSWIndex{}), snapshot);
    ASSERT_TRUE(decoded.is_ok()) << decoded.detail();
    ASSERT_EQ(snapshot.points.size(), count);
    for (const auto& [key, point] : snapshot.points) {
      // An empty vector has no block to cache in; its norm is summed anew.
      if (!point.vector.empty()) {
        EXPECT_EQ(bits(point.vector.cached()), bits(squared_norm(point.vector))) << key;
      }
      EXPECT_EQ(bits(squared_norm_of(point)), bits(squared_norm(point.vector))) << key;
    }
  }
}

TEST(DecodedNorms, CacheManyEqualsCacheOne) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> length(0, 4);
  std::uniform_real_distribution<float> value(-1e20f, 1e20f);
  std::vector<Point> many(70);
  for (Point& point : many) {
    std::vector<float> v(static_cast<std::size_t>(length(rng)) * 20);
    for (float& x : v) x = value(rng);
    point.vector = v;
  }
  std::vector<Point*> pointers;
  for (Point& point : many) pointers.push_back(&point);
  cache_squared_norms(pointers);
  for (Point& point : many) {
    const float cached = point.vector.cached();
    cache_squared_norm(point);
    EXPECT_EQ(bits(cached), bits(point.vector.cached()));
  }
}

}  // namespace
}  // namespace tavrik
