// Comparing scores bit for bit in the kernel tests.
#pragma once

#include <cmath>
#include <cstring>

namespace tavrik::testing_scores {

// Bit equality, except that any two NaNs count as the same: which operand's
// NaN payload and sign an addition passes on depends on the order the
// compiler gives the operands of a commutative operation, and no score
// ordering or snapshot depends on NaN bits.
inline bool same_bits(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof(float)) == 0;
}

}  // namespace tavrik::testing_scores
