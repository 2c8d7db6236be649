#include "index/hnsw/neighbor_lists.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace tavrik {
namespace {

using Model = std::array<std::vector<std::uint64_t>, MAX_LAYERS>;

void expect_matches(const NeighborLists& lists, const Model& model) {
  ASSERT_EQ(lists.size(), MAX_LAYERS);
  for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
    const auto ids = lists[layer];
    EXPECT_EQ(std::vector<std::uint64_t>(ids.begin(), ids.end()), model[layer]) << layer;
  }
}

// Every list of `model` at once, through assign_all.
void assign_model(NeighborLists& lists, const Model& model) {
  std::size_t counts[MAX_LAYERS] = {};
  std::vector<std::uint64_t> ids;
  for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
    counts[layer] = model[layer].size();
    ids.insert(ids.end(), model[layer].begin(), model[layer].end());
  }
  lists.assign_all(counts, ids);
}

// assign_all leaves what appending each id in turn leaves: the same lists,
// which later appends then grow alike (whatever form either holds them in).
TEST(NeighborLists, AssignAllEqualsAppendingInTurn) {
  std::mt19937_64 rng(41);
  for (int round = 0; round < 2000; ++round) {
    NeighborLists stepwise;
    Model model;
    const std::size_t top = rng() % (MAX_LAYERS + 1);
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
      // Often none or one id: the forms without a block.
      if (layer < top && rng() % 3 != 0) model[layer].resize(rng() % 4 == 0 ? rng() % 40 : 1);
      for (auto& id : model[layer]) {
        id = rng() % 3 == 0 ? ~std::uint64_t{0} - rng() % 2 : rng() % 1000;
        stepwise.push_back(layer, id);
      }
    }
    NeighborLists bulk;
    if (round % 2 == 1) bulk.push_back(rng() % MAX_LAYERS, 5);  // replaced entirely
    assign_model(bulk, model);
    expect_matches(bulk, model);
    EXPECT_EQ(bulk, stepwise);
    for (int i = 0; i < 20; ++i) {
      const std::size_t layer = rng() % MAX_LAYERS;
      const std::uint64_t id = rng() % 1000;
      bulk.push_back(layer, id);
      stepwise.push_back(layer, id);
      model[layer].push_back(id);
    }
    expect_matches(bulk, model);
    EXPECT_EQ(bulk, stepwise);
  }
}

TEST(NeighborLists, NewListsAreSixteenEmptyOnes) {
  const NeighborLists lists;
  EXPECT_EQ(lists.size(), 16u);
  for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) EXPECT_TRUE(lists[layer].empty());
  EXPECT_EQ(lists, NeighborLists());
}

TEST(NeighborLists, BehavesLikeSixteenGrowableLists) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 200; ++round) {
    NeighborLists lists;
    Model model;
    const int steps = static_cast<int>(rng() % 120);
    for (int step = 0; step < steps; ++step) {
      // Mostly low layers, as in a real graph.
      const std::size_t layer = rng() % 4 == 0 ? rng() % MAX_LAYERS : rng() % 2;
      if (rng() % 10 == 0) {
        model[layer].resize(rng() % 3 == 0 ? rng() % 20 : rng() % 2);
        for (auto& id : model[layer]) id = rng();
        assign_model(lists, model);
      } else {
        const std::uint64_t id = rng();
        lists.push_back(layer, id);
        model[layer].push_back(id);
      }
      if (step % 7 == 0) expect_matches(lists, model);
    }
    expect_matches(lists, model);
    NeighborLists copy = lists;
    expect_matches(copy, model);
    EXPECT_EQ(copy, lists);
    copy.push_back(0, 3);  // the copy owns its own ids
    expect_matches(lists, model);
    NeighborLists moved = std::move(copy);
    model[0].push_back(3);
    expect_matches(moved, model);
    lists = moved;
    expect_matches(lists, model);
  }
}

TEST(NeighborLists, EqualityComparesEveryList) {
  NeighborLists a;
  NeighborLists b;
  a.push_back(3, 7);
  EXPECT_FALSE(a == b);
  b.push_back(3, 7);
  EXPECT_EQ(a, b);
  // An emptied higher layer equals one never used.
  NeighborLists c;
  c.push_back(3, 7);
  c.push_back(9, 1);
  Model emptied;
  emptied[3] = {7};
  assign_model(c, emptied);
  EXPECT_EQ(a, c);
  b.push_back(0, 7);
  EXPECT_FALSE(a == b);
}

TEST(NeighborLists, DuplicatesAndOrderAreKept) {
  NeighborLists lists;
  for (std::uint64_t id : {5, 5, 1, 5}) lists.push_back(0, id);
  lists.push_back(15, 2);
  lists.push_back(0, 9);
  const auto layer0 = lists[0];
  EXPECT_EQ(std::vector<std::uint64_t>(layer0.begin(), layer0.end()),
            (std::vector<std::uint64_t>{5, 5, 1, 5, 9}));
  ASSERT_EQ(lists[15].size(), 1u);
  EXPECT_EQ(lists[15][0], 2u);
}

}  // namespace
}  // namespace tavrik
