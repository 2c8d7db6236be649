// The flat id table behaves as a map: random insertions, replacements,
// erasures and lookups give the same contents as std::map, iteration visits
// every entry once, copies are deep and keep working.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>

#include "core/hashing/flat_id_map.h"

namespace tavrik {
namespace {

template <class Value>
void expect_same(const FlatIdMap<Value>& table, const std::map<std::uint64_t, Value>& model) {
  ASSERT_EQ(table.size(), model.size());
  EXPECT_EQ(table.empty(), model.empty());
  std::set<std::uint64_t> seen;
  for (const auto& [key, value] : table) {
    EXPECT_TRUE(seen.insert(key).second) << "visited twice: " << key;
    const auto expected = model.find(key);
    ASSERT_NE(expected, model.end()) << key;
    EXPECT_EQ(value, expected->second);
  }
  EXPECT_EQ(seen.size(), model.size());
  for (const auto& [key, value] : model) {
    ASSERT_NE(table.find(key), table.end()) << key;
    EXPECT_EQ(table.find(key)->second, value);
  }
}

TEST(FlatIdMap, RandomOperationsMatchAnOrderedMap) {
  std::mt19937_64 rng(12345);
  FlatIdMap<std::string> table;
  std::map<std::uint64_t, std::string> model;
  for (int step = 0; step < 20000; ++step) {
    // Small keys collide often; a few huge ones and the all-ones key too.
    std::uint64_t key = rng() % 600;
    if (step % 97 == 0) key = ~std::uint64_t{0} - rng() % 3;
    const std::string value = std::to_string(rng());
    switch (rng() % 5) {
      case 0:
      case 1: {
        const bool fresh = table.insert_or_assign(key, value).second;
        EXPECT_EQ(fresh, model.find(key) == model.end());
        model[key] = value;
        break;
      }
      case 2: {
        const bool stored = table.emplace(key, value).second;
        EXPECT_EQ(stored, model.emplace(key, value).second);
        break;
      }
      case 3:
        EXPECT_EQ(table.erase(key), model.erase(key));
        break;
      default:
        EXPECT_EQ(table.lookup(key) != nullptr, model.count(key) == 1);
    }
    if (step % 1000 == 0) expect_same(table, model);
  }
  expect_same(table, model);
}

TEST(FlatIdMap, EmptyTableFindsNothing) {
  const FlatIdMap<int> table;
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.begin(), table.end());
  EXPECT_EQ(table.find(0), table.end());
  EXPECT_EQ(table.lookup(7), nullptr);
}

TEST(FlatIdMap, ErasingEverythingLeavesAnEmptyTable) {
  FlatIdMap<int> table;
  for (std::uint64_t key = 0; key < 1000; ++key) table.insert_or_assign(key * 7919, 1);
  for (std::uint64_t key = 0; key < 1000; ++key) EXPECT_EQ(table.erase(key * 7919), 1u);
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.begin(), table.end());
  EXPECT_EQ(table.erase(0), 0u);
}

TEST(FlatIdMap, CopiesAreDeepAndKeepTheirOrder) {
  FlatIdMap<std::string> table;
  std::map<std::uint64_t, std::string> model;
  for (std::uint64_t key = 0; key < 300; ++key) {
    table.insert_or_assign(key * 31, std::to_string(key));
    model[key * 31] = std::to_string(key);
  }
  FlatIdMap<std::string> copy = table;
  // Same hash keys, so the same iteration order.
  auto a = table.begin();
  for (auto b = copy.begin(); b != copy.end(); ++a, ++b) EXPECT_EQ(a->first, b->first);
  copy.insert_or_assign(31, "changed");
  EXPECT_EQ(*table.lookup(31), "1");
  expect_same(table, model);
  FlatIdMap<std::string> moved = std::move(copy);
  model[31] = "changed";
  expect_same(moved, model);
}

TEST(FlatIdMap, ReserveKeepsContentsAndOrderOfLookups) {
  FlatIdMap<int> table;
  table.reserve(5000);
  std::map<std::uint64_t, int> model;
  for (int i = 0; i < 5000; ++i) {
    table.insert_or_assign(static_cast<std::uint64_t>(i) << 20, i);
    model[static_cast<std::uint64_t>(i) << 20] = i;
  }
  expect_same(table, model);
}

TEST(FlatIdMap, TablesOrderTheSameKeysDifferently) {
  // Each table hashes with its own random keys; with 64 keys, two tables
  // iterating in the same order would mean the keys are not random.
  FlatIdMap<int> a;
  FlatIdMap<int> b;
  for (std::uint64_t key = 0; key < 64; ++key) {
    a.insert_or_assign(key, 0);
    b.insert_or_assign(key, 0);
  }
  bool differ = false;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) differ |= x->first != y->first;
  EXPECT_TRUE(differ);
}

}  // namespace
}  // namespace tavrik
