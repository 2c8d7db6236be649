#include "core/distance/ranking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace tavrik {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<std::uint64_t> ids_of(const std::vector<ScoredPoint>& points) {
  std::vector<std::uint64_t> ids;
  for (const ScoredPoint& point : points) ids.push_back(point.id);
  return ids;
}

struct RankingCase {
  Metric metric;
  std::vector<float> scores;           // ids are the positions 0, 1, 2, ...
  std::vector<std::uint64_t> expected;  // ids after ranking
};

class RankByMetric : public ::testing::TestWithParam<RankingCase> {};

TEST_P(RankByMetric, OrdersStablyWithNaNLast) {
  const RankingCase& c = GetParam();
  std::vector<ScoredPoint> points;
  for (std::size_t i = 0; i < c.scores.size(); ++i) points.push_back({i, c.scores[i]});
  rank_by_metric(points, c.metric);
  EXPECT_EQ(ids_of(points), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RankByMetric,
    ::testing::Values(
        RankingCase{Metric::Euclidean, {3, 1, 2}, {1, 2, 0}},
        RankingCase{Metric::DotProduct, {3, 1, 2}, {0, 2, 1}},
        RankingCase{Metric::Cosine, {0.5f, 1, 0.5f, 1}, {1, 3, 0, 2}},
        RankingCase{Metric::Euclidean, {2, 2, 1, 2}, {2, 0, 1, 3}},
        RankingCase{Metric::Euclidean, {kNaN, 1, kNaN, 0}, {3, 1, 0, 2}},
        RankingCase{Metric::DotProduct, {kNaN, 1, kNaN, 0}, {1, 3, 0, 2}},
        RankingCase{Metric::Cosine, {kNaN, kNaN}, {0, 1}},
        RankingCase{Metric::DotProduct,
                    {-std::numeric_limits<float>::infinity(), kNaN,
                     std::numeric_limits<float>::infinity()},
                    {2, 0, 1}},
        RankingCase{Metric::Euclidean, {}, {}}));

// Equal scores keep their incoming order; -0 and +0 are equal scores.
TEST(RankByMetricZeros, SignedZerosAreTies) {
  std::vector<ScoredPoint> points{{0, 0.0f}, {1, -0.0f}, {2, 0.0f}};
  rank_by_metric(points, Metric::DotProduct);
  EXPECT_EQ(ids_of(points), (std::vector<std::uint64_t>{0, 1, 2}));
}

// Many NaNs mixed into a long list: the numbers must come out exactly as a
// plain stable sort of the numbers alone would order them, then every NaN in
// its incoming order.
TEST(RankByMetricRandom, NaNsDoNotDisturbTheNumbers) {
  std::mt19937 engine(99);
  std::uniform_int_distribution<int> small(0, 20);
  for (Metric metric : {Metric::Euclidean, Metric::DotProduct}) {
    std::vector<ScoredPoint> points;
    for (std::uint64_t id = 0; id < 5000; ++id) {
      const int draw = small(engine);
      points.push_back({id, draw < 4 ? kNaN : static_cast<float>(draw)});
    }
    std::vector<ScoredPoint> numbers, nans;
    for (const ScoredPoint& p : points) (std::isnan(p.score) ? nans : numbers).push_back(p);
    const auto better = [&](const ScoredPoint& a, const ScoredPoint& b) {
      return ranks_ascending(metric) ? a.score < b.score : a.score > b.score;
    };
    std::stable_sort(numbers.begin(), numbers.end(), better);
    numbers.insert(numbers.end(), nans.begin(), nans.end());

    rank_by_metric(points, metric);
    EXPECT_EQ(ids_of(points), ids_of(numbers));
  }
}

}  // namespace
}  // namespace tavrik

namespace tavrik {
namespace {

// rank_top_by_metric gives exactly the first `limit` records of the full
// stable ranking, ties, NaNs and every limit included.
TEST(RankTopByMetric, EqualsTheStableRankingCutToTheLimit) {
  std::mt19937_64 rng(99);
  const float kInf = std::numeric_limits<float>::infinity();
  const float pool[] = {0.0f, -0.0f, 1.0f, 1.0f, 2.5f, -3.0f, kNaN, -kNaN, 7.0f, 0.5f,
                        kInf, -kInf, std::numeric_limits<float>::max(),
                        std::numeric_limits<float>::denorm_min(), -1e-30f};
  for (int round = 0; round < 400; ++round) {
    std::vector<ScoredPoint> points;
    const std::size_t n = rng() % 120;
    for (std::size_t i = 0; i < n; ++i) {
      const float score = round % 2 == 0 ? pool[rng() % std::size(pool)]
                                         : std::uniform_real_distribution<float>(-1, 1)(rng);
      points.push_back({i, score});
    }
    for (const Metric metric : {Metric::Cosine, Metric::DotProduct, Metric::Euclidean}) {
      for (const std::uint64_t limit :
           {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{10},
            std::uint64_t{64}, std::uint64_t{65}, std::uint64_t{n}, ~std::uint64_t{0}}) {
        std::vector<ScoredPoint> full = points;
        rank_by_metric(full, metric);
        if (limit < full.size()) full.resize(static_cast<std::size_t>(limit));
        std::vector<ScoredPoint> top = points;
        rank_top_by_metric(top, metric, limit);
        ASSERT_EQ(ids_of(top), ids_of(full)) << round << " " << limit;
        for (std::size_t i = 0; i < top.size(); ++i) {
          ASSERT_EQ(std::bit_cast<std::uint32_t>(top[i].score),
                    std::bit_cast<std::uint32_t>(full[i].score));
        }
      }
    }
  }
}

}  // namespace
}  // namespace tavrik
