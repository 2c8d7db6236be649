// A ChaCha-based random generator, self-contained.
//
// chacha_block computes one 64-byte ChaCha block: the 16-word state is the
// four constant words "expand 32-byte k", the eight key words, then the four
// words `block_words` (counter and nonce), run through `rounds` rounds
// (an even number; 20 for ChaCha20) and added back to the input state.
// Words are little-endian, as in the published test vectors.
//
// ChaChaRng turns the keystream of a 256-bit key into 64-bit outputs: block
// words 12 and 13 hold a 64-bit block counter (low word first), words 14 and
// 15 stay zero, and each block yields eight outputs, word 2i as the low half
// and word 2i+1 as the high half. The counter wraps after 2^64 blocks (2^67
// outputs), which no process reaches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrik {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

inline constexpr int kChaCha20Rounds = 20;

ChaChaBlock chacha_block(const ChaChaKey& key, const std::array<std::uint32_t, 4>& block_words,
                         int rounds = kChaCha20Rounds);

class ChaChaRng {
 public:
  explicit ChaChaRng(const ChaChaKey& key) noexcept : key_(key) {}

  // A generator keyed with 256 bits from the OS random source (a failure
  // there is an internal fault).
  static ChaChaRng from_os_random() noexcept;

  std::uint64_t next_u64() noexcept;

 private:
  static constexpr std::size_t kOutputsPerBlock = 8;

  void refill() noexcept;

  ChaChaKey key_;
  std::uint64_t counter_ = 0;
  ChaChaBlock block_{};
  std::size_t next_output_ = kOutputsPerBlock;  // block_ starts exhausted
};

}  // namespace tavrik
