#include "storage/snapshot/snapshot_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "snapshot_bytes.h"
#include "snapshot_test_support.h"
#include "storage/snapshot/snapshot_codec.h"

namespace tavrik {
namespace {

using Bytes = FileBytes;

// One Point read into again and again must come out as a fresh one would:
// a payload after none, none after one, an empty one after a full one.
TEST(SnapshotReader, APointReadIntoAgainIsReplacedWhole) {
  const Bytes bytes = {
      0x03,                                      // three points
      0x01, 0x01, 0x00, 0x01, 0x01, 0x01, 'a', 0x02, 0x02,  // key 1, [], {a: 1}
      0x02, 0x02, 0x01, 0x00, 0x00, 0x80, 0x3f, 0x00,       // key 2, [1.0], none
      0x03, 0x05, 0x00, 0x01, 0x00,              // key 3, id 5, [], {}
  };
  SnapshotReader reader(bytes);
  VectorArena arena;
  Point point;
  std::uint64_t count = 0;
  std::uint64_t key = 0;
  std::uint64_t id = 0;
  ASSERT_TRUE(reader.read_count(count));
  ASSERT_EQ(count, 3u);
  ASSERT_TRUE(reader.read_point(arena, key, id, point));
  ASSERT_TRUE(point.payload);
  EXPECT_EQ(point.payload->at("a"), PayloadValue(Integer{1}));
  point.vector.cache(4.0f);
  ASSERT_TRUE(reader.read_point(arena, key, id, point));
  EXPECT_EQ(key, 2u);
  EXPECT_FALSE(point.payload);
  EXPECT_EQ(point.vector, std::vector<float>{1.0f});
  EXPECT_EQ(std::bit_cast<std::uint32_t>(point.vector.cached()), kUnknownSquaredNormBits);
  arena.give_back(point.vector);
  ASSERT_TRUE(reader.read_point(arena, key, id, point));
  EXPECT_EQ(key, 3u);
  EXPECT_EQ(id, 5u);
  EXPECT_TRUE(point.vector.empty());
  ASSERT_TRUE(point.payload);
  EXPECT_TRUE(point.payload->empty());
  ASSERT_FALSE(reader.read_point(arena, key, id, point));  // the input ends here
  EXPECT_EQ(reader.error(), WireError::EndOfBuffer);
  EXPECT_EQ(reader.error_offset(), bytes.size());
}

// A node's lists alone are the lists read_node builds.
TEST(SnapshotReader, NodeListsAreTheNodesLists) {
  const auto store = testing_support::random_store(11, 30);
  const Bytes bytes = encode_snapshot(PointTable{}, store.index);
  SnapshotReader whole(bytes);
  SnapshotReader lists(bytes);
  std::uint64_t count = 0;
  IndexHeader header;
  ASSERT_TRUE(whole.read_count(count) && whole.read_index_header(header));
  ASSERT_TRUE(lists.read_count(count) && lists.read_index_header(header));
  std::vector<std::uint64_t> ids;
  for (std::uint64_t i = 0; i < header.node_count; ++i) {
    std::uint64_t key = 0;
    std::uint64_t id = 0;
    std::size_t counts[MAX_LAYERS] = {};
    std::uint64_t node_id = 0;
    HNSWNode node;
    ASSERT_TRUE(whole.read_node(key, node_id, node));
    ASSERT_TRUE(lists.read_node_lists(key, id, counts, ids));
    EXPECT_EQ(id, node_id);
    std::size_t first = 0;
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
      const auto expected = node.neighbors[layer];
      ASSERT_EQ(counts[layer], expected.size());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), ids.begin() + first));
      first += counts[layer];
    }
    EXPECT_EQ(first, ids.size());
  }
  EXPECT_EQ(lists.offset(), bytes.size());
}

}  // namespace
}  // namespace tavrik
