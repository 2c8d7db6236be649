// Gathering items for one lane-kernel call at a time.
//
// add() appends an item; once kCapacity items wait (kLaneCount unless
// given), they are handed to `score(std::span<Item>)` in the order they
// were added, and the batch is empty again. flush() hands over whatever
// still waits (nothing when the batch is empty); call it once after the
// last add(). The items handed over are the batch's own and may be moved
// from; they are valid only during the call.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "core/distance/lane_kernels.h"

namespace tavrik {

template <class Item, class Score, std::size_t kCapacity = kLaneCount>
class LaneBatch {
 public:
  explicit LaneBatch(Score score) : score_(std::move(score)) {}

  void add(Item item) {
    items_[count_] = std::move(item);
    if (++count_ == kCapacity) flush();
  }

  void flush() {
    if (count_ == 0) return;
    const std::size_t count = count_;
    count_ = 0;
    score_(std::span<Item>(items_, count));
  }

 private:
  Score score_;
  Item items_[kCapacity];
  std::size_t count_ = 0;
};

}  // namespace tavrik
