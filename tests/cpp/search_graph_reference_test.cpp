// The graph walks against a literal reference: plain lists sorted with
// std::stable_sort before every removal, a running-maximum worst, a std::set
// of visited ids, and one cosine_distance call per neighbour. On random
// graphs (missing points, missing nodes, ids above the largest node id,
// tenants, zero vectors, vectors of another length, tied and NaN distances,
// widths from 0 to beyond 64) both walks must give the same pairs, bit for
// bit, in the same order.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/distance/distance.h"
#include "graph_fixture.h"
#include "index/hnsw/candidate_order.h"
#include "index/hnsw/graph_scratch.h"
#include "index/hnsw/graph_walk.h"
#include "index/hnsw/search_layer.h"

namespace tavrik {
namespace {

using testing_graph::search_graph;
using testing_graph::search_layer;
using testing_graph::Graph;
using testing_graph::set_layer;

float reference_distance(std::span<const float> q, std::uint64_t id, const PointTable& points) {
  const auto found = points.find(id);
  return found == points.end() ? kUncomparableDistance : cosine_distance(q, found->second.vector);
}

std::uint64_t reference_layer(std::span<const float> q, std::uint64_t entry, std::uint64_t layer,
                              const HNSWIndex& index, const PointTable& points,
                              std::optional<std::string_view> tenant) {
  std::uint64_t current = entry;
  float best = reference_distance(q, entry, points);
  if (index.nodes.empty() || layer > 15) return current;
  for (;;) {
    const HNSWNode* node = index.nodes.find(current);
    if (node == nullptr) return current;
    const auto list = node->neighbors[layer];
    if (list.empty() || points.empty()) return current;
    bool moved = false;
    for (const std::uint64_t id : list) {
      const auto found = points.find(id);
      if (found == points.end()) continue;
      if (tenant && !matches_tenant(found->second, *tenant)) continue;
      const float d = cosine_distance(q, found->second.vector);
      if (best > d) {
        best = d;
        current = id;
        moved = true;
      }
    }
    if (!moved) return current;
  }
}

bool reference_before(const ScoredId& a, const ScoredId& b) {
  if (std::isnan(a.distance)) return false;
  if (std::isnan(b.distance)) return true;
  return a.distance < b.distance;
}

std::vector<ScoredId> reference_graph(std::span<const float> q, const HNSWIndex& index,
                                      const PointTable& points,
                                      std::optional<std::string_view> tenant) {
  std::uint64_t ep = *index.entry_point;
  for (std::uint64_t layer = index.max_level; layer >= 1; --layer) {
    ep = reference_layer(q, ep, layer, index, points, tenant);
  }
  const std::uint64_t range = index.nodes.largest_id().value_or(0);
  std::set<std::uint64_t> visited;
  if (points.find(ep) == points.end()) return {};
  const float d0 = reference_distance(q, ep, points);
  std::vector<ScoredId> c{{d0, ep}};
  std::vector<ScoredId> w{{d0, ep}};
  if (ep <= range) visited.insert(ep);
  while (!c.empty()) {
    if (c.size() > 1) std::stable_sort(c.begin(), c.end(), reference_before);
    const std::uint64_t cur = c.front().id;
    c.erase(c.begin());
    float worst = kUncomparableDistance;
    if (!w.empty()) {
      worst = w.front().distance;
      for (std::size_t i = 1; i < w.size(); ++i) {
        worst = worst > w[i].distance ? worst : w[i].distance;
      }
    }
    const HNSWNode* node = index.nodes.find(cur);
    if (node == nullptr || node->neighbors[0].empty()) continue;
    for (const std::uint64_t id : node->neighbors[0]) {
      if (id > range || !visited.insert(id).second) continue;
      const auto found = points.find(id);
      if (found == points.end()) continue;
      if (tenant && !matches_tenant(found->second, *tenant)) continue;
      const float d = cosine_distance(q, found->second.vector);
      if (worst > d || w.size() < index.ef_search) {
        c.push_back({d, id});
        w.push_back({d, id});
        if (w.size() > index.ef_search) {
          std::stable_sort(w.begin(), w.end(), reference_before);
          w.pop_back();
        }
      }
    }
  }
  if (w.size() >= 2) std::stable_sort(w.begin(), w.end(), reference_before);
  return w;
}

// A random graph of about `n` ids from `base` on; vectors of dimension
// `dims` with components from a few values (so distances tie), some zero
// vectors, some of another length, a few with NaN; some ids without a point
// or a node. A large base puts the ids far beyond any dense range, and
// adds the all-ones id, linked from some lists.
Graph random_graph(std::mt19937_64& rng, std::uint64_t n, std::size_t dims,
                   std::uint64_t base = 0) {
  Graph g;
  std::uniform_int_distribution<int> component(-3, 3);
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<std::uint64_t> any_id(base, base + n + n / 8);  // some above range
  std::uniform_int_distribution<std::size_t> degree(0, 40);
  std::uniform_int_distribution<std::uint64_t> level(0, 3);
  std::uint64_t max_level = 0;
  for (std::uint64_t id = base; id < base + n; ++id) {
    const int kind = percent(rng);
    if (kind >= 4) {
      std::vector<float> v(kind < 8 ? dims + 1 : dims);
      for (float& x : v) x = kind < 12 ? 0.0f : static_cast<float>(component(rng)) * 0.5f;
      if (kind < 14 && !v.empty()) v[0] = std::numeric_limits<float>::quiet_NaN();
      std::optional<std::string> tenant;
      if (percent(rng) < 60) tenant = percent(rng) < 50 ? "a" : "b";
      g.add_point(id, std::move(v), tenant);
    }
    if (percent(rng) >= 5 || id == base) {
      HNSWNode node;
      const std::uint64_t top = level(rng) == 3 ? level(rng) : 0;
      max_level = std::max(max_level, top);
      for (std::uint64_t layer = 0; layer <= top; ++layer) {
        std::vector<std::uint64_t> ids(layer == 0 ? degree(rng) : degree(rng) / 4);
        for (std::uint64_t& x : ids) {
          x = base != 0 && percent(rng) < 3 ? ~std::uint64_t{0} : any_id(rng);
        }
        set_layer(node.neighbors, layer, ids);
      }
      g.index.nodes.put(id, std::move(node));
    }
  }
  if (base != 0) {
    g.add_point(~std::uint64_t{0}, std::vector<float>(dims, 0.5f), "a");
    HNSWNode node;
    std::vector<std::uint64_t> ids(degree(rng));
    for (std::uint64_t& x : ids) x = any_id(rng);
    set_layer(node.neighbors, 0, ids);
    g.index.nodes.put(~std::uint64_t{0}, std::move(node));
  }
  g.index.entry_point = base;
  g.index.max_level = max_level;
  return g;
}

void expect_same(const std::vector<ScoredId>& got, const std::vector<ScoredId>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id) << "at " << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].distance),
              std::bit_cast<std::uint32_t>(want[i].distance))
        << "at " << i;
  }
}

TEST(SearchGraphReference, SameCandidatesInTheSameOrderOnRandomGraphs) {
  std::mt19937_64 rng(20261208);
  std::uniform_int_distribution<int> component(-3, 3);
  const std::uint64_t widths[] = {0, 1, 2, 5, 16, 32, 70, 200};
  for (int round = 0; round < 60; ++round) {
    const std::size_t dims = round % 3 == 0 ? 3 : 12;
    const std::uint64_t base = round % 4 == 1 ? std::uint64_t{1} << 40 : 0;
    Graph g = random_graph(rng, 300 + 37 * static_cast<std::uint64_t>(round), dims, base);
    for (const std::uint64_t ef : widths) {
      g.index.ef_search = ef;
      for (int q = 0; q < 4; ++q) {
        std::vector<float> query(q == 3 ? dims + 1 : dims);
        for (float& x : query) x = static_cast<float>(component(rng)) * 0.5f;
        for (const std::optional<std::string_view> tenant :
             {std::optional<std::string_view>{}, std::optional<std::string_view>{"a"}}) {
          SCOPED_TRACE(::testing::Message() << "round " << round << " ef " << ef << " q " << q);
          expect_same(search_graph(query, g.index, g.points, tenant),
                      reference_graph(query, g.index, g.points, tenant));
          for (std::uint64_t layer = 0; layer <= g.index.max_level; ++layer) {
            EXPECT_EQ(search_layer(query, base, layer, g.index, g.points, tenant),
                      reference_layer(query, base, layer, g.index, g.points, tenant));
          }
        }
      }
    }
  }
}

// One scratch reused by every search, over graphs of different sizes and
// id ranges and widths past the scratch's caps: each search still gives
// exactly the reference result, whatever the previous one left behind.
TEST(SearchGraphReference, ReusedScratchGivesTheSameCandidates) {
  std::mt19937_64 rng(99);
  std::uniform_int_distribution<int> component(-3, 3);
  const std::uint64_t widths[] = {200, 0, 32, 5000, 1, 70, 32};
  GraphScratch scratch;
  for (int round = 0; round < 24; ++round) {
    const std::size_t dims = round % 3 == 0 ? 3 : 12;
    const std::uint64_t n = round % 4 == 0 ? 6000 : 300 + 53 * static_cast<std::uint64_t>(round);
    Graph g = random_graph(rng, n, dims, round % 3 == 2 ? std::uint64_t{1} << 40 : 0);
    for (const std::uint64_t ef : widths) {
      g.index.ef_search = ef;
      for (int q = 0; q < 3; ++q) {
        std::vector<float> query(q == 2 ? dims + 1 : dims);
        for (float& x : query) x = static_cast<float>(component(rng)) * 0.5f;
        for (const std::optional<std::string_view> tenant :
             {std::optional<std::string_view>{}, std::optional<std::string_view>{"a"}}) {
          SCOPED_TRACE(::testing::Message() << "round " << round << " ef " << ef << " q " << q);
          const std::span<const ScoredId> found =
              search_graph(query, g.index, g.points, tenant, scratch);
          expect_same(std::vector<ScoredId>(found.begin(), found.end()),
                      reference_graph(query, g.index, g.points, tenant));
        }
      }
    }
  }
}

// Walks run together, in groups of every size up to nine, with queries of
// different lengths, with and without a tenant, over reused scratches: each
// still gives exactly the reference result for its own query.
TEST(SearchGraphReference, WalksRunTogetherGiveEachTheirOwnCandidates) {
  std::mt19937_64 rng(4242);
  std::uniform_int_distribution<int> component(-3, 3);
  std::vector<GraphScratch> scratches(9);
  for (int round = 0; round < 30; ++round) {
    const std::size_t dims = round % 3 == 0 ? 3 : 12;
    Graph g = random_graph(rng, 400 + 41 * static_cast<std::uint64_t>(round), dims,
                           round % 4 == 3 ? std::uint64_t{1} << 40 : 0);
    g.index.ef_search = std::uint64_t{1} + static_cast<std::uint64_t>(round % 5) * 17;
    const std::size_t group = 1 + static_cast<std::size_t>(round) % 9;
    std::vector<std::vector<float>> queries;
    std::vector<std::optional<std::string_view>> tenants;
    for (std::size_t w = 0; w < group; ++w) {
      std::vector<float> query(w % 4 == 3 ? dims + 1 : dims);
      for (float& x : query) x = static_cast<float>(component(rng)) * 0.5f;
      queries.push_back(std::move(query));
      tenants.push_back(w % 2 == 0 ? std::nullopt : std::optional<std::string_view>{"a"});
    }
    std::vector<GraphWalk> walks;
    walks.reserve(group);
    for (std::size_t w = 0; w < group; ++w) {
      walks.emplace_back(queries[w], g.index, g.points, tenants[w], scratches[w]);
    }
    run_together(walks);
    for (std::size_t w = 0; w < group; ++w) {
      SCOPED_TRACE(::testing::Message() << "round " << round << " walk " << w);
      ASSERT_TRUE(walks[w].done());
      const std::span<const ScoredId> found = walks[w].candidates();
      expect_same(std::vector<ScoredId>(found.begin(), found.end()),
                  reference_graph(queries[w], g.index, g.points, tenants[w]));
    }
  }
}

TEST(SearchGraphReference, InsertLastSortedEqualsTheStableSort) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> value(0, 6);
  for (int round = 0; round < 500; ++round) {
    std::vector<ScoredId> pairs;
    const int n = round % 80;
    for (int i = 0; i < n; ++i) {
      const int v = value(rng);
      pairs.push_back({v == 6 ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(v),
                       static_cast<std::uint64_t>(i)});
    }
    std::stable_sort(pairs.begin(), pairs.end(), reference_before);
    const int v = value(rng);
    pairs.push_back({v == 6 ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(v),
                     1000});
    std::vector<ScoredId> want = pairs;
    std::stable_sort(want.begin(), want.end(), reference_before);
    insert_last_sorted(pairs);
    expect_same(pairs, want);
  }
}

}  // namespace
}  // namespace tavrik
