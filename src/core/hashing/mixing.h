// The integer mixing that the hashes of the store share.
//
// fibonacci_slot multiplies an id by 2^64 divided by the golden ratio (an
// odd constant) and keeps the top bits: runs of consecutive ids, the usual
// case, spread evenly over a power-of-two table. mix_bits finishes a hash
// so that every input bit affects every output bit (three xor-shifts and
// two odd multipliers).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrik {

inline constexpr std::uint64_t kGoldenMultiplier = 0x9E37'79B9'7F4A'7C15ULL;

// A slot among 2^(64 - shift) for `id` (shift in 1..63).
inline std::size_t fibonacci_slot(std::uint64_t id, unsigned shift) {
  return static_cast<std::size_t>((id * kGoldenMultiplier) >> shift);
}

inline std::uint64_t mix_bits(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58'476D'1CE4'E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D0'49BB'1331'11EBULL;
  x ^= x >> 31;
  return x;
}

}  // namespace tavrik
