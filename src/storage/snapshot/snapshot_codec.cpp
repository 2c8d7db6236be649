#include "storage/snapshot/snapshot_codec.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/distance/lane_batch.h"
#include "core/distance/lane_kernels.h"
#include "storage/snapshot/snapshot_reader.h"
#include "storage/snapshot/wire_format.h"

namespace tavrik {
namespace {

// ---- encoding ----

// Each encoder runs over the tables into a WireWriter, or into a WireSizer
// for the exact length alone.

template <class Out>
void encode_payload_value(Out& out, const PayloadValue& value) {
  out.put_varint(value.index());
  std::visit(
      [&out](const auto& variant) {
        using V = std::decay_t<decltype(variant)>;
        if constexpr (std::is_same_v<V, Keyword> || std::is_same_v<V, Text>) {
          out.put_string(variant.text);
        } else if constexpr (std::is_same_v<V, Integer>) {
          out.put_zigzag(variant.value);
        } else {
          out.put_f64(variant.value);
        }
      },
      value);
}

template <class Out>
void encode_point(Out& out, std::uint64_t id, const Point& point) {
  out.put_varint(id);
  out.put_varint(point.vector.size());
  out.put_f32_run({point.vector.data(), point.vector.size()});
  out.put_option_marker(point.payload.has_value());
  if (!point.payload) return;
  out.put_varint(point.payload->size());
  for (const auto& [key, value] : *point.payload) {
    out.put_string(key);
    encode_payload_value(out, value);
  }
}

template <class Out>
void encode_node(Out& out, std::uint64_t id, const HNSWNode& node) {
  out.put_varint(id);
  const std::size_t layers = node.neighbors.layers_in_use();
  for (std::size_t k = 0; k < layers; ++k) {
    const std::span<const std::uint64_t> layer = node.neighbors[k];
    out.put_varint(layer.size());
    out.put_varint_run(layer);
  }
  out.put_zero_run(node.neighbors.size() - layers);  // the empty lists' counts
}

// ---- decoding: the reader's entries into fresh tables ----

bool decode_points(SnapshotReader& in, VectorArena& arena, PointTable& points) {
  std::uint64_t count = 0;
  if (!in.read_count(count)) return false;
  points.reserve(
      reservable_table_entries(count, in.remaining(), sizeof(PointTable::value_type)));
  // Points wait in small groups, their vectors still in cache, so that the
  // squared norms of a group are summed side by side; they then enter the
  // table in the order they were read, exactly as one at a time would.
  struct KeyedPoint {
    std::uint64_t key = 0;
    std::uint64_t id = 0;
    Point point;
  };
  auto enter = [&](std::span<KeyedPoint> batch) {
    Point* lanes[kLaneCount] = {};
    for (std::size_t l = 0; l < batch.size(); ++l) lanes[l] = &batch[l].point;
    cache_squared_norms({lanes, batch.size()});
    for (KeyedPoint& read : batch) points.put(read.key, read.id, std::move(read.point));
  };
  LaneBatch<KeyedPoint, decltype(enter)> pending(enter);
  for (std::uint64_t i = 0; i < count; ++i) {
    KeyedPoint read;
    if (!in.read_point(arena, read.key, read.id, read.point)) return false;
    points.prefetch(read.key);  // a hint: the slot loads while the group decodes
    pending.add(std::move(read));
  }
  pending.flush();
  return true;
}

bool decode_index(SnapshotReader& in, HNSWIndex& index) {
  IndexHeader header;
  if (!in.read_index_header(header)) return false;
  index.m = header.m;
  index.ef_construction = header.ef_construction;
  index.ef_search = header.ef_search;
  index.entry_point = header.entry_point;
  index.max_level = header.max_level;
  index.nodes.reserve(reservable_table_entries(header.node_count, in.remaining(),
                                               sizeof(NodeTable::Map::value_type)));
  // Nodes wait in small groups, each group's table slots prefetched while
  // the following nodes decode; they then enter the table in the order they
  // were read, exactly as one at a time would.
  constexpr std::size_t kGroup = 16;
  struct KeyedNode {
    std::uint64_t key = 0;
    std::uint64_t id = 0;
    HNSWNode node;
  };
  auto enter = [&](std::span<KeyedNode> batch) {
    for (KeyedNode& read : batch) index.nodes.put(read.key, read.id, std::move(read.node));
  };
  LaneBatch<KeyedNode, decltype(enter), kGroup> pending(enter);
  for (std::uint64_t i = 0; i < header.node_count; ++i) {
    KeyedNode read;
    if (!in.read_node(read.key, read.id, read.node)) return false;
    index.nodes.prefetch(read.key);  // a hint only
    pending.add(std::move(read));
  }
  pending.flush();
  return true;
}

// Visits every entry of `table` in its order. The table order is unrelated
// to where the vectors and lists live, so each visit would otherwise wait
// for memory: `far` is hinted the entry 2 * kLookahead places on (it may
// only start loads), `near` the entry kLookahead places on (it may read
// what `far` loaded, to start loading the rest).
template <class Table, class Far, class Near, class Visit>
void for_each_prefetched(const Table& table, Far far, Near near, Visit visit) {
  constexpr std::size_t kLookahead = 8;
  auto far_ahead = table.begin();
  auto near_ahead = table.begin();
  for (std::size_t i = 0; i < 2 * kLookahead && far_ahead != table.end(); ++i, ++far_ahead) {
    far(far_ahead->second);
    if (i < kLookahead) continue;
    near(near_ahead->second);
    ++near_ahead;
  }
  for (const auto& entry : table) {
    if (far_ahead != table.end()) {
      far(far_ahead->second);
      ++far_ahead;
    }
    if (near_ahead != table.end()) {
      near(near_ahead->second);
      ++near_ahead;
    }
    visit(entry.first, entry.second);
  }
}

// Where an entry ends: a WireWriter hands what it holds to the sink once
// that makes a whole piece.
void entry_done(WireSizer&, SnapshotSink*) {}
void entry_done(WireWriter& out, SnapshotSink* sink) {
  if (out.size() < kSnapshotPieceBytes) return;
  FileBytes piece;
  out.swap(piece);
  sink->take(piece);
  out.swap(piece);
}

template <class Out>
void encode_tables(Out& out, const PointTable& points, const HNSWIndex& index,
                   SnapshotSink* sink = nullptr) {
  // The sizer reads only a vector's length (its first line), the writer
  // all of it: once the length is in, the lines it spans (up to 16).
  constexpr bool kWholeVectors = !std::is_same_v<Out, WireSizer>;
  out.put_varint(points.size());
  for_each_prefetched(
      points, [](const Point& point) { point.vector.prefetch(0, 1); },
      [](const Point& point) {
        if (kWholeVectors) point.vector.prefetch(point.vector.size(), 16);
      },
      [&out, &points, sink](std::uint64_t key, const Point& point) {
        out.put_varint(key);
        encode_point(out, points.id_of(key), point);
        entry_done(out, sink);
      });
  out.put_varint(index.m);
  out.put_varint(index.ef_construction);
  out.put_varint(index.ef_search);
  out.put_option_marker(index.entry_point.has_value());
  if (index.entry_point) out.put_varint(*index.entry_point);
  out.put_varint(index.max_level);
  out.put_varint(index.nodes.size());
  for_each_prefetched(
      index.nodes, [](const HNSWNode& node) { node.neighbors.prefetch(); },
      [](const HNSWNode&) {},
      [&out, &index, sink](std::uint64_t key, const HNSWNode& node) {
        out.put_varint(key);
        encode_node(out, index.nodes.id_of(key), node);
        entry_done(out, sink);
      });
}

}  // namespace

std::size_t encoded_snapshot_size(const PointTable& points, const HNSWIndex& index) {
  WireSizer sizer;
  encode_tables(sizer, points, index);
  return sizer.size();
}

void encode_snapshot(const PointTable& points, const HNSWIndex& index, SnapshotSink& sink) {
  // A little more than a piece: the entry that completes one mostly fits.
  WireWriter out(kSnapshotPieceBytes + kSnapshotPieceBytes / 8);
  encode_tables(out, points, index, &sink);
  FileBytes last;
  out.swap(last);
  if (!last.empty()) sink.take(last);
}

namespace {

SnapshotStatus decode_tables(SnapshotReader& in, DecodedSnapshot& into) {
  if (!decode_points(in, into.vectors, into.points) || !decode_index(in, into.index)) {
    return SnapshotStatus::failure(SnapshotStage::Decode, std::string(in.error_message()),
                                   in.error_offset());
  }
  return SnapshotStatus::ok();
}

}  // namespace

SnapshotStatus decode_snapshot(std::span<const std::uint8_t> bytes, DecodedSnapshot& into) {
  SnapshotReader in(bytes);
  return decode_tables(in, into);
}

SnapshotStatus decode_snapshot(ByteSource& source, std::size_t size, DecodedSnapshot& into) {
  SnapshotReader in(source, size);
  SnapshotStatus decoded = decode_tables(in, into);
  if (!decoded.is_ok() && in.out_of_memory()) {
    return SnapshotStatus::failure(SnapshotStage::Read, kOutOfMemoryDetail);
  }
  return decoded;
}

}  // namespace tavrik
