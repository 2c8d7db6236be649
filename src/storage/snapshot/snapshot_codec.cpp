#include "storage/snapshot/snapshot_codec.h"

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/distance/lane_kernels.h"
#include "storage/snapshot/wire_format.h"

namespace tavrik {
namespace {

// Upper bound on what a count read from the input may reserve up front.
constexpr std::size_t kReserveBudgetBytes = 1'048'576;

template <class Entry>
std::size_t reservable(std::uint64_t count) {
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(count, kReserveBudgetBytes / sizeof(Entry)));
}

// The same for a table whose entries each take some input bytes: the budget
// grows to the bytes still to read, so a table never reserves more memory
// than the input it is read from, and an honest table is sized once.
template <class Entry>
std::size_t reservable_table(std::uint64_t count, std::size_t remaining) {
  const std::size_t budget = std::max(kReserveBudgetBytes, remaining);
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, budget / sizeof(Entry)));
}

// A list of numbers takes at least one byte per element, so a count larger
// than the bytes left cannot be honest: reserve nothing and let it fail.
template <class Number>
void reserve_numbers(std::vector<Number>& list, std::uint64_t count, std::size_t remaining) {
  if (count <= remaining) list.reserve(reservable<Number>(count));
}

// ---- encoding ----

void encode_payload_value(WireWriter& out, const PayloadValue& value) {
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

void encode_point(WireWriter& out, const Point& point) {
  out.put_varint(point.id);
  out.put_varint(point.vector.size());
  for (const float component : point.vector) out.put_f32(component);
  out.put_option_marker(point.payload.has_value());
  if (!point.payload) return;
  out.put_varint(point.payload->size());
  for (const auto& [key, value] : *point.payload) {
    out.put_string(key);
    encode_payload_value(out, value);
  }
}

void encode_node(WireWriter& out, const HNSWNode& node) {
  out.put_varint(node.id);
  for (std::size_t k = 0; k < node.neighbors.size(); ++k) {
    const std::span<const std::uint64_t> layer = node.neighbors[k];
    out.put_varint(layer.size());
    for (const std::uint64_t id : layer) out.put_varint(id);
  }
}

// ---- decoding ----

bool decode_payload_value(WireReader& in, PayloadValue& out) {
  std::uint32_t discriminant = 0;
  if (!in.discriminant(std::variant_size_v<PayloadValue> - 1, discriminant)) return false;
  switch (discriminant) {
    case 0: {
      Keyword keyword;
      if (!in.string(keyword.text)) return false;
      out = std::move(keyword);
      return true;
    }
    case 1: {
      Text text;
      if (!in.string(text.text)) return false;
      out = std::move(text);
      return true;
    }
    case 2: {
      Integer integer{0};
      if (!in.zigzag(integer.value)) return false;
      out = integer;
      return true;
    }
    default: {
      Float number{0.0};
      if (!in.f64(number.value)) return false;
      out = number;
      return true;
    }
  }
}

bool decode_payload(WireReader& in, Payload& payload) {
  std::uint64_t count = 0;
  if (!in.varint(count)) return false;
  payload.reserve(reservable<Payload::value_type>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string key;
    PayloadValue value;
    if (!in.string(key) || !decode_payload_value(in, value)) return false;
    payload.insert_or_assign(std::move(key), std::move(value));
  }
  return true;
}

bool decode_vector(WireReader& in, VectorArena& arena, FloatArray& vector) {
  std::uint64_t count = 0;
  if (!in.varint(count)) return false;
  if (count <= reservable<float>(count) && count <= in.remaining() / sizeof(float)) {
    // Every component is in the input and the block is within the reserve
    // budget: size it once and copy the floats in.
    FloatArray exact = arena.hold_for_overwrite(static_cast<std::size_t>(count));
    if (!in.f32_run(exact.size(), exact.data())) return false;
    vector = std::move(exact);
    return true;
  }
  std::vector<float> components;
  reserve_numbers(components, count, in.remaining());
  for (std::uint64_t i = 0; i < count; ++i) {
    float component = 0;
    if (!in.f32(component)) return false;
    components.push_back(component);
  }
  vector = arena.hold(components);
  return true;
}

bool decode_point(WireReader& in, VectorArena& arena, Point& point) {
  // The squared norm is derived, never stored: decode_points caches it.
  if (!in.varint(point.id) || !decode_vector(in, arena, point.vector)) return false;
  bool has_payload = false;
  if (!in.option_marker(has_payload)) return false;
  if (!has_payload) return true;
  return decode_payload(in, point.payload.emplace());
}

bool decode_points(WireReader& in, VectorArena& arena, PointTable& points) {
  std::uint64_t count = 0;
  if (!in.varint(count)) return false;
  points.reserve(reservable_table<PointTable::value_type>(count, in.remaining()));
  // Points wait in small groups, their vectors still in cache, so that the
  // norms of a group are summed side by side; they then enter the table in
  // the order they were read, exactly as one at a time would.
  std::vector<Point> pending;
  std::vector<std::uint64_t> keys;
  pending.reserve(kLaneCount);
  keys.reserve(kLaneCount);
  auto flush = [&] {
    cache_squared_norms(pending);
    for (std::size_t p = 0; p < pending.size(); ++p) {
      points.insert_or_assign(keys[p], std::move(pending[p]));
    }
    pending.clear();
    keys.clear();
  };
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t key = 0;
    Point point;
    if (!in.varint(key)) return false;
    points.prefetch(key);  // a hint: the slot loads while the group decodes
    if (!decode_point(in, arena, point)) return false;
    pending.push_back(std::move(point));
    keys.push_back(key);
    if (pending.size() == kLaneCount) flush();
  }
  flush();
  return true;
}

// Appends one list's ids to `ids`; its count goes to `count`.
bool decode_id_list(WireReader& in, std::vector<std::uint64_t>& ids, std::size_t& count) {
  std::uint64_t announced = 0;
  if (!in.varint(announced)) return false;
  if (announced <= in.remaining()) {
    ids.reserve(ids.size() + reservable<std::uint64_t>(announced));
  }
  for (std::uint64_t i = 0; i < announced; ++i) {
    std::uint64_t id = 0;
    if (!in.varint(id)) return false;
    ids.push_back(id);
  }
  count = static_cast<std::size_t>(announced);
  return true;
}

// `ids` is scratch, reused for every node: all sixteen lists are read into
// it and the node's block is then built in one allocation.
bool decode_node(WireReader& in, HNSWNode& node, std::vector<std::uint64_t>& ids) {
  if (!in.varint(node.id)) return false;
  ids.clear();
  std::size_t counts[MAX_LAYERS] = {};
  for (std::size_t k = 0; k < MAX_LAYERS; ++k) {
    if (!decode_id_list(in, ids, counts[k])) return false;
  }
  node.neighbors.assign_all(counts, ids);
  return true;
}

bool decode_nodes(WireReader& in, NodeTable& nodes) {
  std::uint64_t count = 0;
  if (!in.varint(count)) return false;
  nodes.reserve(reservable_table<NodeTable::Map::value_type>(count, in.remaining()));
  // Nodes wait in small groups, each group's table slots prefetched while
  // the following nodes decode; they then enter the table in the order they
  // were read, exactly as one at a time would.
  constexpr std::size_t kGroup = 16;
  std::vector<std::pair<std::uint64_t, HNSWNode>> pending;
  pending.reserve(kGroup);
  auto flush = [&] {
    for (auto& [key, node] : pending) nodes.put(key, std::move(node));
    pending.clear();
  };
  std::vector<std::uint64_t> ids;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t key = 0;
    HNSWNode node;
    if (!in.varint(key) || !decode_node(in, node, ids)) return false;
    nodes.prefetch(key);  // a hint only
    pending.emplace_back(key, std::move(node));
    if (pending.size() == kGroup) flush();
  }
  flush();
  return true;
}

bool decode_index(WireReader& in, HNSWIndex& index) {
  if (!in.varint(index.m) || !in.varint(index.ef_construction) || !in.varint(index.ef_search)) {
    return false;
  }
  bool has_entry = false;
  if (!in.option_marker(has_entry)) return false;
  if (has_entry && !in.varint(index.entry_point.emplace())) return false;
  return in.varint(index.max_level) && decode_nodes(in, index.nodes);
}

}  // namespace

std::vector<std::uint8_t> encode_snapshot(const PointTable& points, const HNSWIndex& index) {
  WireWriter out;
  out.put_varint(points.size());
  for (const auto& [key, point] : points) {
    out.put_varint(key);
    encode_point(out, point);
  }
  out.put_varint(index.m);
  out.put_varint(index.ef_construction);
  out.put_varint(index.ef_search);
  out.put_option_marker(index.entry_point.has_value());
  if (index.entry_point) out.put_varint(*index.entry_point);
  out.put_varint(index.max_level);
  out.put_varint(index.nodes.size());
  for (const auto& [key, node] : index.nodes) {
    out.put_varint(key);
    encode_node(out, node);
  }
  return out.take();
}

DecodeResult decode_snapshot(std::span<const std::uint8_t> bytes) {
  WireReader in(bytes);
  DecodedSnapshot snapshot;
  if (!decode_points(in, snapshot.vectors, snapshot.points) || !decode_index(in, snapshot.index)) {
    return DecodeResult{std::nullopt, std::string(wire_error_message(in.error()))};
  }
  return DecodeResult{std::move(snapshot), {}};
}

}  // namespace tavrik
