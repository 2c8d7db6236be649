// The vectors of a small point table, kept a second time for the exact scan.
//
// A scan reads every stored vector for each query. Kept here, sixteen to a
// block and interleaved element by element (see block_kernels.h), one step
// of the scan reads one element of sixteen vectors from one cache line and
// needs no transposing. Each point has a slot, given in the order points
// are first stored; a replaced point keeps its slot. Beside the vectors each
// slot keeps its point's id and norm.
//
// The blocks hold points of one length only, the length of the first point
// put, and at most kMaxPoints of them, each stored under its own id. A point
// of another length, one point too many, a point under another key than its
// id (a loaded snapshot may have such), or a failure to grow turns the
// blocks off for good (until clear()): they are emptied, active() is false,
// and the table itself must be scanned instead. The owner puts every point it stores while the
// blocks are active, so that active blocks always hold exactly the table's
// points. Not thread-safe: the table's writer updates it under the table's
// lock, scans read it under the same lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/distance/block_kernels.h"
#include "core/hashing/flat_id_map.h"
#include "core/vector/point.h"

namespace tavrik {

class ScanBlocks {
 public:
  static constexpr std::size_t kMaxBlocks = 32;
  static constexpr std::size_t kMaxPoints = kMaxBlocks * kBlockLanes;

  // Records `point`, stored in the table under `key` with the id `id` (new,
  // or replacing the point with that key), or turns the blocks off as
  // above. Never throws.
  void put(std::uint64_t key, std::uint64_t id, const Point& point) noexcept;

  // Empty and active again, as made.
  void clear() noexcept;

  bool active() const { return active_; }
  // The length of every vector held; meaningful once size() > 0.
  std::size_t length() const { return length_; }
  // Slots in use: 0..size()-1.
  std::size_t size() const { return ids_.size(); }
  std::size_t block_count() const { return (size() + kBlockLanes - 1) / kBlockLanes; }
  // block_count() blocks of length() floats per lane; lanes past size()
  // hold zeros.
  const float* blocks() const { return lanes_.empty() ? nullptr : lanes_.front().values; }

  std::uint64_t id(std::size_t slot) const { return ids_[slot]; }
  std::span<const std::uint64_t> ids() const { return ids_; }
  // sqrt of the squared norm put with the slot's point: the factor the
  // cosine quotient takes, rounded once here as it is for every query.
  const float* norms() const { return norms_.data(); }

 private:
  // Element i of the sixteen vectors of one block: one cache line.
  struct alignas(64) Lanes {
    float values[kBlockLanes];
  };

  void turn_off() noexcept;
  // Slot for a new point, adding a block when the last is full.
  std::size_t add_slot(std::uint64_t id, float norm);

  bool active_ = true;
  std::size_t length_ = 0;
  std::vector<Lanes> lanes_;  // block b, element i at lanes_[b * length_ + i]
  std::vector<std::uint64_t> ids_;
  std::vector<float> norms_;
  FlatIdMap<std::uint32_t> slots_;  // id -> slot
};

}  // namespace tavrik
