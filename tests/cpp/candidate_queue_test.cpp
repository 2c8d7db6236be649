#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/distance/distance.h"
#include "index/hnsw/candidate_order.h"

namespace tavrik {
namespace {

// Few distinct distances (so ties are common), zeros of both signs and NaNs.
float random_distance(std::mt19937_64& rng) {
  switch (rng() % 12) {
    case 0: return std::numeric_limits<float>::quiet_NaN();
    case 1: return -0.0f;
    case 2: return 0.0f;
    case 3: return kUncomparableDistance;
    default: return static_cast<float>(rng() % 6) * 0.25f;
  }
}

bool same_pairs(const std::vector<ScoredId>& a, const std::vector<ScoredId>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id) return false;
  }
  return true;
}

TEST(SortAscending, EqualsTheLibraryStableSort) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 2000; ++round) {
    std::vector<ScoredId> pairs(rng() % 100);
    for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = {random_distance(rng), i};
    std::vector<ScoredId> expected = pairs;
    std::stable_sort(expected.begin(), expected.end(), sorts_before);
    sort_ascending(pairs);
    EXPECT_TRUE(same_pairs(pairs, expected)) << round;
  }
}

// take() gives what stably sorting the pairs held, then taking the front,
// would give.
TEST(CandidateQueue, TakesWhatSortingTheListWouldGiveFirst) {
  std::mt19937_64 rng(4);
  for (int round = 0; round < 500; ++round) {
    CandidateQueue queue;
    std::vector<ScoredId> list;
    std::uint64_t next_id = 0;
    for (int step = 0; step < 200; ++step) {
      if (list.empty() || rng() % 3 != 0) {
        const ScoredId pair{random_distance(rng), next_id++};
        queue.push(pair);
        list.push_back(pair);
      } else {
        std::stable_sort(list.begin(), list.end(), sorts_before);
        const ScoredId expected = list.front();
        list.erase(list.begin());
        ASSERT_FALSE(queue.empty());
        EXPECT_EQ(queue.take().id, expected.id) << round << " " << step;
      }
    }
    EXPECT_EQ(queue.empty(), list.empty());
  }
}

TEST(CandidateQueue, ClearedQueueTakesLikeAFreshOne) {
  std::mt19937_64 rng(13);
  CandidateQueue reused;
  for (int round = 0; round < 300; ++round) {
    reused.clear(round % 2 == 0 ? 8 : 4096);
    CandidateQueue fresh;
    const int pushes = static_cast<int>(rng() % 300);
    for (int i = 0; i < pushes; ++i) {
      const ScoredId pair{random_distance(rng), static_cast<std::uint64_t>(i)};
      reused.push(pair);
      fresh.push(pair);
      if (rng() % 3 == 0) {
        EXPECT_EQ(reused.take().id, fresh.take().id);
      }
    }
    // Half the rounds leave pairs behind for the next clear.
    if (round % 2 == 0) continue;
    while (!fresh.empty()) {
      ASSERT_FALSE(reused.empty());
      EXPECT_EQ(reused.take().id, fresh.take().id);
    }
    EXPECT_TRUE(reused.empty());
  }
}

}  // namespace
}  // namespace tavrik
