#include "storage/snapshot/snapshot_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <utility>
#include <variant>

namespace tavrik {
namespace {

// A reader over a source holds this much of the input at a time, and
// refills once less than kRefillBelow of it is left unread: nearly every
// entry then lies whole in the window, which stays in cache.
constexpr std::size_t kWindowBytes = std::size_t{256} << 10;
constexpr std::size_t kRefillBelow = std::size_t{32} << 10;

template <class Entry>
std::size_t reservable(std::uint64_t count) {
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(count, kReserveBudgetBytes / sizeof(Entry)));
}

// A list of numbers takes at least one byte per element, so a count larger
// than the bytes left cannot be honest: reserve nothing and let it fail.
template <class Number>
void reserve_numbers(std::vector<Number>& list, std::uint64_t count, std::size_t remaining) {
  if (count <= remaining) list.reserve(reservable<Number>(count));
}

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
  if (!payload.empty()) payload.clear();  // a fresh map needs no clearing
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

}  // namespace

std::size_t reservable_table_entries(std::uint64_t count, std::size_t remaining,
                                     std::size_t entry_bytes) {
  const std::size_t budget = std::max(kReserveBudgetBytes, remaining);
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, budget / entry_bytes));
}

SnapshotReader::SnapshotReader(ByteSource& source, std::size_t size)
    : in_(std::span<const std::uint8_t>{}), size_(size), source_(&source), source_ended_(false) {}

std::size_t SnapshotReader::larger_window(std::size_t kept) const {
  // Twice what the entry already spans, but no more than the rest of the
  // input as its size tells (and one byte to see its end), unless the
  // input has grown past that: then a window more at a time.
  const std::size_t from = base_ + window_length_ - kept;
  const std::size_t rest = size_ > from ? size_ - from : 0;
  const std::size_t doubled = std::max(kWindowBytes, 2 * kept);
  return std::min(doubled, std::max(rest + 1, kept + kWindowBytes));
}

bool SnapshotReader::refill_from_piece(std::size_t keep_from, std::size_t capacity) {
  const std::size_t kept = window_length_ - keep_from;
  if (capacity != kWindowBytes || kept > ByteSource::kPieceLead) return false;
  FileBytes piece = std::move(spare_);
  if (!source_->take_piece(piece)) {
    spare_ = std::move(piece);
    return false;
  }
  // The kept bytes go just before the piece's own.
  const std::size_t start = ByteSource::kPieceLead - kept;
  if (kept > 0) {
    std::copy_n(window_.data() + window_start_ + keep_from, kept, piece.data() + start);
  }
  spare_ = std::move(window_);
  window_ = std::move(piece);
  base_ += keep_from;
  window_start_ = start;
  window_length_ = window_.size() - start;
  in_ = WireReader({window_.data() + window_start_, window_length_});
  return true;
}

void SnapshotReader::refill(std::size_t keep_from, std::size_t capacity) {
  if (refill_from_piece(keep_from, capacity)) return;
  const std::size_t kept = window_length_ - keep_from;
  const std::uint8_t* const keep = window_.data() + window_start_ + keep_from;
  // A window grown for one large entry goes back to its usual size.
  if (window_.size() < capacity || window_.size() > 2 * std::max(capacity, kept)) {
    FileBytes other;
    try {
      other.resize(std::max(capacity, kept));  // unset bytes: the source writes them
    } catch (const std::bad_alloc&) {
      // The window stays as it is and the input ends there.
      out_of_memory_ = true;
      source_ended_ = true;
      return;
    }
    std::copy_n(keep, kept, other.data());
    window_.swap(other);
  } else if (kept > 0 && keep != window_.data()) {
    std::memmove(window_.data(), keep, kept);
  }
  base_ += keep_from;
  window_start_ = 0;
  window_length_ = kept;
  while (!source_ended_ && window_length_ < window_.size()) {
    const std::size_t got =
        source_->read({window_.data() + window_length_, window_.size() - window_length_});
    if (got == 0) source_ended_ = true;
    window_length_ += got;
  }
  in_ = WireReader({window_.data(), window_length_});
}

template <class Read, class Retry>
bool SnapshotReader::entry(Read read, Retry retry) {
  if (in_.error() != WireError::None) return false;
  if (!source_ended_ && in_.remaining() < kRefillBelow) {
    refill(window_length_ - in_.remaining(), kWindowBytes);
  }
  for (;;) {
    const std::size_t start = window_length_ - in_.remaining();
    if (read()) return true;
    // Any other error lies within the bytes read, and is met again.
    if (source_ended_ || in_.error() != WireError::EndOfBuffer) return false;
    // The entry runs past the window: read it again with more of it there.
    retry();
    refill(start, larger_window(window_length_ - start));
  }
}

bool SnapshotReader::read_count(std::uint64_t& count) {
  return entry([&] { return in_.varint(count); }, [] {});
}

bool SnapshotReader::read_point(VectorArena& arena, std::uint64_t& key, std::uint64_t& id,
                                Point& point) {
  const auto read = [&] {
    if (!in_.varint(key) || !in_.varint(id) || !decode_vector(in_, arena, point.vector)) {
      return false;
    }
    bool has_payload = false;
    if (!in_.option_marker(has_payload)) return false;
    if (!has_payload) {
      point.payload.reset();
      return true;
    }
    return decode_payload(in_, point.payload ? *point.payload : point.payload.emplace());
  };
  return entry(read, [&] { arena.give_back(point.vector); });
}

bool SnapshotReader::read_index_header(IndexHeader& header) {
  const auto read = [&] {
    if (!in_.varint(header.m) || !in_.varint(header.ef_construction) ||
        !in_.varint(header.ef_search)) {
      return false;
    }
    bool has_entry = false;
    if (!in_.option_marker(has_entry)) return false;
    header.entry_point.reset();
    if (has_entry && !in_.varint(header.entry_point.emplace())) return false;
    return in_.varint(header.max_level) && in_.varint(header.node_count);
  };
  return entry(read, [] {});
}

bool SnapshotReader::read_node_lists(std::uint64_t& key, std::uint64_t& id,
                                     std::size_t (&counts)[MAX_LAYERS],
                                     std::vector<std::uint64_t>& ids) {
  const auto read = [&] {
    if (!in_.varint(key) || !in_.varint(id)) return false;
    ids.clear();
    if (!decode_id_list(in_, ids, counts[0])) return false;
    // Most nodes reach layer 0 only: each list above is empty, a zero count.
    if (in_.zero_run(MAX_LAYERS - 1)) {
      std::fill(std::begin(counts) + 1, std::end(counts), std::size_t{0});
      return true;
    }
    for (std::size_t k = 1; k < MAX_LAYERS; ++k) {
      if (!decode_id_list(in_, ids, counts[k])) return false;
    }
    return true;
  };
  return entry(read, [] {});
}

// All sixteen lists are read into the scratch ids, and the node's block is
// then built in one allocation.
bool SnapshotReader::read_node(std::uint64_t& key, std::uint64_t& id, HNSWNode& node) {
  std::size_t counts[MAX_LAYERS];  // all set when the lists are read
  if (!read_node_lists(key, id, counts, ids_)) return false;
  node.neighbors.assign_all(counts, ids_);
  return true;
}

}  // namespace tavrik
