#include "storage/snapshot/snapshot_summary.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "snapshot_bytes.h"
#include "snapshot_test_support.h"
#include "storage/snapshot/snapshot_codec.h"

namespace tavrik {
namespace {

using Bytes = FileBytes;
using testing_support::random_store;

// The summary's figures computed straight from the tables load would build.
SnapshotSummary expected_summary(const PointTable& points, const HNSWIndex& index) {
  SnapshotSummary expected;
  expected.points = points.size();
  for (const auto& [key, point] : points) {
    ++expected.vector_lengths[point.vector.size()];
    if (!point.payload) continue;
    for (const auto& [name, value] : *point.payload) ++expected.payload_keys[name][value.index()];
    const auto tenant = point.payload->find("tenant_id");
    if (tenant == point.payload->end()) continue;
    if (const std::string* text = text_of(tenant->second)) ++expected.tenants[*text];
  }
  std::set<std::uint64_t> without_point;
  std::set<std::uint64_t> without_node;
  for (const auto& [key, node] : index.nodes) {
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
      expected.links_per_layer[layer] += node.neighbors[layer].size();
      for (const std::uint64_t id : node.neighbors[layer]) {
        if (points.find(id) == points.end()) without_point.insert(id);
        if (index.nodes.find(id) == nullptr) without_node.insert(id);
      }
    }
  }
  expected.nodes = index.nodes.size();
  expected.linked_without_point.assign(without_point.begin(), without_point.end());
  expected.linked_without_node.assign(without_node.begin(), without_node.end());
  return expected;
}

void expect_same_figures(const SnapshotSummary& expected, const SnapshotSummary& actual) {
  EXPECT_EQ(actual.points, expected.points);
  EXPECT_EQ(actual.vector_lengths, expected.vector_lengths);
  EXPECT_EQ(actual.tenants, expected.tenants);
  EXPECT_EQ(actual.payload_keys, expected.payload_keys);
  EXPECT_EQ(actual.nodes, expected.nodes);
  EXPECT_EQ(actual.links_per_layer, expected.links_per_layer);
  EXPECT_EQ(actual.linked_without_point, expected.linked_without_point);
  EXPECT_EQ(actual.linked_without_node, expected.linked_without_node);
}

// Two random stores written as one snapshot, the second's points after the
// first's (keys they share occur twice) and the second's graph: the figures
// must be those of the table load builds, where the later entry wins.
class SummaryOfOverlappingStores : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(SummaryOfOverlappingStores, CountsWhatLoadKeeps) {
  auto first = random_store(GetParam(), 50);
  auto second = random_store(GetParam() + 1000, 50);
  for (const auto& entry : first.points) {
    const std::uint64_t key = entry.first;
    Point& point = *first.points.lookup(key);  // the table itself is not changed
    if (point.payload && key % 3 == 0) point.payload->insert_or_assign("tenant_id", Keyword{"t"});
  }
  // One-byte counts (below 128 entries) and the 6-byte empty graph.
  const Bytes a = encode_snapshot(first.points, HNSWIndex{});
  const Bytes b = encode_snapshot(second.points, second.index);
  Bytes bytes = {static_cast<std::uint8_t>(first.points.size() + second.points.size())};
  bytes.insert(bytes.end(), a.begin() + 1, a.end() - 6);
  bytes.insert(bytes.end(), b.begin() + 1, b.end());
  ASSERT_LT(first.points.size() + second.points.size(), 128u);

  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_snapshot(bytes, snapshot);
  ASSERT_TRUE(decoded.is_ok()) << decoded.detail();
  const SnapshotSummary summary = summarize_snapshot(bytes);
  ASSERT_TRUE(summary.decoded);
  expect_same_figures(expected_summary(snapshot.points, snapshot.index), summary);
  EXPECT_EQ(summary.graph.m, second.index.m);
  EXPECT_EQ(summary.graph.entry_point, second.index.entry_point);
  EXPECT_EQ(summary.trailing_bytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SummaryOfOverlappingStores, ::testing::Range<std::uint64_t>(0, 8));

TEST(SummarizeSnapshot, ADecodeErrorIsTheOnlyFinding) {
  const auto store = random_store(3, 20);
  Bytes bytes = encode_snapshot(store.points, store.index);
  bytes.pop_back();
  const SnapshotSummary summary = summarize_snapshot(bytes);
  EXPECT_FALSE(summary.decoded);
  ASSERT_EQ(summary.findings.size(), 1u);
  EXPECT_TRUE(summary.findings[0].error);
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_snapshot(bytes, snapshot);
  EXPECT_EQ(summary.findings[0].message, decoded.detail());
  EXPECT_EQ(summary.findings[0].offset, decoded.offset());
  EXPECT_EQ(summary.points, 0u);
}

}  // namespace
}  // namespace tavrik
