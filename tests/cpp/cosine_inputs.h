// Inputs that stress cosine scoring, and comparing cosine results, for the
// distance tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/distance/distance.h"
#include "score_bits.h"

namespace tavrik::testing_scores {

// A vector of `length` components, a few of them NaN, infinite, zero or
// tiny; some vectors are all zero or all tiny (no usable norm).
inline std::vector<float> random_vector(std::mt19937& rng, std::size_t length) {
  std::uniform_int_distribution<int> roll(0, 99);
  std::uniform_real_distribution<float> value(-3.0f, 3.0f);
  std::vector<float> v(length);
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

// The same error, and for a success the same bits.
inline void expect_same(const CosineResult& a, const CosineResult& b) {
  ASSERT_EQ(a.error, b.error);
  if (a.error == CosineError::None) {
    EXPECT_TRUE(same_bits(a.similarity, b.similarity));
  }
}

}  // namespace tavrik::testing_scores
