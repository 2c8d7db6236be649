#include "index/hnsw/neighbor_lists.h"

#include <algorithm>

#include "core/fault.h"

namespace tavrik {

NeighborLists::NeighborLists(const NeighborLists& other) { *this = other; }

NeighborLists& NeighborLists::operator=(const NeighborLists& other) {
  if (this == &other) return *this;
  if (!other.block_) {
    block_.reset();
    return *this;
  }
  const std::size_t words = kHeader + other.layers() + other.capacity();
  auto copy = std::make_unique<std::uint64_t[]>(words);
  std::copy_n(other.block_.get(), words, copy.get());
  block_ = std::move(copy);
  return *this;
}

std::size_t NeighborLists::total() const {
  std::size_t sum = 0;
  for (std::size_t layer = 0; layer < layers(); ++layer) sum += count(layer);
  return sum;
}

std::size_t NeighborLists::start(std::size_t layer) const {
  std::size_t offset = kHeader + layers();
  for (std::size_t below = 0; below < layer && below < layers(); ++below) offset += count(below);
  return offset;
}

void NeighborLists::reshape(std::size_t new_layers, std::size_t new_capacity) {
  const std::size_t old_layers = layers();
  const std::size_t used = total();
  auto fresh = std::make_unique<std::uint64_t[]>(kHeader + new_layers + new_capacity);
  fresh[0] = header(new_layers, new_capacity);
  for (std::size_t layer = 0; layer < new_layers; ++layer) fresh[kHeader + layer] = count(layer);
  if (used > 0) {
    std::copy_n(block_.get() + kHeader + old_layers, used, fresh.get() + kHeader + new_layers);
  }
  block_ = std::move(fresh);
}

void NeighborLists::push_back(std::size_t layer, std::uint64_t id) {
  if (layer >= MAX_LAYERS) internal_fault("neighbour list above layer 15");
  const std::size_t used = total();
  if (layer >= layers() || used == capacity()) {
    const std::size_t grown = used == capacity() ? std::max<std::size_t>(1, 2 * capacity())
                                                 : capacity();
    reshape(std::max(layers(), layer + 1), grown);
  }
  // Make room at the end of this layer's ids by moving the higher layers up.
  const std::size_t end = start(layer) + count(layer);
  const std::size_t last = kHeader + layers() + used;
  std::move_backward(block_.get() + end, block_.get() + last, block_.get() + last + 1);
  block_[end] = id;
  ++block_[kHeader + layer];
}

void NeighborLists::assign(std::size_t layer, std::span<const std::uint64_t> ids) {
  if (layer >= MAX_LAYERS) internal_fault("neighbour list above layer 15");
  if (ids.empty() && layer >= layers()) return;
  const std::size_t new_layers = std::max(layers(), layer + 1);
  const std::size_t others = total() - count(layer);
  // Rebuild exactly: lists below `layer`, the new ids, lists above.
  auto fresh = std::make_unique<std::uint64_t[]>(kHeader + new_layers + others + ids.size());
  fresh[0] = header(new_layers, others + ids.size());
  std::size_t at = kHeader + new_layers;
  for (std::size_t k = 0; k < new_layers; ++k) {
    const std::span<const std::uint64_t> list = k == layer ? ids : (*this)[k];
    fresh[kHeader + k] = list.size();
    std::copy(list.begin(), list.end(), fresh.get() + at);
    at += list.size();
  }
  block_ = std::move(fresh);
}

void NeighborLists::assign_all(const std::size_t (&counts)[MAX_LAYERS],
                               std::span<const std::uint64_t> ids) {
  // Only the layers up to the highest non-empty one are kept, as repeated
  // assign would leave them; no lists at all means no block.
  std::size_t new_layers = MAX_LAYERS;
  while (new_layers > 0 && counts[new_layers - 1] == 0) --new_layers;
  if (new_layers == 0) {
    block_.reset();
    return;
  }
  auto fresh = std::make_unique_for_overwrite<std::uint64_t[]>(kHeader + new_layers + ids.size());
  fresh[0] = header(new_layers, ids.size());
  for (std::size_t k = 0; k < new_layers; ++k) fresh[kHeader + k] = counts[k];
  std::copy(ids.begin(), ids.end(), fresh.get() + kHeader + new_layers);
  block_ = std::move(fresh);
}

bool operator==(const NeighborLists& a, const NeighborLists& b) {
  for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
    const auto x = a[layer];
    const auto y = b[layer];
    if (!std::equal(x.begin(), x.end(), y.begin(), y.end())) return false;
  }
  return true;
}

}  // namespace tavrik
