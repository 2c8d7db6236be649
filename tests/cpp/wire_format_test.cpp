#include "storage/snapshot/wire_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tavrik {
namespace {

using Bytes = FileBytes;

Bytes written(WireWriter& writer) {
  Bytes bytes;
  writer.swap(bytes);
  return bytes;
}

Bytes varint_bytes(std::uint64_t value) {
  WireWriter writer;
  writer.put_varint(value);
  return written(writer);
}

struct VarintCase {
  std::uint64_t value;
  Bytes bytes;
};

class VarintEncoding : public ::testing::TestWithParam<VarintCase> {};

TEST_P(VarintEncoding, WritesShortestFormAndReadsItBack) {
  const VarintCase& c = GetParam();
  EXPECT_EQ(varint_bytes(c.value), c.bytes);
  WireReader reader(c.bytes);
  std::uint64_t decoded = 0;
  ASSERT_TRUE(reader.varint(decoded));
  EXPECT_EQ(decoded, c.value);
  EXPECT_EQ(reader.remaining(), 0u);

  // A run, long enough to make the writer grow, writes what single puts do.
  const std::vector<std::uint64_t> run(100, c.value);
  WireWriter singles;
  WireWriter together;
  for (const std::uint64_t value : run) singles.put_varint(value);
  together.put_byte(0xaa);
  together.put_varint_run(run);
  Bytes expected = {0xaa};
  const Bytes single_bytes = written(singles);
  expected.insert(expected.end(), single_bytes.begin(), single_bytes.end());
  EXPECT_EQ(written(together), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, VarintEncoding,
    ::testing::Values(VarintCase{0, {0x00}}, VarintCase{127, {0x7f}},
                      VarintCase{128, {0x80, 0x01}}, VarintCase{300, {0xac, 0x02}},
                      VarintCase{16383, {0xff, 0x7f}}, VarintCase{16384, {0x80, 0x80, 0x01}},
                      VarintCase{2097151, {0xff, 0xff, 0x7f}},
                      VarintCase{2097152, {0x80, 0x80, 0x80, 0x01}},
                      VarintCase{std::uint64_t{1} << 63,
                                 {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
                      VarintCase{std::numeric_limits<std::uint64_t>::max(),
                                 {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}}));

struct ZigzagCase {
  std::int64_t value;
  Bytes bytes;
};

class ZigzagEncoding : public ::testing::TestWithParam<ZigzagCase> {};

TEST_P(ZigzagEncoding, RoundTrips) {
  const ZigzagCase& c = GetParam();
  WireWriter writer;
  writer.put_zigzag(c.value);
  const Bytes bytes = written(writer);
  EXPECT_EQ(bytes, c.bytes);
  WireReader reader(bytes);
  std::int64_t decoded = 0;
  ASSERT_TRUE(reader.zigzag(decoded));
  EXPECT_EQ(decoded, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ZigzagEncoding,
    ::testing::Values(ZigzagCase{0, {0x00}}, ZigzagCase{-1, {0x01}}, ZigzagCase{1, {0x02}},
                      ZigzagCase{64, {0x80, 0x01}}, ZigzagCase{-64, {0x7f}},
                      ZigzagCase{std::numeric_limits<std::int64_t>::max(),
                                 {0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
                      ZigzagCase{std::numeric_limits<std::int64_t>::min(),
                                 {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}}));

TEST(Varint, AcceptsOverlongForms) {
  const Bytes zero = {0x80, 0x80, 0x00};
  WireReader reader(zero);
  std::uint64_t value = 99;
  ASSERT_TRUE(reader.varint(value));
  EXPECT_EQ(value, 0u);
}

struct BadInput {
  const char* name;
  Bytes bytes;
  WireError error;
};

class VarintRejects : public ::testing::TestWithParam<BadInput> {};

TEST_P(VarintRejects, WithTheRightError) {
  WireReader reader(GetParam().bytes);
  std::uint64_t value = 0;
  EXPECT_FALSE(reader.varint(value));
  EXPECT_EQ(reader.error(), GetParam().error);
  // The first error sticks.
  EXPECT_FALSE(reader.varint(value));
  EXPECT_EQ(reader.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VarintRejects,
    ::testing::Values(
        BadInput{"Empty", {}, WireError::EndOfBuffer},
        BadInput{"Unterminated", {0x80, 0x80}, WireError::EndOfBuffer},
        BadInput{"TenthByteTwo",
                 {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02},
                 WireError::VarintOverflow},
        BadInput{"TenthByteContinues",
                 {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x00},
                 WireError::VarintOverflow}),
    [](const auto& info) { return std::string(info.param.name); });

class DiscriminantReads : public ::testing::TestWithParam<BadInput> {};

TEST_P(DiscriminantReads, RejectsWithTheRightError) {
  WireReader reader(GetParam().bytes);
  std::uint32_t value = 0;
  EXPECT_FALSE(reader.discriminant(3, value));
  EXPECT_EQ(reader.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiscriminantReads,
    ::testing::Values(BadInput{"Empty", {}, WireError::EndOfBuffer},
                      BadInput{"Four", {0x04}, WireError::BadDiscriminant},
                      BadInput{"LargestU32", {0xff, 0xff, 0xff, 0xff, 0x0f},
                               WireError::BadDiscriminant},
                      BadInput{"FifthByteTooBig", {0x80, 0x80, 0x80, 0x80, 0x10},
                               WireError::VarintOverflow},
                      BadInput{"FifthByteContinues", {0x80, 0x80, 0x80, 0x80, 0x80, 0x00},
                               WireError::VarintOverflow},
                      BadInput{"Cut", {0x80, 0x80}, WireError::EndOfBuffer}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Discriminant, AcceptsOverlongSmallValue) {
  const Bytes bytes = {0x83, 0x80, 0x80, 0x80, 0x00};
  WireReader reader(bytes);
  std::uint32_t value = 0;
  ASSERT_TRUE(reader.discriminant(3, value));
  EXPECT_EQ(value, 3u);
}

TEST(Floats, KeepEveryBit) {
  WireWriter writer;
  writer.put_f64(0.5);
  writer.put_f32(-2.5f);
  writer.put_f32(-0.0f);
  const float nan_with_payload = std::bit_cast<float>(std::uint32_t{0x7fc12345});
  writer.put_f32(nan_with_payload);
  const Bytes bytes = written(writer);
  const Bytes expected_head = {0, 0, 0, 0, 0, 0, 0xe0, 0x3f, 0x00, 0x00, 0x20, 0xc0};
  ASSERT_EQ(bytes.size(), 20u);
  EXPECT_TRUE(std::equal(expected_head.begin(), expected_head.end(), bytes.begin()));

  WireReader reader(bytes);
  double half = 0;
  float values[3] = {};
  ASSERT_TRUE(reader.f64(half));
  for (float& value : values) ASSERT_TRUE(reader.f32(value));
  EXPECT_EQ(half, 0.5);
  EXPECT_EQ(values[0], -2.5f);
  EXPECT_TRUE(std::signbit(values[1]));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(values[2]), 0x7fc12345u);
  float past_end = 0;
  EXPECT_FALSE(reader.f32(past_end));
  EXPECT_EQ(reader.error(), WireError::EndOfBuffer);
}

TEST(Floats, RunReadsWhatSingleReadsRead) {
  WireWriter writer;
  const std::uint32_t patterns[] = {0x3f800000, 0x80000000, 0x7fc12345, 0x00000001, 0xc0200000};
  for (const std::uint32_t bits : patterns) writer.put_f32(std::bit_cast<float>(bits));
  const Bytes bytes = written(writer);
  WireReader one_by_one(bytes);
  WireReader run(bytes);
  float singles[5] = {};
  float together[5] = {};
  for (float& value : singles) ASSERT_TRUE(one_by_one.f32(value));
  ASSERT_TRUE(run.f32_run(5, together));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(together[i]), std::bit_cast<std::uint32_t>(singles[i]));
  }
  EXPECT_EQ(run.remaining(), 0u);
  EXPECT_TRUE(run.f32_run(0, together));
}

TEST(Floats, RunPastTheEndFailsLikeSingleReads) {
  const Bytes bytes(10, 0);  // two floats and a half
  for (const std::size_t count : {3u, 1000u}) {
    WireReader run(bytes);
    float out[3] = {};
    EXPECT_FALSE(run.f32_run(count, out));
    EXPECT_EQ(run.error(), WireError::EndOfBuffer);
  }
  WireReader huge(bytes);
  float out[1] = {};
  EXPECT_FALSE(huge.f32_run(std::numeric_limits<std::size_t>::max() / 2, out));
  EXPECT_EQ(huge.error(), WireError::EndOfBuffer);
}

TEST(Strings, LengthPrefixedAndBoundsChecked) {
  WireWriter writer;
  writer.put_string("tenant_id");
  Bytes bytes = written(writer);
  EXPECT_EQ(bytes.front(), 9);
  std::string text;
  WireReader whole(bytes);
  ASSERT_TRUE(whole.string(text));
  EXPECT_EQ(text, "tenant_id");

  bytes.pop_back();
  WireReader cut(bytes);
  EXPECT_FALSE(cut.string(text));
  EXPECT_EQ(cut.error(), WireError::EndOfBuffer);

  const Bytes huge_length = {0xff, 0xff, 0xff, 0xff, 0x0f, 'a'};
  WireReader huge(huge_length);
  EXPECT_FALSE(huge.string(text));
  EXPECT_EQ(huge.error(), WireError::EndOfBuffer);
}

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

class Utf8Validation : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validation, MatchesStrictRules) {
  EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
  WireWriter writer;
  writer.put_string(GetParam().bytes);
  const Bytes bytes = written(writer);
  WireReader reader(bytes);
  std::string text;
  EXPECT_EQ(reader.string(text), GetParam().valid);
  if (!GetParam().valid) {
    EXPECT_EQ(reader.error(), WireError::InvalidUtf8);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Validation,
    ::testing::Values(Utf8Case{"Empty", "", true}, Utf8Case{"Ascii", "abc", true},
                      Utf8Case{"TwoByte", "\xc3\xa9", true},
                      Utf8Case{"ThreeByte", "\xe2\x82\xac", true},
                      Utf8Case{"FourByteMax", "\xf4\x8f\xbf\xbf", true},
                      Utf8Case{"LastBeforeSurrogates", "\xed\x9f\xbf", true},
                      Utf8Case{"EmbeddedNul", std::string("a\0b", 3), true},
                      Utf8Case{"LoneContinuation", "\x80", false},
                      Utf8Case{"OverlongTwoByte", "\xc0\xaf", false},
                      Utf8Case{"OverlongThreeByte", "\xe0\x80\xaf", false},
                      Utf8Case{"OverlongFourByte", "\xf0\x80\x80\xaf", false},
                      Utf8Case{"Surrogate", "\xed\xa0\x80", false},
                      Utf8Case{"AboveMax", "\xf4\x90\x80\x80", false},
                      Utf8Case{"LeadF5", "\xf5\x80\x80\x80", false},
                      Utf8Case{"Truncated", "\xe2\x82", false},
                      Utf8Case{"BadContinuation", "\xe2\x28\xa1", false},
                      Utf8Case{"FF", "\xff", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OptionMarker, OnlyZeroOrOne) {
  const Bytes bytes = {0x00, 0x01, 0x02};
  WireReader reader(bytes);
  bool present = true;
  ASSERT_TRUE(reader.option_marker(present));
  EXPECT_FALSE(present);
  ASSERT_TRUE(reader.option_marker(present));
  EXPECT_TRUE(present);
  EXPECT_FALSE(reader.option_marker(present));
  EXPECT_EQ(reader.error(), WireError::BadOptionMarker);
}

// A zero run consumes exactly its bytes when all are zero, and nothing
// (with no error) when any one of them is not or the input ends first.
class ZeroRun : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ZeroRun, ConsumesOnlyAllZeroRuns) {
  const std::size_t count = GetParam();
  Bytes zeros(count + 1, 0x00);
  zeros[count] = 0x05;  // what follows the run
  WireWriter writer;
  writer.put_zero_run(count);
  writer.put_byte(0x05);
  EXPECT_EQ(written(writer), zeros);
  WireReader reader(zeros);
  ASSERT_TRUE(reader.zero_run(count));
  std::uint64_t next = 0;
  ASSERT_TRUE(reader.varint(next));
  EXPECT_EQ(next, 5u);
  for (std::size_t at = 0; at < count; ++at) {
    Bytes bytes(count, 0x00);
    bytes[at] = 0x01;
    WireReader marked(bytes);
    ASSERT_FALSE(marked.zero_run(count)) << "nonzero at " << at;
    EXPECT_EQ(marked.remaining(), count);
    EXPECT_EQ(marked.error(), WireError::None);
  }
  if (count > 0) {
    const Bytes short_input(count - 1, 0x00);
    WireReader cut(short_input);
    EXPECT_FALSE(cut.zero_run(count));
    EXPECT_EQ(cut.remaining(), count - 1);
    EXPECT_EQ(cut.error(), WireError::None);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, ZeroRun, ::testing::Values(0, 1, 7, 8, 9, 15, 16, 17, 24, 300));

TEST(WireErrorMessage, FixedTexts) {
  EXPECT_EQ(wire_error_message(WireError::EndOfBuffer),
            "Hit the end of buffer, expected more data");
  EXPECT_EQ(wire_error_message(WireError::VarintOverflow),
            "Found a varint that didn't terminate. Is the usize too big for this platform?");
  EXPECT_EQ(wire_error_message(WireError::InvalidUtf8), "Tried to parse invalid utf-8");
  EXPECT_EQ(wire_error_message(WireError::BadOptionMarker),
            "Found an Option discriminant that wasn't 0 or 1");
  EXPECT_EQ(wire_error_message(WireError::BadDiscriminant), "Serde Deserialization Error");
}

}  // namespace
}  // namespace tavrik
