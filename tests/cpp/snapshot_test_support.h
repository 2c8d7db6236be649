// Helpers shared by the snapshot tests: random stores and field-by-field
// comparison of point tables and graph indexes.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "core/vector/point_table.h"
#include "index/hnsw/hnsw_index.h"

namespace tavrik::testing_support {

// Compared entry by entry through each table's own lookup: the two tables
// hash with different keys.
inline bool same_payload(const Payload& expected, const Payload& actual) {
  if (expected.size() != actual.size()) return false;
  for (const auto& [key, value] : expected) {
    const auto found = actual.find(key);
    if (found == actual.end() || !(found->second == value)) return false;
  }
  return true;
}

inline ::testing::AssertionResult same_points(const PointTable& expected,
                                              const PointTable& actual) {
  if (expected.size() != actual.size()) {
    return ::testing::AssertionFailure() << "sizes " << expected.size() << " vs " << actual.size();
  }
  for (const auto& [key, point] : expected) {
    const auto found = actual.find(key);
    if (found == actual.end()) return ::testing::AssertionFailure() << "missing key " << key;
    const Point& other = found->second;
    if (actual.id_of(key) != expected.id_of(key)) {
      return ::testing::AssertionFailure() << "id of key " << key;
    }
    if (other.vector.size() != point.vector.size()) {
      return ::testing::AssertionFailure() << "vector length of key " << key;
    }
    for (std::size_t i = 0; i < point.vector.size(); ++i) {
      if (std::bit_cast<std::uint32_t>(point.vector[i]) !=
          std::bit_cast<std::uint32_t>(other.vector[i])) {
        return ::testing::AssertionFailure() << "component " << i << " of key " << key;
      }
    }
    if (point.payload.has_value() != other.payload.has_value()) {
      return ::testing::AssertionFailure() << "payload presence of key " << key;
    }
    if (point.payload && !same_payload(*point.payload, *other.payload)) {
      return ::testing::AssertionFailure() << "payload of key " << key;
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult same_index(const HNSWIndex& expected, const HNSWIndex& actual) {
  if (expected.m != actual.m || expected.ef_construction != actual.ef_construction ||
      expected.ef_search != actual.ef_search || expected.entry_point != actual.entry_point ||
      expected.max_level != actual.max_level) {
    return ::testing::AssertionFailure() << "index parameters differ";
  }
  if (expected.nodes.size() != actual.nodes.size()) {
    return ::testing::AssertionFailure() << "node counts differ";
  }
  for (const auto& [key, node] : expected.nodes) {
    const HNSWNode* other = actual.nodes.find(key);
    if (other == nullptr) return ::testing::AssertionFailure() << "missing node " << key;
    if (actual.nodes.id_of(key) != expected.nodes.id_of(key) ||
        other->neighbors != node.neighbors) {
      return ::testing::AssertionFailure() << "node " << key << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

inline PayloadValue random_payload_value(std::mt19937_64& rng) {
  switch (rng() % 6) {
    case 0:
      return Keyword{std::string(rng() % 65, 'k')};
    case 1:
      return Text{std::string(65 + rng() % 40, 't') + "\xc3\xa9\xe2\x82\xac"};
    case 2:
      return Integer{static_cast<std::int64_t>(rng())};
    case 3:
      return Float{std::bit_cast<double>(std::uint64_t{0x7ff8dead0000beef})};
    case 4:
      return Float{-0.0};
    default:
      return Float{std::uniform_real_distribution<double>(-1e9, 1e9)(rng)};
  }
}

inline Point random_point(std::mt19937_64& rng) {
  Point point;
  const std::size_t dims = rng() % 9;
  std::vector<float> components;
  for (std::size_t i = 0; i < dims; ++i) {
    components.push_back(std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng));
  }
  point.vector = components;
  if (dims > 0 && rng() % 4 == 0) point.vector[0] = -0.0f;
  if (dims > 1 && rng() % 4 == 0) {
    point.vector[1] = std::bit_cast<float>(std::uint32_t{0xffc00123});
  }
  const auto payload_kind = rng() % 3;
  if (payload_kind == 0) return point;
  point.payload.emplace();
  if (payload_kind == 1) return point;  // present but empty
  const std::size_t entries = 1 + rng() % 5;
  for (std::size_t i = 0; i < entries; ++i) {
    point.payload->insert_or_assign("key" + std::to_string(rng() % 8), random_payload_value(rng));
  }
  return point;
}

struct Store {
  PointTable points;
  HNSWIndex index;
};

inline Store random_store(std::uint64_t seed, std::size_t count) {
  std::mt19937_64 rng(seed);
  Store store;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t id = rng() % 4 == 0 ? rng() : rng() % 1000;
    store.points.put(id, random_point(rng));
    HNSWNode node;
    const std::size_t levels = 1 + rng() % 3;
    for (std::size_t layer = 0; layer < levels; ++layer) {
      const std::size_t links = rng() % 6;
      for (std::size_t k = 0; k < links; ++k) node.neighbors.push_back(layer, rng() % 1000);
    }
    // Now and then a node whose id is not its key, as a snapshot may hold.
    store.index.nodes.put(id, rng() % 8 == 0 ? rng() : id, std::move(node));
    if (!store.index.entry_point) store.index.entry_point = id;
  }
  store.index.m = 1 + rng() % 40;
  store.index.ef_construction = rng();
  store.index.ef_search = rng() % 100;
  store.index.max_level = rng() % 16;
  return store;
}

}  // namespace tavrik::testing_support
