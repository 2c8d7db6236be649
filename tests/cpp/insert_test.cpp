#include "index/hnsw/insert.h"

#include <gtest/gtest.h>

#include <limits>

#include "graph_fixture.h"

namespace tavrik {
namespace {

using testing_graph::Graph;
using testing_graph::set_layer;
using Ids = std::vector<std::uint64_t>;

void expect_empty_from(const Graph& g, std::uint64_t id, std::size_t first_empty_layer) {
  for (std::size_t layer = first_empty_layer; layer < MAX_LAYERS; ++layer) {
    EXPECT_TRUE(g.list(id, layer).empty()) << "node " << id << " layer " << layer;
  }
}

TEST(Insert, FirstNodeBecomesEntryWithoutLinks) {
  Graph g;
  g.insert(7, {1, 0}, 3);
  ASSERT_EQ(g.index.nodes.size(), 1u);
  EXPECT_EQ(g.index.nodes.id_of(7), 7u);
  expect_empty_from(g, 7, 0);
  EXPECT_EQ(g.index.entry_point, 7u);
  EXPECT_EQ(g.index.max_level, 3u);
}

TEST(Insert, SecondNodeAtLevelZeroLinksBothWays) {
  Graph g;
  g.insert(1, {1, 0}, 0);
  g.insert(2, {0, 1}, 0);
  EXPECT_EQ(g.list(2, 0), Ids{1});
  EXPECT_EQ(g.list(1, 0), Ids{2});
  expect_empty_from(g, 1, 1);
  expect_empty_from(g, 2, 1);
  EXPECT_EQ(g.index.entry_point, 1u);
}

TEST(Insert, FullListGetsNoBackLinkButIsStillLinkedTo) {
  Graph g;
  g.insert(1, {1, 0}, 0);
  Ids full;
  for (std::uint64_t id = 100; id < 116; ++id) full.push_back(id);  // m ids without points
  set_layer(g.index.nodes.find(1)->neighbors, 0, full);
  g.insert(2, {0, 1}, 0);
  EXPECT_EQ(g.list(1, 0), full);
  EXPECT_EQ(g.list(2, 0), Ids{1});
}

TEST(Insert, NodeAboveMaxLevelBecomesEntryLinkedUpToOldMaxLevel) {
  Graph g;
  g.insert(1, {1, 0}, 1);
  g.insert(2, {0, 1}, 3);
  EXPECT_EQ(g.list(2, 0), Ids{1});
  EXPECT_EQ(g.list(2, 1), Ids{1});
  expect_empty_from(g, 2, 2);
  EXPECT_EQ(g.list(1, 0), Ids{2});
  EXPECT_EQ(g.list(1, 1), Ids{2});
  EXPECT_EQ(g.index.entry_point, 2u);
  EXPECT_EQ(g.index.max_level, 3u);
}

TEST(Insert, LowerNodeWalksDownFromEntry) {
  Graph g;
  g.insert(1, {0, 1}, 2);
  g.insert(2, {1, 0}, 1);     // linked to 1 on layers 1 and 0
  g.insert(3, {1, 0.1f}, 0);  // layer 2 and 1 walks lead 1 -> 2
  EXPECT_EQ(g.list(3, 0), Ids{2});
  EXPECT_EQ(g.list(2, 0), (Ids{1, 3}));
  EXPECT_EQ(g.list(1, 0), Ids{2});
  EXPECT_EQ(g.index.entry_point, 1u);
  EXPECT_EQ(g.index.max_level, 2u);
}

TEST(Insert, ReinsertionReplacesOutgoingLinksOnly) {
  Graph g;
  g.insert(1, {1, 0}, 1);
  g.insert(2, {0, 1}, 1);
  g.insert(3, {1, 1}, 0);
  const Ids links_of_1_layer_0 = g.list(1, 0);
  ASSERT_EQ(g.list(2, 0), (Ids{1}));
  // Re-insert 2 near 1: the walk from entry 1 reaches 2 itself, which is now
  // closest, so the new node's lists hold its own id.
  g.insert(2, {1, 0.01f}, 1);
  EXPECT_EQ(g.index.nodes.size(), 3u);
  EXPECT_EQ(g.list(2, 1), Ids{2});
  EXPECT_EQ(g.list(2, 0), Ids{2});
  expect_empty_from(g, 2, 2);
  EXPECT_EQ(g.list(1, 0), links_of_1_layer_0);  // its links to 2 stay as they were
  EXPECT_EQ(g.index.entry_point, 1u);
  EXPECT_EQ(g.index.max_level, 1u);
}

TEST(Insert, EntryPointKeepsItsRoleWhenReinsertedLower) {
  Graph g;
  g.insert(1, {1, 0}, 2);
  g.insert(2, {0, 1}, 0);
  g.insert(1, {0, 1}, 0);
  EXPECT_EQ(g.index.entry_point, 1u);
  EXPECT_EQ(g.index.max_level, 2u);
  EXPECT_EQ(g.list(1, 0).size(), 1u);
  expect_empty_from(g, 1, 1);
}

TEST(Insert, ZeroVectorLinksToEntryOnEveryLayer) {
  Graph g;
  g.insert(1, {1, 0}, 2);
  g.insert(2, {0.9f, 0.1f}, 2);
  g.insert(3, {0.8f, 0.2f}, 1);
  g.insert(9, {0, 0}, 2);
  for (std::size_t layer = 0; layer <= 2; ++layer) EXPECT_EQ(g.list(9, layer), Ids{1});
  EXPECT_EQ(g.list(1, 2).back(), 9u);
  EXPECT_EQ(g.list(1, 0).back(), 9u);
}

TEST(Insert, ZeroCapStillLinksTheNewNode) {
  Graph g;
  g.index.m = 0;
  g.insert(1, {1, 0}, 0);
  g.insert(2, {0, 1}, 0);
  EXPECT_TRUE(g.list(1, 0).empty());
  EXPECT_EQ(g.list(2, 0), Ids{1});
}

TEST(Insert, AbsentEntryPointTreatsIndexAsEmpty) {
  Graph g;
  g.add(5, {1, 0}, {{0, {6}}});
  g.insert(6, {0, 1}, 4);
  EXPECT_EQ(g.index.entry_point, 6u);
  EXPECT_EQ(g.index.max_level, 4u);
  expect_empty_from(g, 6, 0);
  EXPECT_EQ(g.list(5, 0), Ids{6});
}

TEST(Insert, HugeLoadedMaxLevelLinksFromDrawnLevel) {
  Graph g;
  g.insert(1, {1, 0}, 15);
  g.index.max_level = std::numeric_limits<std::uint64_t>::max();
  g.insert(2, {0, 1}, 2);
  EXPECT_EQ(g.list(2, 2), Ids{1});
  expect_empty_from(g, 2, 3);
  EXPECT_EQ(g.index.entry_point, 1u);
}

TEST(InsertDeathTest, LevelAboveFifteenIsAnInternalFault) {
  Graph g;
  g.add_point(1, {1, 0});
  EXPECT_DEATH(insert_at_level(g.index, 1, g.points.lookup(1)->vector, g.points, 16),
               "internal fault");
}

}  // namespace
}  // namespace tavrik
