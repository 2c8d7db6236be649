// The one-pointer float vector holds exactly the floats it was given, bit
// for bit, and behaves like the std::vector it replaces in a point.
#include <gtest/gtest.h>

#include "score_bits.h"

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "core/vector/float_array.h"
#include "core/vector/point.h"
#include "core/vector/vector_arena.h"

namespace tavrik {
namespace {

using testing_scores::identical_bits;

TEST(FloatArray, EmptyHoldsNothing) {
  const FloatArray empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.begin(), empty.end());
  EXPECT_EQ(std::span<const float>(empty).size(), 0u);
  EXPECT_TRUE(FloatArray(std::vector<float>{}).empty());
  EXPECT_EQ(empty, FloatArray{});
}

TEST(FloatArray, KeepsEveryBit) {
  const std::vector<float> values = {1.0f, -0.0f, std::bit_cast<float>(0xffc00123u),
                                     std::bit_cast<float>(0x00000001u), -2.5f};
  const FloatArray array(values);
  EXPECT_EQ(array.size(), values.size());
  EXPECT_TRUE(identical_bits(array, values));
  const FloatArray copy = array;
  EXPECT_TRUE(identical_bits(copy, values));
  EXPECT_NE(copy.data(), array.data());
  FloatArray moved = FloatArray(copy);
  EXPECT_TRUE(identical_bits(moved, values));
}

TEST(FloatArray, ComparesElementsLikeAVector) {
  EXPECT_EQ(FloatArray({1.0f, 2.0f}), (std::vector<float>{1.0f, 2.0f}));
  EXPECT_EQ(FloatArray({0.0f}), FloatArray({-0.0f}));  // == on floats, as std::vector
  EXPECT_FALSE(FloatArray({1.0f}) == FloatArray({1.0f, 1.0f}));
  const float nan = std::bit_cast<float>(0x7fc00000u);
  EXPECT_FALSE(FloatArray({nan}) == FloatArray({nan}));
}

TEST(FloatArray, ReplaceAndIndex) {
  FloatArray array;
  array = {1.5f, 1.5f, 1.5f};
  array[1] = -4.0f;
  EXPECT_EQ(array, (std::vector<float>{1.5f, -4.0f, 1.5f}));
  array = {7.0f};
  EXPECT_EQ(array.size(), 1u);
  array = FloatArray();
  EXPECT_TRUE(array.empty());
}

TEST(FloatArray, PointStaysTwoWords) {
  EXPECT_EQ(sizeof(FloatArray), sizeof(void*));
  EXPECT_LE(sizeof(Point), 16u);
}

// The header keeps counts of every size, with and without the lent flag;
// counts of 2^30 and more (which no test can afford to allocate) take the
// cached float's bits, so those vectors cache nothing.
TEST(FloatArray, HeaderKeepsCountsAndTheCachedFloat) {
  constexpr std::uint64_t kCounts[] = {0,           1,           (1u << 30) - 1, 1u << 30,
                                       (1u << 30) + 1, std::uint64_t{5} << 40, (std::uint64_t{1} << 62) - 1};
  for (const std::uint64_t count : kCounts) {
    for (const bool lent : {false, true}) {
      const std::uint64_t header = float_block::header(count, lent);
      EXPECT_EQ(float_block::count_of(header), count);
      EXPECT_EQ(float_block::lent(header), lent);
      EXPECT_EQ(float_block::cached_bits(header), kUnknownSquaredNormBits);
      const std::uint64_t cached = float_block::with_cached_bits(header, 0x4080'0000u);
      EXPECT_EQ(float_block::count_of(cached), count);
      EXPECT_EQ(float_block::lent(cached), lent);
      EXPECT_EQ(float_block::cached_bits(cached),
                count < (1u << 30) ? 0x4080'0000u : kUnknownSquaredNormBits);
    }
  }
}

// A copy keeps the cached float, as does a vector an arena adopts; a new
// vector starts with none, and an empty one never holds one.
TEST(FloatArray, CachedFloatFollowsTheComponents) {
  FloatArray array({1.0f, 2.0f});
  EXPECT_EQ(std::bit_cast<std::uint32_t>(array.cached()), kUnknownSquaredNormBits);
  array.cache(5.0f);
  EXPECT_EQ(array.cached(), 5.0f);
  EXPECT_EQ(array, (std::vector<float>{1.0f, 2.0f}));
  const FloatArray copy = array;
  EXPECT_EQ(copy.cached(), 5.0f);
  VectorArena arena;
  arena.adopt(array);
  EXPECT_EQ(array.cached(), 5.0f);
  EXPECT_EQ(array.size(), 2u);
  array = {3.0f, 4.0f};
  EXPECT_EQ(std::bit_cast<std::uint32_t>(array.cached()), kUnknownSquaredNormBits);
  FloatArray empty;
  empty.cache(1.0f);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(empty.cached()), kUnknownSquaredNormBits);
}

}  // namespace
}  // namespace tavrik
