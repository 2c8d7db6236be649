#include "index/hnsw/neighbor_lists.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/fault.h"

namespace tavrik {
namespace {

constexpr std::size_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

void set_upper_count(std::uint64_t* block, std::size_t layer, std::size_t value) {
  const auto narrow = static_cast<std::uint32_t>(value);
  std::memcpy(reinterpret_cast<char*>(block) + 4 * (layer - 1), &narrow, sizeof narrow);
}

// A block of `words` words, the first `zeroed` of them zero.
std::unique_ptr<std::uint64_t[]> allocate(std::size_t words, std::size_t zeroed) {
  auto block = std::make_unique_for_overwrite<std::uint64_t[]>(words);
  std::fill_n(block.get(), zeroed, 0);
  return block;
}

}  // namespace

NeighborLists::NeighborLists(const NeighborLists& other) { *this = other; }

NeighborLists& NeighborLists::operator=(const NeighborLists& other) {
  if (this == &other) return *this;
  if (!other.has_block()) {
    release();
    word_ = other.word_;
    header_ = other.header_;
    return *this;
  }
  // The counts and the ids held; the rest of the capacity is never read.
  const std::size_t head = count_words(other.layers());
  const std::size_t used = head + other.total();
  auto copy = allocate(head + other.capacity(), 0);
  std::copy_n(other.block(), used, copy.get());
  adopt(std::move(copy), other.layers(), other.capacity(), other.count_of_layer0());
  return *this;
}

NeighborLists& NeighborLists::operator=(NeighborLists&& other) noexcept {
  if (this == &other) return *this;
  release();
  word_ = std::exchange(other.word_, 0);
  header_ = std::exchange(other.header_, 0);
  return *this;
}

void NeighborLists::release() {
  if (has_block()) std::unique_ptr<std::uint64_t[]> owned(block());
  word_ = 0;
  header_ = 0;
}

std::size_t NeighborLists::count(std::size_t layer) const {
  if (layer >= layers()) return 0;
  return layer == 0 ? count_of_layer0() : upper_count(layer);
}

std::size_t NeighborLists::capacity() const {
  if (!has_block()) return layers();  // one for the single id, else none
  const std::size_t stored = (header_ >> kLayerBits) & kFitted;
  return stored == kFitted ? total() : stored;
}

std::size_t NeighborLists::total() const {
  std::size_t sum = count_of_layer0();
  for (std::size_t layer = 1; layer < layers(); ++layer) sum += upper_count(layer);
  return sum;
}

const std::uint64_t* NeighborLists::all_ids() const {
  return header_ == kSingle ? &word_ : block() + count_words(layers());
}

void NeighborLists::adopt(std::unique_ptr<std::uint64_t[]> fresh, std::size_t layers,
                          std::size_t capacity, std::size_t layer0_count) {
  release();
  word_ = reinterpret_cast<std::uint64_t>(fresh.release());
  header_ = make_header(layers, capacity, layer0_count);
}

void NeighborLists::push_back(std::size_t layer, std::uint64_t id) {
  if (layer >= MAX_LAYERS) internal_fault("neighbour list above layer 15");
  if (header_ == 0 && layer == 0) {
    word_ = id;
    header_ = kSingle;
    return;
  }
  if (count(layer) == kMaxCount) internal_fault("neighbour list of 2^32 ids");
  const std::size_t used = total();
  if (!has_block() || layer >= layers() || used == capacity()) {
    // Past the largest capacity the header records, a block holds exactly
    // its ids and every append reallocates.
    std::size_t grown = capacity();
    if (used == grown) {
      grown = grown >= kFitted / 2 ? used + 1 : std::max<std::size_t>(1, 2 * grown);
    }
    const std::size_t new_layers = std::max(layers(), layer + 1);
    const std::size_t head = count_words(new_layers);
    auto fresh = allocate(head + grown, head);
    for (std::size_t k = 1; k < layers(); ++k) set_upper_count(fresh.get(), k, count(k));
    std::copy_n(all_ids(), used, fresh.get() + head);
    adopt(std::move(fresh), new_layers, grown, count_of_layer0());
  }
  // Make room at the end of this layer's ids by moving the higher layers up.
  std::uint64_t* ids = block() + count_words(layers());
  std::size_t end = 0;
  for (std::size_t k = 0; k <= layer; ++k) end += count(k);
  std::move_backward(ids + end, ids + used, ids + used + 1);
  ids[end] = id;
  if (layer == 0) {
    header_ += std::uint64_t{1} << kCountShift;
  } else {
    set_upper_count(block(), layer, count(layer) + 1);
  }
}

void NeighborLists::assign_all(const std::size_t (&counts)[MAX_LAYERS],
                               std::span<const std::uint64_t> ids) {
  std::size_t new_layers = MAX_LAYERS;
  while (new_layers > 0 && counts[new_layers - 1] == 0) --new_layers;
  if (new_layers == 0) {
    release();
    return;
  }
  if (new_layers == 1 && counts[0] == 1) {
    const std::uint64_t only = ids[0];  // may be read from the current form
    release();
    word_ = only;
    header_ = kSingle;
    return;
  }
  std::size_t sum = 0;
  for (std::size_t k = 0; k < new_layers; ++k) {
    if (counts[k] > kMaxCount) internal_fault("neighbour list of 2^32 ids");
    sum += counts[k];
  }
  const std::size_t head = count_words(new_layers);
  auto fresh = allocate(head + sum, head);
  for (std::size_t k = 1; k < new_layers; ++k) set_upper_count(fresh.get(), k, counts[k]);
  std::copy_n(ids.begin(), sum, fresh.get() + head);
  adopt(std::move(fresh), new_layers, sum, counts[0]);
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
