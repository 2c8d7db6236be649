#include "storage/snapshot/snapshot_codec.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "snapshot_bytes.h"
#include "snapshot_test_support.h"

namespace tavrik {
namespace {

using Bytes = FileBytes;
using testing_support::random_store;
using testing_support::same_index;
using testing_support::same_points;

constexpr const char* kEndOfBuffer = "Hit the end of buffer, expected more data";
constexpr const char* kUnterminatedVarint =
    "Found a varint that didn't terminate. Is the usize too big for this platform?";

const Bytes kTenantPoint = {0x07, 0x07, 0x02, 0x00, 0x00, 0x80, 0x3f, 0x00, 0x00,
                            0x20, 0xc0, 0x01, 0x01, 0x09, 0x74, 0x65, 0x6e, 0x61,
                            0x6e, 0x74, 0x5f, 0x69, 0x64, 0x00, 0x02, 0x74, 0x31};

Point tenant_point() {
  Point point;
  point.vector = {1.0f, -2.5f};
  point.payload.emplace();
  point.payload->emplace("tenant_id", Keyword{"t1"});
  return point;
}

// The 53-byte store: the tenant point and its level-0 node.
Bytes one_point_store_bytes() {
  Bytes bytes = {0x01};
  bytes.insert(bytes.end(), kTenantPoint.begin(), kTenantPoint.end());
  const Bytes index = {0x10, 0x40, 0x20, 0x01, 0x07, 0x00, 0x01, 0x07, 0x07};
  bytes.insert(bytes.end(), index.begin(), index.end());
  bytes.insert(bytes.end(), 16, 0x00);
  return bytes;
}

Bytes encode_one(std::uint64_t id, Point point) {
  PointTable points;
  points.put(id, std::move(point));
  return encode_snapshot(points, HNSWIndex{});
}

// The bytes of the single point entry within a one-point, empty-graph store.
Bytes point_entry_bytes(std::uint64_t id, Point point) {
  const Bytes all = encode_one(id, std::move(point));
  return Bytes(all.begin() + 1, all.end() - 6);
}

// Decodes `bytes` whole, then read in chunks of 1, 7 and 4096 bytes, and
// handed over in pieces of as many: the same outcome every time (equal
// tables, or the same failure at the same offset). The whole decoding's
// outcome.
SnapshotStatus decode_every_way(const Bytes& bytes, DecodedSnapshot& into) {
  const SnapshotStatus whole = decode_snapshot(bytes, into);
  for (const bool pieces : {false, true}) {
    for (const std::size_t chunk : {1, 7, 4096}) {
      DecodedSnapshot read;
      const SnapshotStatus streamed = pieces ? decode_snapshot_in_pieces(bytes, chunk, read)
                                             : decode_snapshot_in_chunks(bytes, chunk, read);
      const std::string way = (pieces ? "pieces of " : "chunks of ") + std::to_string(chunk);
      EXPECT_EQ(streamed.is_ok(), whole.is_ok()) << way;
      EXPECT_EQ(streamed.detail(), whole.detail()) << way;
      EXPECT_EQ(streamed.offset(), whole.offset()) << way;
      if (whole.is_ok() && streamed.is_ok()) {
        EXPECT_TRUE(same_points(into.points, read.points)) << way;
        EXPECT_TRUE(same_index(into.index, read.index)) << way;
      }
    }
  }
  return whole;
}

TEST(EncodeSnapshot, EmptyStoreIsSevenBytes) {
  EXPECT_EQ(encode_snapshot(PointTable{}, HNSWIndex{}),
            (Bytes{0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x00}));
}

TEST(EncodeSnapshot, TenantPointBytes) {
  EXPECT_EQ(point_entry_bytes(7, tenant_point()), kTenantPoint);
}

TEST(EncodeSnapshot, OnePointStoreBytes) {
  PointTable points;
  points.put(7, tenant_point());
  HNSWIndex index;
  index.entry_point = 7;
  index.nodes.put(7, HNSWNode{});
  const Bytes bytes = encode_snapshot(points, index);
  EXPECT_EQ(bytes.size(), 53u);
  EXPECT_EQ(bytes, one_point_store_bytes());
}

struct PointCase {
  const char* name;
  std::uint64_t id;
  Point point;
  Bytes expected_entry;
};

Point with_value(PayloadValue value) {
  Point point;
  point.payload.emplace();
  point.payload->emplace("v", std::move(value));
  return point;
}

// key 1, id 1, empty vector, present payload of one entry "v".
Bytes value_entry(Bytes value) {
  Bytes bytes = {0x01, 0x01, 0x00, 0x01, 0x01, 0x01, 'v'};
  bytes.insert(bytes.end(), value.begin(), value.end());
  return bytes;
}

std::vector<PointCase> point_cases() {
  Point bare;
  Point empty_payload;
  empty_payload.payload.emplace();
  Point top_id;
  const Bytes top = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
  Bytes top_entry = top;
  top_entry.insert(top_entry.end(), top.begin(), top.end());
  top_entry.insert(top_entry.end(), {0x00, 0x00});
  return {
      {"NoPayloadEndsWithZero", 300, bare, {0xac, 0x02, 0xac, 0x02, 0x00, 0x00}},
      {"EmptyPayloadIsOneZero", 2, empty_payload, {0x02, 0x02, 0x00, 0x01, 0x00}},
      {"LargestId", UINT64_MAX, top_id, top_entry},
      {"IntegerMinusOne", 1, with_value(Integer{-1}), value_entry({0x02, 0x01})},
      {"IntegerOne", 1, with_value(Integer{1}), value_entry({0x02, 0x02})},
      {"Integer64", 1, with_value(Integer{64}), value_entry({0x02, 0x80, 0x01})},
      {"FloatHalf", 1, with_value(Float{0.5}),
       value_entry({0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xe0, 0x3f})},
      {"TextWithDiscriminantOne", 1, with_value(Text{"ab"}),
       value_entry({0x01, 0x02, 'a', 'b'})},
  };
}

class PointEncoding : public ::testing::TestWithParam<PointCase> {};

TEST_P(PointEncoding, BytesAndRoundTrip) {
  const PointCase& c = GetParam();
  EXPECT_EQ(point_entry_bytes(c.id, c.point), c.expected_entry);
  PointTable points;
  points.put(c.id, c.point);
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_snapshot(encode_snapshot(points, HNSWIndex{}), snapshot);
  ASSERT_TRUE(decoded.is_ok()) << decoded.detail();
  EXPECT_TRUE(same_points(points, snapshot.points));
}

INSTANTIATE_TEST_SUITE_P(Cases, PointEncoding, ::testing::ValuesIn(point_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeSnapshot, TextVariantsKeepTheirDiscriminant) {
  // A short Text and a long Keyword are never re-classified by length.
  PointTable points;
  Point point;
  point.payload.emplace();
  point.payload->emplace("keyword64", Keyword{std::string(64, 'a')});
  point.payload->emplace("text65", Text{std::string(65, 'b')});
  point.payload->emplace("short_text", Text{"x"});
  point.payload->emplace("long_keyword", Keyword{std::string(200, 'c')});
  points.put(3, point);
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_snapshot(encode_snapshot(points, HNSWIndex{}), snapshot);
  ASSERT_TRUE(decoded.is_ok()) << decoded.detail();
  ASSERT_NE(snapshot.points.lookup(3), nullptr);
  const Payload& payload = *snapshot.points.lookup(3)->payload;
  EXPECT_EQ(payload.at("keyword64").index(), 0u);
  EXPECT_EQ(payload.at("text65").index(), 1u);
  EXPECT_EQ(payload.at("short_text").index(), 1u);
  EXPECT_EQ(payload.at("long_keyword").index(), 0u);
}

TEST(DecodeSnapshot, OnePointStore) {
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_snapshot(one_point_store_bytes(), snapshot);
  ASSERT_TRUE(decoded.is_ok()) << decoded.detail();
  const HNSWIndex& index = snapshot.index;
  EXPECT_EQ(index.m, 16u);
  EXPECT_EQ(index.ef_construction, 64u);
  EXPECT_EQ(index.ef_search, 32u);
  EXPECT_EQ(index.entry_point, std::optional<std::uint64_t>(7));
  EXPECT_EQ(index.max_level, 0u);
  ASSERT_NE(index.nodes.find(7), nullptr);
  EXPECT_EQ(index.nodes.largest_id(), std::optional<std::uint64_t>(7));
  PointTable expected;
  expected.put(7, tenant_point());
  EXPECT_TRUE(same_points(expected, snapshot.points));
}

class RandomStoreRoundTrip : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RandomStoreRoundTrip, EqualFieldByField) {
  const auto store = random_store(GetParam(), 1 + GetParam() * 7);
  const Bytes bytes = encode_snapshot(store.points, store.index);
  EXPECT_EQ(encoded_snapshot_size(store.points, store.index), bytes.size());
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_every_way(bytes, snapshot);
  ASSERT_TRUE(decoded.is_ok()) << decoded.detail();
  EXPECT_TRUE(same_points(store.points, snapshot.points));
  EXPECT_TRUE(same_index(store.index, snapshot.index));
  // Re-encoding the decoded copy gives the same length.
  EXPECT_EQ(encode_snapshot(snapshot.points, snapshot.index).size(), bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomStoreRoundTrip, ::testing::Range<std::uint64_t>(0, 12));

TEST(DecodeSnapshot, EveryTruncationHitsTheEndOfBuffer) {
  const auto store = random_store(42, 20);
  const Bytes bytes = encode_snapshot(store.points, store.index);
  for (std::size_t cut = 1; cut <= bytes.size(); ++cut) {
    const Bytes prefix(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(cut));
    DecodedSnapshot snapshot;
    const SnapshotStatus decoded = decode_every_way(prefix, snapshot);
    ASSERT_FALSE(decoded.is_ok()) << "cut " << cut;
    ASSERT_EQ(decoded.detail(), kEndOfBuffer) << "cut " << cut;
    ASSERT_LE(decoded.offset(), prefix.size()) << "cut " << cut;
  }
}

// Entries larger than what a file's reader holds at a time (a few hundred
// KiB) are read again once it holds them whole; cut anywhere, they fail as
// a whole input does.
TEST(DecodeSnapshot, EntriesLargerThanTheReadWindow) {
  PointTable points;
  for (std::uint64_t id = 0; id < 3; ++id) {
    Point point;
    std::vector<float> values(100'000 * (id + 1));
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i % 977) - 3.5f;
    point.vector = values;
    point.payload.emplace();
    point.payload->emplace("tenant_id", Text{std::string(70'000, 'x')});
    points.put(id, std::move(point));
  }
  HNSWIndex index;
  HNSWNode node;
  for (std::uint64_t k = 0; k < 50'000; ++k) node.neighbors.push_back(0, k * 1'000'003);
  index.nodes.put(1, std::move(node));
  index.entry_point = 1;
  const Bytes bytes = encode_snapshot(points, index);
  DecodedSnapshot snapshot;
  ASSERT_TRUE(decode_every_way(bytes, snapshot).is_ok());
  EXPECT_TRUE(same_points(points, snapshot.points));
  EXPECT_TRUE(same_index(index, snapshot.index));
  for (const std::size_t cut : {std::size_t{1}, std::size_t{300'001}, bytes.size() / 2,
                                bytes.size() - 200'000}) {
    const Bytes prefix(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(cut));
    DecodedSnapshot partial;
    EXPECT_EQ(decode_every_way(prefix, partial).detail(), kEndOfBuffer) << "cut " << cut;
  }
}

// An entry that fails for any reason but the end of the input fails at
// once: the rest of a large file is not read for it.
TEST(DecodeSnapshot, AFailedEntryReadsNoFurther) {
  Bytes bytes = one_point_store_bytes();
  bytes[12] = 0x02;  // the payload's option marker
  bytes.resize(bytes.size() + (std::size_t{16} << 20), 0x00);
  ChunkedSource source(bytes, bytes.size());
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_snapshot(source, bytes.size(), snapshot);
  EXPECT_EQ(decoded.detail(), "Found an Option discriminant that wasn't 0 or 1");
  EXPECT_EQ(decoded.offset(), 12u);
  EXPECT_LE(source.handed, std::size_t{1} << 20);
}

// An entry too large for the memory left fails the decoding at Read, "out
// of memory", instead of throwing. Run in a child process whose address
// space is capped (not under AddressSanitizer, which reserves far more).
TEST(DecodeSnapshot, AWindowThatCannotGrowFailsAsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address space cap does not suit AddressSanitizer";
#else
  // One point whose payload key claims 4 GiB of text, then the text.
  struct Endless final : ByteSource {
    std::size_t read(std::span<std::uint8_t> out) override {
      std::fill(out.begin(), out.end(), std::uint8_t{'a'});
      if (at == 0) {
        const Bytes head = {0x01, 0x01, 0x01, 0x00, 0x01, 0x01, 0x80, 0x80, 0x80, 0x80, 0x10};
        std::copy(head.begin(), head.end(), out.begin());
      }
      at += out.size();
      return out.size();
    }
    std::size_t at = 0;
  };
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::size_t pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%zu", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    const rlim_t cap = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
    const struct rlimit limit = {cap, cap};
    if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(2);
    // Where the cap does not hold (an emulator's own address space), skip.
    if (void* probe = std::malloc(std::size_t{512} << 20)) {
      std::free(probe);
      ::_exit(3);
    }
    Endless source;
    DecodedSnapshot snapshot;
    const SnapshotStatus decoded = decode_snapshot(source, std::size_t{5} << 30, snapshot);
    const bool as_expected = !decoded.is_ok() && decoded.stage() == SnapshotStage::Read &&
                             decoded.detail() == kOutOfMemoryDetail;
    ::_exit(as_expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child did not exit (signal " << WTERMSIG(status) << ")";
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "the address space cap does not hold here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(DecodeSnapshot, TrailingBytesAreIgnored) {
  const auto store = random_store(7, 10);
  Bytes bytes = encode_snapshot(store.points, store.index);
  bytes.insert(bytes.end(), {0xff, 0x02, 0x00, 0x99});
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_snapshot(bytes, snapshot);
  ASSERT_TRUE(decoded.is_ok()) << decoded.detail();
  EXPECT_TRUE(same_points(store.points, snapshot.points));
  EXPECT_TRUE(same_index(store.index, snapshot.index));
}

struct Corruption {
  const char* name;
  std::size_t offset;  // into the 53-byte store
  Bytes replacement;
  const char* message;
  std::size_t error_offset;  // where the value that fails starts
};

class CorruptedStore : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptedStore, ReportsTheDecoderMessage) {
  const Corruption& c = GetParam();
  Bytes bytes = one_point_store_bytes();
  bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(c.offset));
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(c.offset), c.replacement.begin(),
               c.replacement.end());
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_every_way(bytes, snapshot);
  EXPECT_FALSE(decoded.is_ok());
  EXPECT_EQ(decoded.detail(), c.message);
  EXPECT_EQ(decoded.offset(), c.error_offset);
}

// Offsets in the 53-byte store: 12 payload marker, 24 payload discriminant,
// 31 entry_point marker, 1 point key, 15 first byte of the key "tenant_id"
// (whose string starts at its length, at 14).
INSTANTIATE_TEST_SUITE_P(
    Cases, CorruptedStore,
    ::testing::Values(
        Corruption{"PayloadDiscriminantFour", 24, {0x04}, "Serde Deserialization Error", 24},
        Corruption{"DiscriminantOverflow", 24, {0x80, 0x80, 0x80, 0x80, 0x10},
                   kUnterminatedVarint, 24},
        Corruption{"EntryPointMarkerTwo", 31, {0x02},
                   "Found an Option discriminant that wasn't 0 or 1", 31},
        Corruption{"PayloadMarkerTwo", 12, {0x02},
                   "Found an Option discriminant that wasn't 0 or 1", 12},
        Corruption{"KeyVarintTooLong", 1,
                   {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02},
                   kUnterminatedVarint, 1},
        Corruption{"InvalidUtf8Key", 15, {0xc0}, "Tried to parse invalid utf-8", 14}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeSnapshot, EmptyInput) {
  DecodedSnapshot snapshot;
  EXPECT_EQ(decode_snapshot({}, snapshot).detail(), kEndOfBuffer);
}

TEST(DecodeSnapshot, DuplicateKeysKeepTheLaterEntry) {
  // Two points under key 5 (ids 1 then 2), two payload keys "a", two nodes 9.
  const Bytes bytes = {
      0x02,                                            // two points
      0x05, 0x01, 0x00, 0x00,                          // key 5, id 1, no payload
      0x05, 0x02, 0x01, 0x00, 0x00, 0x80, 0x3f,        // key 5, id 2, [1.0]
      0x01, 0x02, 0x01, 'a', 0x02, 0x02, 0x01, 'a', 0x02, 0x04,  // a=1 then a=2
      0x10, 0x40, 0x20, 0x00, 0x00,                    // params, no entry, level 0
      0x02,                                            // two nodes
      0x09, 0x01, 0x01, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0x09, 0x02, 0x01, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_snapshot(bytes, snapshot);
  ASSERT_TRUE(decoded.is_ok()) << decoded.detail();
  const PointTable& points = snapshot.points;
  ASSERT_EQ(points.size(), 1u);
  ASSERT_NE(points.lookup(5), nullptr);
  const Point& point = *points.lookup(5);
  EXPECT_EQ(points.id_of(5), 2u);  // the key need not match the id
  EXPECT_EQ(point.vector, std::vector<float>{1.0f});
  ASSERT_TRUE(point.payload);
  ASSERT_EQ(point.payload->size(), 1u);
  EXPECT_EQ(point.payload->at("a"), PayloadValue(Integer{2}));
  const NodeTable& nodes = snapshot.index.nodes;
  ASSERT_EQ(nodes.size(), 1u);
  ASSERT_NE(nodes.find(9), nullptr);
  EXPECT_EQ(nodes.id_of(9), 2u);
  const auto links = nodes.find(9)->neighbors[0];
  EXPECT_EQ(std::vector<std::uint64_t>(links.begin(), links.end()), std::vector<std::uint64_t>{4});
}

struct HugeCount {
  const char* name;
  Bytes bytes;
};

class HugeCounts : public ::testing::TestWithParam<HugeCount> {};

TEST_P(HugeCounts, FailAtTheEndOfBufferWithoutHugeAllocation) {
  // Were the counts trusted, these would reserve many gigabytes and abort.
  DecodedSnapshot snapshot;
  const SnapshotStatus decoded = decode_every_way(GetParam().bytes, snapshot);
  EXPECT_FALSE(decoded.is_ok());
  EXPECT_EQ(decoded.detail(), kEndOfBuffer);
}

const Bytes kBillions = {0xff, 0xff, 0xff, 0xff, 0x0f};  // 4,294,967,295

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HugeCounts,
    ::testing::Values(
        HugeCount{"PointCount", concat({kBillions, {0x01, 0x01, 0x00, 0x00}})},
        HugeCount{"VectorLength", concat({{0x01, 0x01, 0x01}, kBillions, {0x00, 0x00}})},
        HugeCount{"PayloadCount", concat({{0x01, 0x01, 0x01, 0x00, 0x01}, kBillions})},
        HugeCount{"NodeCount", concat({{0x00, 0x10, 0x40, 0x20, 0x00, 0x00}, kBillions})},
        HugeCount{"NeighbourCount",
                  concat({{0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x01, 0x01, 0x01}, kBillions})}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrik
