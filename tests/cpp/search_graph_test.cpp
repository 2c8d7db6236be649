#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/distance/distance.h"
#include "graph_fixture.h"
#include "index/hnsw/candidate_order.h"
#include "index/hnsw/search_layer.h"

namespace tavrik {
namespace {

using testing_graph::search_graph;
using testing_graph::Graph;
using testing_graph::set_layer;

const std::vector<float> kQuery = {1, 0};
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<std::uint64_t> ids_of(const std::vector<ScoredId>& pairs) {
  std::vector<std::uint64_t> ids;
  for (const ScoredId& p : pairs) ids.push_back(p.id);
  return ids;
}

std::vector<ScoredId> search(const Graph& g, std::optional<std::string_view> tenant = {}) {
  return search_graph(kQuery, g.index, g.points, tenant);
}

// A point on the unit circle at `angle` radians from the query.
std::vector<float> at_angle(double angle) {
  return {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
}

// Entry 0 far from the query, listing points 1..n on layer 0 in order.
Graph star(std::uint64_t n) {
  Graph g;
  std::vector<std::uint64_t> spokes;
  for (std::uint64_t id = 1; id <= n; ++id) {
    g.add(id, at_angle(0.002 * static_cast<double>((id * 7919) % n)));
    spokes.push_back(id);
  }
  g.add(0, {-1, 0}, {});
  set_layer(g.index.nodes.find(0)->neighbors, 0, spokes);
  g.index.entry_point = 0;
  return g;
}

TEST(SearchGraph, KeepsTheClosestEfSearchPairsSorted) {
  Graph g = star(600);
  const std::vector<ScoredId> result = search(g);
  ASSERT_EQ(result.size(), 32u);
  // Every point is reached from the far entry, so the result is the true top 32.
  std::vector<ScoredId> all;
  for (const auto& [id, point] : g.points) {
    all.push_back({cosine_distance(kQuery, point.vector), id});
  }
  sort_ascending(all);
  for (std::size_t i = 0; i < result.size(); ++i) {
    EXPECT_EQ(result[i].distance, all[i].distance) << i;
    if (i > 0) {
      EXPECT_LE(result[i - 1].distance, result[i].distance);
    }
  }
}

TEST(SearchGraph, TenantMatchingNothingLeavesOnlyTheStartPair) {
  Graph g = star(40);
  g.index.max_level = 2;
  set_layer(g.index.nodes.find(0)->neighbors, 1, std::vector<std::uint64_t>{1, 2});
  const std::vector<ScoredId> result = search(g, "nobody");
  EXPECT_EQ(ids_of(result), std::vector<std::uint64_t>{0});
}

TEST(SearchGraph, TenantFiltersLayerZeroNeighbours) {
  Graph g;
  g.add(0, {-1, 0}, {{0, {1, 2, 3}}});
  g.add_point(1, {1, 0}, "other");
  g.add_node(1);
  g.add_point(2, {1, 1}, "acme");
  g.add_node(2);
  g.add_point(3, {0, 1}, "acme");
  g.add_node(3);
  g.index.entry_point = 0;
  EXPECT_EQ(ids_of(search(g, "acme")), (std::vector<std::uint64_t>{2, 3, 0}));
}

TEST(SearchGraph, MissingPointAtDescentEndGivesEmptyResult) {
  Graph g;
  g.add(1, {1, 0});
  g.add_node(5, {{0, {1}}, {1, {1}}});  // a node whose point is missing
  g.index.entry_point = 5;
  g.index.max_level = 1;
  // On layer 1 the walk moves to 1, which has a point.
  EXPECT_EQ(ids_of(search(g)), std::vector<std::uint64_t>{1});
  // With nothing to move to on layer 1, the descent ends at 5: no result.
  set_layer(g.index.nodes.find(5)->neighbors, 1, {});
  EXPECT_TRUE(search(g).empty());
}

TEST(SearchGraph, IdsAboveLargestNodeIdAreSkipped) {
  Graph g;
  g.add(0, {-1, 0}, {{0, {1000, 5}}});
  g.add(10, {0, 1});
  g.add_point(1000, {1, 0});  // point without node, above every node id
  g.add_point(5, {1, 0.5f});  // point without node, inside the range
  g.index.entry_point = 0;
  EXPECT_EQ(ids_of(search(g)), (std::vector<std::uint64_t>{5, 0}));
}

TEST(SearchGraph, EntryAboveTheVisitedRangeIsStillEvaluated) {
  Graph g;
  g.add(1, {1, 0});
  g.add_point(99, {0, 1});
  g.index.entry_point = 99;
  EXPECT_EQ(ids_of(search(g)), std::vector<std::uint64_t>{99});
}

TEST(SearchGraph, EfSearchZeroKeepsOnePair) {
  Graph g = star(10);
  g.index.ef_search = 0;
  const std::vector<ScoredId> result = search(g);
  ASSERT_EQ(result.size(), 1u);
  EXPECT_NE(result[0].id, 0u);  // closer pairs replace the start pair
}

TEST(SearchGraph, OwnIdOnlyListAddsNothing) {
  Graph g;
  g.add(3, {1, 0}, {{0, {3}}});
  g.index.entry_point = 3;
  EXPECT_EQ(ids_of(search(g)), std::vector<std::uint64_t>{3});
}

TEST(SearchGraph, MismatchedQueryFillsInOrderReached) {
  Graph g = star(50);
  const std::vector<float> query = {1, 0, 0};
  const std::vector<ScoredId> result = search_graph(query, g.index, g.points, std::nullopt);
  ASSERT_EQ(result.size(), 32u);
  for (std::size_t i = 0; i < result.size(); ++i) {
    EXPECT_EQ(result[i].id, i);  // start pair, then spokes 1..31 in list order
    EXPECT_EQ(result[i].distance, kUncomparableDistance);
  }
}

TEST(SearchGraph, HugeLoadedMaxLevelDoesNotWalkEveryLayer) {
  Graph g = star(5);
  g.index.max_level = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(search(g).size(), 6u);
}

TEST(SearchGraph, NaNDistancesSortLast) {
  Graph g;
  g.add(0, {-1, 0}, {{0, {1, 2, 3}}});
  g.add(1, {kNaN, 0});
  g.add(2, {1, 0});
  g.add(3, {0, 1});
  g.index.entry_point = 0;
  const std::vector<ScoredId> result = search(g);
  EXPECT_EQ(ids_of(result), (std::vector<std::uint64_t>{2, 3, 0, 1}));
}

TEST(CandidateOrder, StableWithNaNLast) {
  std::vector<ScoredId> pairs = {{kNaN, 1}, {0.5f, 2}, {kNaN, 3}, {0.1f, 4}, {0.5f, 5}};
  sort_ascending(pairs);
  EXPECT_EQ(ids_of(pairs), (std::vector<std::uint64_t>{4, 2, 5, 1, 3}));
}

TEST(CandidateOrder, WorstIsARunningMaximumThatYieldsToNaNSuccessors) {
  EXPECT_EQ(worst_distance({}), kUncomparableDistance);
  EXPECT_EQ(worst_distance({{0.2f, 1}, {0.7f, 2}, {0.4f, 3}}), 0.7f);
  EXPECT_EQ(worst_distance({{kNaN, 1}, {0.3f, 2}}), 0.3f);
  EXPECT_TRUE(std::isnan(worst_distance({{0.3f, 1}, {kNaN, 2}})));
}

}  // namespace
}  // namespace tavrik
