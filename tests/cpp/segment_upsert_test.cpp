#include <gtest/gtest.h>

#include <map>
#include <random>

#include "graph_fixture.h"
#include "index/hnsw/search_layer.h"
#include "storage/segment/segment.h"

namespace tavrik {
namespace {

using testing_graph::search_graph;
using testing_graph::make_point;

TEST(SegmentUpsert, ReplacesPointWholeAndKeepsOneNode) {
  Segment segment;
  segment.upsert(7, make_point({1, 2, 3}, "acme"));
  segment.upsert(7, make_point({1, 2, 3, 4, 5}, std::nullopt));
  segment.read([](const PointTable& points, const HNSWIndex& index) {
    ASSERT_EQ(points.size(), 1u);
    const Point* point = points.lookup(7);
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->vector, (std::vector<float>{1, 2, 3, 4, 5}));
    EXPECT_FALSE(point->payload.has_value());
    EXPECT_EQ(index.nodes.size(), 1u);
    EXPECT_EQ(index.entry_point, 7u);
  });
}

// Structural rules that every graph built through upsert keeps.
void expect_sound_graph(const PointTable& points, const HNSWIndex& index,
                        std::uint64_t first_id) {
  ASSERT_TRUE(index.entry_point.has_value());
  EXPECT_NE(index.nodes.find(*index.entry_point), nullptr);
  EXPECT_LE(index.max_level, 15u);
  EXPECT_EQ(points.size(), index.nodes.size());
  for (const auto& [id, point] : points) {
    const HNSWNode* node = index.nodes.find(id);
    ASSERT_NE(node, nullptr) << id;
    EXPECT_EQ(index.nodes.id_of(id), id);
    if (id != first_id) {
      EXPECT_FALSE(node->neighbors[0].empty()) << id;
    }
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
      const auto& list = node->neighbors[layer];
      EXPECT_LE(list.size(), index.m) << id << " layer " << layer;
      if (layer > index.max_level) {
        EXPECT_TRUE(list.empty()) << id << " layer " << layer;
      }
      for (const std::uint64_t linked : list) EXPECT_NE(points.lookup(linked), nullptr) << linked;
    }
  }
}

TEST(SegmentUpsert, RandomUpsertsKeepTheGraphSound) {
  Segment segment;
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<std::uint64_t> pick_id(0, 999);
  std::uniform_real_distribution<float> component(-1.0f, 1.0f);
  std::uniform_int_distribution<int> percent(0, 99);
  std::map<std::uint64_t, std::vector<float>> latest;
  std::optional<std::uint64_t> first_id;

  for (int i = 0; i < 3000; ++i) {
    const std::uint64_t id = pick_id(rng);
    const int roll = percent(rng);
    const std::size_t dim = roll < 3 ? 3 : roll < 5 ? 0 : 8;
    std::vector<float> vector(dim);
    if (roll != 5) {
      for (float& x : vector) x = component(rng);
    }
    if (!first_id) first_id = id;
    latest[id] = vector;
    const auto tenant = roll % 2 ? std::optional<std::string>("t") : std::nullopt;
    segment.upsert(id, make_point(vector, tenant));
  }

  segment.read([&](const PointTable& points, const HNSWIndex& index) {
    ASSERT_EQ(points.size(), latest.size());
    for (const auto& [id, vector] : latest) {
      const Point* point = points.lookup(id);
      ASSERT_NE(point, nullptr) << id;
      EXPECT_EQ(point->vector, vector) << id;
    }
    expect_sound_graph(points, index, *first_id);

    const std::vector<float> query = {1, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<ScoredId> found = search_graph(query, index, points, std::nullopt);
    EXPECT_FALSE(found.empty());
    EXPECT_LE(found.size(), index.ef_search);
    for (std::size_t i = 1; i < found.size(); ++i) {
      EXPECT_LE(found[i - 1].distance, found[i].distance);
    }
  });
}

}  // namespace
}  // namespace tavrik
