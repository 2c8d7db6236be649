#include "core/random/chacha_rng.h"

#include <bit>

#include "core/random/os_random.h"

namespace tavrik {
namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

void quarter_round(ChaChaBlock& s, int a, int b, int c, int d) {
  s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 16);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 12);
  s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 8);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 7);
}

void double_round(ChaChaBlock& s) {
  quarter_round(s, 0, 4, 8, 12);  // columns
  quarter_round(s, 1, 5, 9, 13);
  quarter_round(s, 2, 6, 10, 14);
  quarter_round(s, 3, 7, 11, 15);
  quarter_round(s, 0, 5, 10, 15);  // diagonals
  quarter_round(s, 1, 6, 11, 12);
  quarter_round(s, 2, 7, 8, 13);
  quarter_round(s, 3, 4, 9, 14);
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, const std::array<std::uint32_t, 4>& block_words,
                         int rounds) {
  ChaChaBlock input{};
  for (std::size_t i = 0; i < 4; ++i) input[i] = kSigma[i];
  for (std::size_t i = 0; i < 8; ++i) input[4 + i] = key[i];
  for (std::size_t i = 0; i < 4; ++i) input[12 + i] = block_words[i];

  ChaChaBlock state = input;
  for (int round = 0; round < rounds; round += 2) double_round(state);
  for (std::size_t i = 0; i < state.size(); ++i) state[i] += input[i];
  return state;
}

ChaChaRng ChaChaRng::from_os_random() noexcept {
  ChaChaKey key{};
  fill_os_random(key.data(), sizeof key);
  return ChaChaRng(key);
}

void ChaChaRng::refill() noexcept {
  const std::array<std::uint32_t, 4> block_words = {
      static_cast<std::uint32_t>(counter_), static_cast<std::uint32_t>(counter_ >> 32), 0, 0};
  block_ = chacha_block(key_, block_words);
  ++counter_;
  next_output_ = 0;
}

std::uint64_t ChaChaRng::next_u64() noexcept {
  if (next_output_ == kOutputsPerBlock) refill();
  const std::size_t word = 2 * next_output_++;
  return static_cast<std::uint64_t>(block_[word]) |
         (static_cast<std::uint64_t>(block_[word + 1]) << 32);
}

}  // namespace tavrik
