#include "index/hnsw/search_layer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "graph_fixture.h"

namespace tavrik {
namespace {

using testing_graph::search_layer;
using testing_graph::Graph;

const std::vector<float> kQuery = {1, 0};
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Entry 1 sits far from the query; on layer 0 it lists `listed`.
Graph entry_listing(std::vector<std::uint64_t> listed) {
  Graph g;
  g.add(1, {0, 1}, {{0, std::move(listed)}});
  return g;
}

std::uint64_t walk(const Graph& g, std::uint64_t entry, std::uint64_t layer = 0,
                   std::optional<std::string_view> tenant = std::nullopt) {
  return search_layer(kQuery, entry, layer, g.index, g.points, tenant);
}

TEST(SearchLayer, LayersAboveFifteenReturnEntry) {
  Graph g;
  g.add(1, {0, 1}, {{15, {2}}});
  g.add(2, {1, 0});
  EXPECT_EQ(walk(g, 1, 15), 2u);
  for (std::uint64_t layer :
       {std::uint64_t{16}, std::uint64_t{17}, std::numeric_limits<std::uint64_t>::max()}) {
    EXPECT_EQ(walk(g, 1, layer), 1u) << layer;
  }
}

TEST(SearchLayer, EmptyListOrMissingNodeReturnsEntry) {
  Graph g;
  g.add(1, {0, 1}, {{1, {2}}});
  g.add(2, {1, 0});
  g.add_point(3, {0, 1});
  EXPECT_EQ(walk(g, 1, 0), 1u);  // only layer 1 is listed
  EXPECT_EQ(walk(g, 3, 0), 3u);  // point without node
}

TEST(SearchLayer, FirstListedWinsTiesAmongClosest) {
  Graph g = entry_listing({5, 2, 3});
  g.add_point(5, {1, 1});  // closer than the entry, not closest
  g.add_point(2, {2, 0});
  g.add_point(3, {3, 0});  // as close as 2
  EXPECT_EQ(walk(g, 1), 2u);
}

TEST(SearchLayer, NeighbourAsCloseAsCurrentIsNotTaken) {
  Graph g = entry_listing({2});
  g.add_point(2, {0, 5});
  EXPECT_EQ(walk(g, 1), 1u);
}

TEST(SearchLayer, WalksUntilNoStrictImprovement) {
  Graph g = entry_listing({2});
  g.add(2, {1, 1}, {{0, {1, 3}}});
  g.add(3, {1, 0.1f}, {{0, {2, 1}}});
  EXPECT_EQ(walk(g, 1), 3u);
}

TEST(SearchLayer, UncomparableAndNaNNeighboursAreNeverTaken) {
  Graph g = entry_listing({2, 3, 4, 5});
  g.add_point(2, {1, 0, 0});  // length differs
  g.add_point(3, {0, 0});     // zero magnitude
  g.add_point(4, {kNaN, 0});
  g.add_point(5, {});
  EXPECT_EQ(walk(g, 1), 1u);
}

TEST(SearchLayer, EntryWithoutPointMovesToFirstComparableNeighbour) {
  for (const bool three_has_a_point : {true, false}) {
    Graph g;
    g.add_node(1, {{0, {7, 2, 3}}});  // 7 has no point
    g.add_point(2, {0, 1});
    if (three_has_a_point) g.add_point(3, {1, 0});
    EXPECT_EQ(walk(g, 1), three_has_a_point ? 3u : 2u);
  }
}

TEST(SearchLayer, TenantFiltersNeighboursButNotEntry) {
  Graph g;
  g.add_point(1, {0, 1}, "other");
  g.add_node(1, {{0, {2, 3}}});
  g.add_point(2, {1, 0}, "other");
  g.add_point(3, {1, 1}, "acme");
  EXPECT_EQ(walk(g, 1, 0, "acme"), 3u);
  EXPECT_EQ(walk(g, 1, 0, "nobody"), 1u);
  EXPECT_EQ(walk(g, 1, 0), 2u);
}

}  // namespace
}  // namespace tavrik
