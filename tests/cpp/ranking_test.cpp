#include "core/distance/ranking.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    std::stable_sort(numbers.begin(), numbers.end(), [&](const ScoredPoint& a, const ScoredPoint& b) {
      return ranks_ascending(metric) ? a.score < b.score : a.score > b.score;
    });
    numbers.insert(numbers.end(), nans.begin(), nans.end());

    rank_by_metric(points, metric);
    EXPECT_EQ(ids_of(points), ids_of(numbers));
  }
}

}  // namespace
}  // namespace tavrik
