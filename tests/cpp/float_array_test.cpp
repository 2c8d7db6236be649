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

TEST(FloatArray, PointStaysFourWords) {
  EXPECT_EQ(sizeof(FloatArray), sizeof(void*));
  EXPECT_LE(sizeof(Point), 32u);
}

}  // namespace
}  // namespace tavrik
