#include "index/hnsw/level_draw.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tavrik {
namespace {

constexpr std::uint64_t kAllOnes = std::numeric_limits<std::uint64_t>::max();

// The generator output whose top 53 bits are `mantissa` (u = mantissa * 2^-53).
std::uint64_t draw_for(std::uint64_t mantissa) { return mantissa << 11; }

TEST(LevelForDraw, ZeroUniformGivesTopLevel) {
  for (std::uint64_t m : {0ull, 1ull, 2ull, 16ull, 1000ull}) {
    EXPECT_EQ(level_for_draw(0, m), 15u) << "m " << m;
    EXPECT_EQ(level_for_draw((1ull << 11) - 1, m), 15u) << "m " << m;
  }
}

TEST(LevelForDraw, LargestUniformGivesLevelZero) {
  EXPECT_EQ(level_for_draw(kAllOnes, 16), 0u);
  EXPECT_EQ(level_for_draw(kAllOnes, 2), 0u);
}

struct LevelCase {
  std::uint64_t x;
  std::uint64_t m;
  std::uint64_t level;
};

class LevelTable : public testing::TestWithParam<LevelCase> {};

TEST_P(LevelTable, MapsDrawToLevel) {
  EXPECT_EQ(level_for_draw(GetParam().x, GetParam().m), GetParam().level);
}

// Around u = 16^-k the level switches from k-1 to k (m = 16); 1e6 out of
// 2^53 is far from rounding noise but close to the boundary.
INSTANTIATE_TEST_SUITE_P(
    Boundaries, LevelTable,
    testing::Values(LevelCase{draw_for((1ull << 49) + 1000000), 16, 0},
                    LevelCase{draw_for((1ull << 49) - 1000000), 16, 1},
                    LevelCase{draw_for((1ull << 45) + 1000000), 16, 1},
                    LevelCase{draw_for((1ull << 45) - 1000000), 16, 2},
                    LevelCase{draw_for(1ull << 52), 2, 1},         // u = 1/2, m = 2
                    LevelCase{draw_for((1ull << 52) + 1), 2, 0},
                    LevelCase{draw_for(1), 16, 13},                 // u = 2^-53
                    LevelCase{draw_for(1), 2, 15},                  // 53 capped at 15
                    LevelCase{draw_for(1ull << 52), 0, 0},          // ln 0 = -inf: f = +0
                    LevelCase{draw_for(1), 0, 0},
                    LevelCase{draw_for(1ull << 52), 1, 15},         // ln 1 = 0: f = -inf
                    LevelCase{kAllOnes, 1, 15}));

TEST(LevelForDraw, SwitchesToLevelOneNearOneSixteenth) {
  // Binary search for the smallest mantissa at level 0; it lies at 2^49
  // (u = 1/16) up to the rounding of the logarithms.
  std::uint64_t lo = 1, hi = 1ull << 53;  // level(lo) >= 1, level(hi - 1) == 0
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    (level_for_draw(draw_for(mid), 16) >= 1 ? lo : hi) = mid;
  }
  EXPECT_LE(std::llabs(static_cast<long long>(hi) - (1ll << 49)), 4);
}

TEST(DrawLevel, FollowsGeometricDistribution) {
  constexpr int kDraws = 200000;
  std::array<int, 16> at_least{};
  for (int i = 0; i < kDraws; ++i) {
    const std::uint64_t level = draw_level(16);
    ASSERT_LE(level, 15u);
    for (std::uint64_t k = 0; k <= level; ++k) ++at_least[k];
  }
  EXPECT_EQ(at_least[0], kDraws);
  // Expected 12500, standard deviation about 108.
  EXPECT_NEAR(at_least[1], kDraws / 16.0, 700);
  // Expected about 781.
  EXPECT_NEAR(at_least[2], kDraws / 256.0, 200);
}

}  // namespace
}  // namespace tavrik
