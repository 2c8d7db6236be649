#include "core/vector/point.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>

#include "core/distance/distance.h"
#include "core/vector/point_table.h"
#include "cosine_inputs.h"
#include "score_bits.h"

namespace tavrik {
namespace {

using testing_scores::random_vector;
using testing_scores::same_bits;

Point with_tenant(PayloadValue value) {
  Point point;
  point.payload.emplace();
  point.payload->emplace(std::string(kTenantKey), std::move(value));
  return point;
}

TEST(TextValue, SplitsAtSixtyFourUtf8Bytes) {
  EXPECT_EQ(text_value(std::string(64, 'a')).index(), 0u);
  EXPECT_EQ(text_value(std::string(65, 'a')).index(), 1u);
  std::string two_byte;
  for (int i = 0; i < 33; ++i) two_byte += "\xc3\xa9";  // 66 bytes, 33 characters
  EXPECT_EQ(text_value(two_byte).index(), 1u);
}

TEST(MatchesTenant, TextVariantsMatchByteForByte) {
  EXPECT_TRUE(matches_tenant(with_tenant(Keyword{"acme"}), "acme"));
  EXPECT_FALSE(matches_tenant(with_tenant(Keyword{"acme"}), "ACME"));
  EXPECT_FALSE(matches_tenant(with_tenant(Keyword{"acme"}), "acme "));
  const std::string long_tenant(70, 't');
  EXPECT_TRUE(matches_tenant(with_tenant(Text{long_tenant}), long_tenant));
  EXPECT_TRUE(matches_tenant(with_tenant(Keyword{""}), ""));
}

TEST(MatchesTenant, NumbersAndMissingPayloadsNeverMatch) {
  EXPECT_FALSE(matches_tenant(with_tenant(Integer{5}), "5"));
  EXPECT_FALSE(matches_tenant(with_tenant(Float{5.0}), "5"));
  Point bare;
  EXPECT_FALSE(matches_tenant(bare, ""));
  Point empty;
  empty.payload.emplace();
  EXPECT_FALSE(matches_tenant(empty, ""));
}

TEST(PointSquaredNorm, CachedOrComputedGiveTheSameBits) {
  std::mt19937 rng(5);
  for (std::size_t n : {0, 1, 3, 128, 1000}) {
    Point point;
    point.vector = random_vector(rng, n);
    const float computed = squared_norm_of(point);  // nothing cached yet
    cache_squared_norm(point);
    EXPECT_TRUE(same_bits(computed, squared_norm(point.vector)));
    EXPECT_TRUE(same_bits(squared_norm_of(point), squared_norm(point.vector)));
  }
}

TEST(PointSquaredNorm, ANormWithTheUnknownPatternIsRecomputed) {
  Point point;
  point.vector = {std::bit_cast<float>(kUnknownSquaredNormBits)};
  cache_squared_norm(point);
  EXPECT_TRUE(std::isnan(squared_norm_of(point)));
}

// A loaded point may carry an id other than its key; storing the key again
// (as upsert does) makes the id the key once more.
TEST(PointTable, KeepsIdsThatDifferFromTheirKeysUntilReplaced) {
  PointTable table;
  table.put(5, 9, Point{});
  table.put(6, Point{});
  EXPECT_EQ(table.id_of(5), 9u);
  EXPECT_EQ(table.id_of(6), 6u);
  table.put(5, Point{});
  EXPECT_EQ(table.id_of(5), 5u);
  EXPECT_EQ(table.size(), 2u);
}

}  // namespace
}  // namespace tavrik
