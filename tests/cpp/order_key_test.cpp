#include "core/distance/order_key.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

namespace tavrik {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Keys compare as the floats rank: every pair of a pool with zeros of both
// signs, infinities, extremes and NaNs of both signs and other payloads.
TEST(OrderKey, KeysCompareAsTheFloatsRank) {
  const float inf = std::numeric_limits<float>::infinity();
  const float pool[] = {0.0f, -0.0f, 1.0f, -1.0f, 2.5f, -3.0f, inf, -inf,
                        std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                        std::numeric_limits<float>::denorm_min(), -1e-30f, kNaN, -kNaN,
                        std::bit_cast<float>(0x7f800001u), std::bit_cast<float>(0xffc00123u)};
  for (const float a : pool) {
    for (const float b : pool) {
      const bool a_nan = std::isnan(a);
      const bool b_nan = std::isnan(b);
      const bool up = !a_nan && (b_nan || a < b);
      const bool down = !a_nan && (b_nan || a > b);
      EXPECT_EQ(ascending_order_key(a) < ascending_order_key(b), up) << a << " " << b;
      EXPECT_EQ(descending_order_key(a) < descending_order_key(b), down) << a << " " << b;
    }
  }
}

}  // namespace
}  // namespace tavrik
