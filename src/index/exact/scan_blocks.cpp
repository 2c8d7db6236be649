#include "index/exact/scan_blocks.h"

#include <cmath>
#include <stdexcept>

namespace tavrik {

void ScanBlocks::put(std::uint64_t key, std::uint64_t id, const Point& point) noexcept {
  if (!active_) return;
  const std::span<const float> vector = point.vector;
  if (size() == 0) length_ = vector.size();
  if (vector.size() != length_ || key != id) {
    turn_off();
    return;
  }
  const float norm = std::sqrt(squared_norm_of(point));
  try {
    std::size_t slot;
    if (const std::uint32_t* known = slots_.lookup(id)) {
      slot = *known;
      norms_[slot] = norm;
    } else {
      if (size() == kMaxPoints) {
        turn_off();
        return;
      }
      slot = add_slot(id, norm);
    }
    Lanes* block = lanes_.data() + slot / kBlockLanes * length_;
    const std::size_t lane = slot % kBlockLanes;
    for (std::size_t i = 0; i < length_; ++i) block[i].values[lane] = vector[i];
  } catch (const std::exception&) {
    turn_off();  // out of memory: the table is scanned instead
  }
}

std::size_t ScanBlocks::add_slot(std::uint64_t id, float norm) {
  const std::size_t slot = size();
  // A failure part way turns the blocks off, so nothing half-added stays.
  if (slot % kBlockLanes == 0) lanes_.resize(lanes_.size() + length_, Lanes{});
  slots_.insert_or_assign(id, static_cast<std::uint32_t>(slot));
  ids_.push_back(id);
  norms_.push_back(norm);
  return slot;
}

void ScanBlocks::turn_off() noexcept {
  clear();
  active_ = false;
}

void ScanBlocks::clear() noexcept {
  active_ = true;
  length_ = 0;
  // Swapped out rather than cleared, so that the memory goes too.
  std::vector<Lanes>().swap(lanes_);
  std::vector<std::uint64_t>().swap(ids_);
  std::vector<float>().swap(norms_);
  FlatIdMap<std::uint32_t>().swap(slots_);
}

}  // namespace tavrik
