// Comparing scores, and stored floats, bit for bit in the tests.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

namespace tavrik::testing_scores {

// Bit equality, except that any two NaNs count as the same: which operand's
// NaN payload and sign an addition passes on depends on the order the
// compiler gives the operands of a commutative operation, and no score
// ordering or snapshot depends on NaN bits.
inline bool same_bits(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof(float)) == 0;
}

// Stored floats, unlike computed scores, keep every bit: NaN payloads too.
inline bool identical_bits(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  }
  return true;
}

}  // namespace tavrik::testing_scores
