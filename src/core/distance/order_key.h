// Unsigned keys that order floats as scores and distances are ranked.
//
// ascending_order_key(x) < ascending_order_key(y) exactly when x sorts
// before y ascending, with -0 tied with +0 and every NaN tied with every
// other NaN after all numbers; descending_order_key reverses the numbers
// and still puts NaNs last. Comparing two keys is one integer comparison,
// with no NaN cases, and the keys are computed without branches, as signs
// and magnitudes come in no predictable order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tavrik {

namespace order_key_detail {

inline constexpr std::uint32_t kNaNKey = 0xFFFF'FFFFu;

// The numbers' keys, unsigned order = float order (-0 as +0); only NaN bit
// patterns give 0 or ~0, so no number's key, reversed or not, is kNaNKey.
inline std::uint32_t ordered_bits(float x) {
  const auto raw = std::bit_cast<std::uint32_t>(x);
  const std::uint32_t bits = (raw & 0x7FFF'FFFFu) == 0 ? 0u : raw;
  // Negative floats reversed below the positives.
  return bits ^ ((0u - (bits >> 31)) | 0x8000'0000u);
}

inline bool is_nan_bits(float x) {
  return (std::bit_cast<std::uint32_t>(x) & 0x7FFF'FFFFu) > 0x7F80'0000u;
}

}  // namespace order_key_detail

inline std::uint32_t ascending_order_key(float x) {
  using namespace order_key_detail;
  return is_nan_bits(x) ? kNaNKey : ordered_bits(x);
}

inline std::uint32_t descending_order_key(float x) {
  using namespace order_key_detail;
  return is_nan_bits(x) ? kNaNKey : ~ordered_bits(x);
}

// Up to this many records, putting each one in place by insertion (into a
// short list kept sorted) beats a general sort; longer runs sort.
inline constexpr std::size_t kInsertionLimit = 64;

}  // namespace tavrik
