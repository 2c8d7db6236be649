// Arrays lent by a VectorArena hold exactly their floats, copies of them
// stand on their own, and blocks given back are reused rather than added.
#include <gtest/gtest.h>

#include "score_bits.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iostream>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "core/vector/vector_arena.h"
#include "storage/segment/segment.h"

namespace tavrik {
namespace {

std::vector<float> random_floats(std::mt19937& rng, std::size_t count) {
  std::vector<float> values(count);
  for (float& v : values) v = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
  return values;
}

using testing_scores::identical_bits;

// Lengths from empty to larger than a whole chunk, many of them, so that
// several chunks are used: every array keeps its own floats.
TEST(VectorArena, LentArraysKeepTheirFloats) {
  std::mt19937 rng(3);
  VectorArena arena;
  std::vector<std::vector<float>> originals;
  std::vector<FloatArray> held;
  const std::size_t lengths[] = {0, 1, 3, 128, 768, VectorArena::kMaxChunkBytes / 2};
  for (int round = 0; round < 400; ++round) {
    const std::size_t length = lengths[static_cast<std::size_t>(round) % std::size(lengths)];
    if (length > 4096 && round > 50) continue;  // a few huge ones are enough
    originals.push_back(random_floats(rng, length));
    held.push_back(arena.hold(originals.back()));
  }
  ASSERT_GT(arena.reserved_bytes(), VectorArena::kMaxChunkBytes);
  for (std::size_t i = 0; i < held.size(); ++i) {
    EXPECT_EQ(held[i].size(), originals[i].size());
    EXPECT_EQ(held[i].empty(), originals[i].empty());
    EXPECT_TRUE(identical_bits(held[i], originals[i])) << i;
  }
}

// A copy owns its block: it outlives the arena, and so does an array moved
// out of a copy.
TEST(VectorArena, CopiesOutliveTheArena) {
  std::mt19937 rng(5);
  const std::vector<float> values = random_floats(rng, 131);
  FloatArray copy;
  {
    VectorArena arena;
    const FloatArray held = arena.hold(values);
    copy = held;
    FloatArray assigned(std::vector<float>{1.0f});
    assigned = held;
    EXPECT_TRUE(identical_bits(assigned, values));
  }
  EXPECT_TRUE(identical_bits(copy, values));
  const FloatArray moved = std::move(copy);
  EXPECT_TRUE(identical_bits(moved, values));
}

// Giving back and holding again, as replacing a point does, reuses the
// block: the arena does not grow however often it happens. Arrays that
// are not this arena's are left as they were.
TEST(VectorArena, GivenBackBlocksAreReused) {
  std::mt19937 rng(7);
  VectorArena arena;
  VectorArena other;
  FloatArray held = arena.hold(random_floats(rng, 128));
  const std::size_t reserved = arena.reserved_bytes();
  for (int round = 0; round < 10'000; ++round) {
    arena.give_back(held);
    EXPECT_TRUE(held.empty());
    const std::vector<float> values = random_floats(rng, 128);
    held = arena.hold(values);
    ASSERT_TRUE(identical_bits(held, values));
  }
  EXPECT_EQ(arena.reserved_bytes(), reserved);

  const std::vector<float> values = random_floats(rng, 9);
  FloatArray own(values);
  arena.give_back(own);
  EXPECT_TRUE(identical_bits(own, values));
  FloatArray elsewhere = other.hold(values);
  arena.give_back(elsewhere);
  EXPECT_TRUE(identical_bits(elsewhere, values));
}

// Replacing points by vectors of other lengths, in the segment's order (the
// new vector is taken in before the old one is given back): the arena stays
// within a small multiple of the live bytes, whatever the pattern.
struct Replacements {
  const char* name;
  std::size_t ids;
  std::size_t rounds;
  std::size_t (*length)(std::size_t round, std::mt19937& rng);
};

class ArenaReplacements : public ::testing::TestWithParam<Replacements> {};

TEST_P(ArenaReplacements, ReservedBytesFollowTheLiveVectors) {
  const Replacements& c = GetParam();
  std::mt19937 rng(17);
  VectorArena arena;
  std::vector<FloatArray> held(c.ids);
  std::size_t live = 0;
  std::size_t most_reserved = 0;
  for (std::size_t round = 0; round < c.rounds; ++round) {
    FloatArray& slot = held[round % c.ids];
    const std::vector<float> values(c.length(round, rng), static_cast<float>(round));
    FloatArray fresh = arena.hold(values);
    live += fresh.size() * sizeof(float);
    live -= slot.size() * sizeof(float);
    arena.give_back(slot);
    slot = std::move(fresh);
    ASSERT_TRUE(identical_bits(slot, values));
    most_reserved = std::max(most_reserved, arena.reserved_bytes());
    ASSERT_LE(arena.reserved_bytes(), 3 * live + 2 * VectorArena::kMaxChunkBytes)
        << "round " << round << ", live " << live;
  }
  std::cout << "[          ] " << c.name << ": live " << live << " B, most reserved "
            << most_reserved << " B\n";
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, ArenaReplacements,
    ::testing::Values(
        Replacements{"OneIdGrowing", 1, 16000,
                     [](std::size_t round, std::mt19937&) { return round + 1; }},
        Replacements{"OneIdShrinking", 1, 16000,
                     [](std::size_t round, std::mt19937&) { return 16000 - round; }},
        Replacements{"ManyIdsRandomLengths", 500, 100000,
                     [](std::size_t, std::mt19937& rng) {
                       return static_cast<std::size_t>(rng() % 3000);
                     }},
        Replacements{"SmallAndLargeInTurn", 64, 10000,
                     [](std::size_t round, std::mt19937& rng) {
                       return round % 2 ? static_cast<std::size_t>(rng() % 16) + 1
                                        : static_cast<std::size_t>(rng() % 100000) + 1;
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

// Adopting moves a vector's floats into the arena, but a vector too large
// to share a chunk keeps its own block, as does one the arena already lent.
TEST(VectorArena, AdoptsAllButLargeVectors) {
  std::mt19937 rng(13);
  VectorArena arena;
  const std::vector<float> small = random_floats(rng, 128);
  FloatArray array(small);
  const float* before = array.data();
  arena.adopt(array);
  EXPECT_NE(array.data(), before);
  EXPECT_TRUE(identical_bits(array, small));
  const float* lent = array.data();
  arena.adopt(array);
  EXPECT_EQ(array.data(), lent);

  const std::size_t reserved = arena.reserved_bytes();
  const std::vector<float> large =
      random_floats(rng, VectorArena::kMaxAdoptedBytes / sizeof(float) + 1);
  FloatArray big(large);
  const float* own = big.data();
  arena.adopt(big);
  EXPECT_EQ(big.data(), own);
  EXPECT_EQ(arena.reserved_bytes(), reserved);
  EXPECT_TRUE(identical_bits(big, large));
}

// Through the segment: replacing the same points over and over, each
// stored vector is the latest one given.
TEST(VectorArena, ReplacedPointsHoldTheirLatestVectors) {
  std::mt19937 rng(11);
  Segment segment;
  std::vector<std::vector<float>> latest(64);
  auto upsert_all = [&] {
    for (std::uint64_t id = 0; id < latest.size(); ++id) {
      latest[id] = random_floats(rng, 16);
      for (float& v : latest[id]) v = static_cast<float>(rng() % 100);  // no NaN in the walk
      segment.upsert(id, Point{latest[id], std::nullopt});
    }
  };
  upsert_all();
  const std::size_t before = segment.read([](const PointTable& points, const HNSWIndex&) {
    return points.size();
  });
  for (int round = 0; round < 50; ++round) upsert_all();
  segment.read([&](const PointTable& points, const HNSWIndex&) {
    EXPECT_EQ(points.size(), before);
    for (const auto& [id, point] : points) EXPECT_TRUE(identical_bits(point.vector, latest[id]));
    return 0;
  });
}

}  // namespace
}  // namespace tavrik
