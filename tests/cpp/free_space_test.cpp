// Free ranges merge with their neighbours inside the bounds they are given,
// never across them, and a take uses the smallest range that fits.
#include "core/vector/free_space.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>

namespace tavrik {
namespace {

TEST(FreeSpace, NeighboursMergeWithinTheirChunkOnly) {
  std::array<std::byte, 256> memory{};
  std::byte* base = memory.data();
  FreeSpace space;
  // One chunk is [0, 128), the next [128, 256).
  space.add(base + 0, 16, base, base + 128);
  space.add(base + 32, 16, base, base + 128);
  const FreeSpace::Range middle = space.add(base + 16, 16, base, base + 128);
  EXPECT_EQ(middle.begin, base);
  EXPECT_EQ(middle.bytes, 48u);
  space.add(base + 112, 16, base, base + 128);
  const FreeSpace::Range across = space.add(base + 128, 16, base + 128, base + 256);
  EXPECT_EQ(across.begin, base + 128);  // not merged with [112, 128)
  EXPECT_EQ(across.bytes, 16u);
  // Merged, [112, 144) would be the smallest range of 17 bytes or more.
  EXPECT_EQ(space.take(17), base);
}

TEST(FreeSpace, TakesFromTheSmallestRangeThatFits) {
  std::array<std::byte, 256> memory{};
  std::byte* base = memory.data();
  FreeSpace space;
  space.add(base + 0, 64, base, base + 256);
  space.add(base + 96, 24, base, base + 256);
  space.add(base + 160, 40, base, base + 256);
  EXPECT_EQ(space.take(32), base + 160);  // 40 is the smallest range of 32 or more
  EXPECT_EQ(space.take(8), base + 192);   // what was left of it
  EXPECT_EQ(space.take(24), base + 96);
  EXPECT_EQ(space.take(65), nullptr);
  EXPECT_EQ(space.take(64), base);
  EXPECT_EQ(space.take(8), nullptr);
  space.remove(space.add(base, 256, base, base + 256));
  EXPECT_EQ(space.take(8), nullptr);
}

}  // namespace
}  // namespace tavrik
