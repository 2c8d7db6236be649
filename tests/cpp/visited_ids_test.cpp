#include "index/hnsw/visited_ids.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <unordered_set>

namespace tavrik {
namespace {

TEST(VisitedIds, MarksEachIdInRangeOnce) {
  std::mt19937_64 rng(5);
  for (const std::uint64_t largest : {std::uint64_t{0}, std::uint64_t{50}, std::uint64_t{100000},
                                      ~std::uint64_t{0}}) {
    VisitedIds visited(largest, 8);
    std::unordered_set<std::uint64_t> model;
    for (int i = 0; i < 20000; ++i) {
      std::uint64_t id = 0;
      switch (rng() % 4) {
        case 0: id = rng() % 64; break;
        case 1: id = rng() % 200000; break;
        case 2: id = ~std::uint64_t{0} - rng() % 3; break;
        default: id = rng(); break;
      }
      const bool expected = id <= largest && model.insert(id).second;
      EXPECT_EQ(visited.markable(id), expected) << id;
      EXPECT_EQ(visited.mark(id), expected) << id;
    }
  }
}

TEST(VisitedIds, ResetStartsAFreshRangeWithNoMarks) {
  std::mt19937_64 rng(8);
  VisitedIds visited(10, 8);
  for (int round = 0; round < 40; ++round) {
    const std::uint64_t largest = round % 5 == 0 ? ~std::uint64_t{0} : rng() % 50000;
    const std::size_t expected = round % 7 == 0 ? 3000 : rng() % 64;
    visited.reset(largest, expected, 256);
    std::unordered_set<std::uint64_t> model;
    const int marks = round % 3 == 0 ? 20000 : 300;
    for (int i = 0; i < marks; ++i) {
      const std::uint64_t id = rng() % 4 == 0 ? ~std::uint64_t{0} - rng() % 2 : rng() % 60000;
      const bool expected_new = id <= largest && model.insert(id).second;
      EXPECT_EQ(visited.markable(id), expected_new) << round << " " << id;
      EXPECT_EQ(visited.mark(id), expected_new) << round << " " << id;
    }
  }
}

}  // namespace
}  // namespace tavrik
