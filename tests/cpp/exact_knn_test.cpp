#include "index/exact/exact_knn.h"

#include <gtest/gtest.h>

#include "score_bits.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tavrik {
namespace {

using Vec = std::vector<float>;
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

void put(PointTable& table, std::uint64_t id, Vec vector, const char* tenant = nullptr) {
  Point point;
  point.vector = std::move(vector);
  if (tenant != nullptr) {
    point.payload.emplace();
    point.payload->emplace(std::string(kTenantKey), text_value(tenant));
  }
  table.put(id, std::move(point));
}

std::vector<std::uint64_t> ids_of(const std::vector<ScoredPoint>& results) {
  std::vector<std::uint64_t> ids;
  for (const ScoredPoint& r : results) ids.push_back(r.id);
  return ids;
}

// The ids of `wanted` in the table's own iteration order.
std::vector<std::uint64_t> table_order(const PointTable& table,
                                       const std::vector<std::uint64_t>& wanted) {
  std::vector<std::uint64_t> ids;
  for (const auto& [id, point] : table)
    if (std::find(wanted.begin(), wanted.end(), id) != wanted.end()) ids.push_back(id);
  return ids;
}

// Query [1, 0] against A = [1, 0], B = [0, 1], C = [2, 0].
class ThreePoints : public ::testing::Test {
 protected:
  void SetUp() override {
    put(table, kA, {1, 0});
    put(table, kB, {0, 1});
    put(table, kC, {2, 0});
  }
  std::vector<ScoredPoint> search(Metric metric, std::uint64_t limit = kNoLimit) {
    return search_exact_knn(query, limit, metric, table, std::nullopt);
  }
  static constexpr std::uint64_t kA = 10, kB = 20, kC = 30;
  const Vec query{1, 0};
  PointTable table;
};

TEST_F(ThreePoints, EuclideanAscending) {
  const auto results = search(Metric::Euclidean);
  EXPECT_EQ(ids_of(results), (std::vector<std::uint64_t>{kA, kC, kB}));
  EXPECT_EQ(results[0].score, 0.0f);
  EXPECT_EQ(results[1].score, 1.0f);
  EXPECT_EQ(results[2].score, 1.4142135f);
}

TEST_F(ThreePoints, DotDescending) {
  const auto results = search(Metric::DotProduct);
  EXPECT_EQ(ids_of(results), (std::vector<std::uint64_t>{kC, kA, kB}));
  EXPECT_EQ(results[0].score, 2.0f);
  EXPECT_EQ(results[1].score, 1.0f);
  EXPECT_EQ(results[2].score, 0.0f);
}

TEST_F(ThreePoints, CosineTiesKeepTableOrder) {
  const auto results = search(Metric::Cosine);
  std::vector<std::uint64_t> expected = table_order(table, {kA, kC});
  expected.push_back(kB);
  EXPECT_EQ(ids_of(results), expected);
  EXPECT_EQ(results[0].score, 1.0f);
  EXPECT_EQ(results[1].score, 1.0f);
  EXPECT_EQ(results[2].score, 0.0f);
}

TEST_F(ThreePoints, LimitTruncatesAfterRanking) {
  EXPECT_TRUE(search(Metric::Euclidean, 0).empty());
  EXPECT_EQ(ids_of(search(Metric::Euclidean, 1)), (std::vector<std::uint64_t>{kA}));
  EXPECT_EQ(ids_of(search(Metric::DotProduct, 2)), (std::vector<std::uint64_t>{kC, kA}));
  EXPECT_EQ(search(Metric::Euclidean, 4).size(), 3u);
  EXPECT_EQ(search(Metric::Euclidean, kNoLimit).size(), 3u);
  // A limit that a 32-bit cast would turn into 1.
  EXPECT_EQ(search(Metric::Euclidean, (std::uint64_t{1} << 32) + 1).size(), 3u);
}

class EveryMetric : public ::testing::TestWithParam<Metric> {};

TEST_P(EveryMetric, MismatchedLengthsAreAbsent) {
  PointTable table;
  put(table, 1, {1, 0});
  put(table, 2, {1, 0, 0});
  put(table, 3, {});
  put(table, 4, {1});
  EXPECT_EQ(ids_of(search_exact_knn(Vec{1, 0}, kNoLimit, GetParam(), table, std::nullopt)),
            (std::vector<std::uint64_t>{1}));
}

TEST_P(EveryMetric, EmptyTableAndUnknownTenantGiveNothing) {
  PointTable table;
  EXPECT_TRUE(search_exact_knn(Vec{1}, 5, GetParam(), table, std::nullopt).empty());
  put(table, 1, {1}, "acme");
  EXPECT_TRUE(search_exact_knn(Vec{1}, 5, GetParam(), table, "other").empty());
}

TEST_P(EveryMetric, TenantFilterKeepsOnlyMatchingPoints) {
  PointTable table;
  put(table, 1, {1, 0}, "acme");
  put(table, 2, {1, 0}, "globex");
  put(table, 3, {1, 0});
  put(table, 4, {0.5f, 0.5f}, "acme");
  const auto results = search_exact_knn(Vec{1, 0}, kNoLimit, GetParam(), table, "acme");
  std::vector<std::uint64_t> ids = ids_of(results);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{1, 4}));
  EXPECT_EQ(search_exact_knn(Vec{1, 0}, kNoLimit, GetParam(), table, std::nullopt).size(), 4u);
}

TEST_P(EveryMetric, NaNScoresRankLastWithoutDisturbingOthers) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  PointTable table;
  put(table, 1, {nan, 0});
  put(table, 2, {1, 0});
  put(table, 3, {nan, nan});
  put(table, 4, {3, 0});
  put(table, 5, {2, 0});
  const auto results = search_exact_knn(Vec{1, 0}, kNoLimit, GetParam(), table, std::nullopt);
  ASSERT_EQ(results.size(), 5u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(std::isnan(results[i].score));
  EXPECT_TRUE(std::isnan(results[3].score));
  EXPECT_TRUE(std::isnan(results[4].score));
  const std::vector<std::uint64_t> ids = ids_of(results);
  // The two NaN points keep their table order behind the numbers.
  EXPECT_EQ(std::vector<std::uint64_t>(ids.begin() + 3, ids.end()), table_order(table, {1, 3}));
  if (GetParam() == Metric::Euclidean) {
    EXPECT_EQ(std::vector<std::uint64_t>(ids.begin(), ids.begin() + 3),
              (std::vector<std::uint64_t>{2, 5, 4}));
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, EveryMetric,
                         ::testing::Values(Metric::DotProduct, Metric::Cosine, Metric::Euclidean));

TEST(ZeroVectors, ScoredPerMetric) {
  PointTable table;
  put(table, 1, {0, 0});
  const Vec query{3, 4};
  EXPECT_TRUE(search_exact_knn(query, kNoLimit, Metric::Cosine, table, std::nullopt).empty());
  const auto dot = search_exact_knn(query, kNoLimit, Metric::DotProduct, table, std::nullopt);
  ASSERT_EQ(dot.size(), 1u);
  EXPECT_EQ(dot[0].score, 0.0f);
  const auto euclid = search_exact_knn(query, kNoLimit, Metric::Euclidean, table, std::nullopt);
  ASSERT_EQ(euclid.size(), 1u);
  EXPECT_EQ(euclid[0].score, 5.0f);
}

TEST(ZeroVectors, ZeroQueryUnderCosineFindsNothing) {
  PointTable table;
  put(table, 1, {1, 0});
  put(table, 2, {0, 1});
  EXPECT_TRUE(search_exact_knn(Vec{0, 0}, kNoLimit, Metric::Cosine, table, std::nullopt).empty());
  EXPECT_EQ(search_exact_knn(Vec{0, 0}, kNoLimit, Metric::DotProduct, table, std::nullopt).size(),
            2u);
}

// The scan over interleaved blocks against the scan over the table: the same
// candidates with the same score bits, ranked into the same score sequence,
// for every metric, with and without a tenant, NaN and zero vectors among
// the points, and for stores that fill a block exactly or leave a tail;
// short limits give the same records as the full ranking's first ones.
TEST(ScanBlocks, SearchMatchesTheTableScan) {
  using testing_scores::same_bits;
  std::mt19937 rng(20261208);
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const std::size_t n : {1, 3, 16, 128, 385}) {
    for (const std::size_t count : {1, 15, 16, 17, 64, 200, 512}) {
      PointTable table;
      ScanBlocks blocks;
      for (std::size_t p = 0; p < count; ++p) {
        Vec vector(n);
        for (float& x : vector) x = value(rng);
        if (p % 37 == 5) vector.assign(n, 0.0f);
        if (p % 41 == 7) vector[n / 2] = nan;
        const std::uint64_t id = rng() % 5000;  // some ids replaced
        put(table, id, std::move(vector), p % 3 == 0 ? "acme" : nullptr);
        blocks.put(id, id, *table.lookup(id));
      }
      ASSERT_TRUE(blocks.active());
      ASSERT_EQ(blocks.size(), table.size());
      Vec query(n);
      for (float& x : query) x = value(rng);
      // A zero query, which fails cosine against every point (under the
      // other metrics its scores all tie, so their order is unspecified).
      const bool zero_query = count == 17;
      if (zero_query) std::fill(query.begin(), query.end(), 0.0f);
      for (const Metric metric : {Metric::DotProduct, Metric::Cosine, Metric::Euclidean}) {
        if (zero_query && metric != Metric::Cosine) continue;
        for (const std::optional<std::string_view> tenant :
             {std::optional<std::string_view>{}, std::optional<std::string_view>{"acme"}}) {
          auto want = search_exact_knn(query, kNoLimit, metric, table, tenant);
          auto got =
              search_exact_knn(query, kNoLimit, metric, blocks, BlockOrder::Forward, table, tenant);
          ASSERT_EQ(got.size(), want.size()) << "n=" << n << " count=" << count;
          // Short limits rank straight from the block scores: exactly the
          // full ranking's first records, ties (zero vectors, NaN) included,
          // whichever order the blocks are read in.
          for (const std::uint64_t limit : {1, 8, 9, 10, 16, 17, 64, 65}) {
            const auto top = search_exact_knn(query, limit, metric, blocks, BlockOrder::Backward,
                                              table, tenant);
            ASSERT_EQ(top.size(), std::min<std::size_t>(limit, got.size())) << "limit " << limit;
            for (std::size_t i = 0; i < top.size(); ++i) {
              EXPECT_EQ(top[i].id, got[i].id) << "limit " << limit << " rank " << i;
              EXPECT_TRUE(same_bits(top[i].score, got[i].score)) << "limit " << limit;
            }
          }
          for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_TRUE(same_bits(got[i].score, want[i].score)) << "rank " << i;
          }
          const auto by_id = [](const ScoredPoint& a, const ScoredPoint& b) { return a.id < b.id; };
          std::sort(want.begin(), want.end(), by_id);
          std::sort(got.begin(), got.end(), by_id);
          for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].id, want[i].id);
            EXPECT_TRUE(same_bits(got[i].score, want[i].score)) << "id " << got[i].id;
          }
        }
      }
    }
  }
}

// The blocks hold exactly one length, ids stored under themselves and at
// most kMaxPoints points; anything else turns them off until clear().
TEST(ScanBlocks, TurnsOffOutsideWhatItHolds) {
  const auto point = [](std::size_t n) {
    Point p;
    p.vector = Vec(n, 1.0f);
    return p;
  };
  ScanBlocks blocks;
  blocks.put(1, 1, point(4));
  blocks.put(1, 1, point(4));  // a replacement keeps its slot
  blocks.put(2, 2, point(4));
  EXPECT_TRUE(blocks.active());
  EXPECT_EQ(blocks.size(), 2u);
  blocks.put(3, 3, point(5));
  EXPECT_FALSE(blocks.active());
  EXPECT_EQ(blocks.size(), 0u);
  blocks.put(4, 4, point(4));
  EXPECT_FALSE(blocks.active());

  blocks.clear();
  blocks.put(7, 8, point(2));  // key and id differ
  EXPECT_FALSE(blocks.active());

  blocks.clear();
  for (std::uint64_t id = 0; id < ScanBlocks::kMaxPoints; ++id) blocks.put(id, id, point(2));
  EXPECT_TRUE(blocks.active());
  EXPECT_EQ(blocks.block_count(), ScanBlocks::kMaxBlocks);
  blocks.put(0, 0, point(2));
  EXPECT_TRUE(blocks.active());
  blocks.put(ScanBlocks::kMaxPoints, ScanBlocks::kMaxPoints, point(2));
  EXPECT_FALSE(blocks.active());
}

}  // namespace
}  // namespace tavrik
