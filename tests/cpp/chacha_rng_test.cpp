#include "core/random/chacha_rng.h"

#include <gtest/gtest.h>

namespace tavrik {
namespace {

ChaChaKey counting_key() {
  // Key bytes 00 01 02 .. 1f as little-endian words.
  ChaChaKey key{};
  for (std::uint32_t i = 0; i < 8; ++i) {
    const std::uint32_t b = 4 * i;
    key[i] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;
  }
  return key;
}

TEST(ChaChaBlock, MatchesPublishedChaCha20Vector) {
  // Nonce 00 00 00 09 00 00 00 4a 00 00 00 00, block counter 1.
  const ChaChaBlock block = chacha_block(counting_key(), {1, 0x09000000, 0x4a000000, 0});
  const ChaChaBlock expected = {
      0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
      0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
      0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(block, expected);
}

TEST(ChaChaRng, OutputsFollowTheKeystreamBlockByBlock) {
  const ChaChaKey key = counting_key();
  ChaChaRng rng(key);
  for (std::uint32_t counter = 0; counter < 3; ++counter) {
    const ChaChaBlock block = chacha_block(key, {counter, 0, 0, 0});
    for (std::size_t i = 0; i < 8; ++i) {
      const std::uint64_t expected =
          block[2 * i] | static_cast<std::uint64_t>(block[2 * i + 1]) << 32;
      ASSERT_EQ(rng.next_u64(), expected) << "block " << counter << " output " << i;
    }
  }
}

}  // namespace
}  // namespace tavrik
