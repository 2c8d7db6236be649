// The sixteen neighbour lists of one graph node, in two words.
//
// Always exactly MAX_LAYERS lists, numbered 0..15; each keeps its ids in the
// order they were appended or assigned. Most nodes only reach layer 0 and
// hold one or a few ids, so the lists are kept in one of three forms:
//  - no ids at all: nothing is allocated;
//  - one id on layer 0 and none above (what a node holds when it has just
//    been linked in): the id sits in the object itself;
//  - otherwise one heap block of 64-bit words, sized to the highest
//    non-empty layer: the counts of layers 1 and up as 32-bit fields,
//    padded to whole words (none for a node on layer 0 only), then the ids
//    of layer 0, of layer 1, and so on. Appending grows it by doubling, as a
//    growable list would.
// The object's second word holds the number of layers in use, the block's
// capacity and the count of layer 0, so layer 0 is found without reading
// the block's first line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace tavrik {

// Layers are numbered 0..15; a node's level is at most 15.
inline constexpr std::size_t MAX_LAYERS = 16;

class NeighborLists {
 public:
  NeighborLists() = default;
  NeighborLists(const NeighborLists& other);
  NeighborLists(NeighborLists&& other) noexcept : word_(other.word_), header_(other.header_) {
    other.word_ = 0;
    other.header_ = 0;
  }
  NeighborLists& operator=(const NeighborLists& other);
  NeighborLists& operator=(NeighborLists&& other) noexcept;
  ~NeighborLists() { release(); }

  static constexpr std::size_t size() { return MAX_LAYERS; }
  // The lists of this layer and above are all empty.
  std::size_t layers_in_use() const { return layers(); }

  // The list of `layer` (< MAX_LAYERS). Valid until the next change, or
  // until the object moves.
  std::span<const std::uint64_t> operator[](std::size_t layer) const {
    const std::size_t used_layers = layers();
    if (layer == 0) {  // the walks' case: no ids (no block), one, or a block's
      const std::uint64_t* ids = header_ == kSingle ? &word_ : block() + count_words(used_layers);
      return {ids, count_of_layer0()};
    }
    if (layer >= used_layers) return {};
    const std::uint64_t* ids = block() + count_words(used_layers);
    std::size_t offset = count_of_layer0();
    for (std::size_t below = 1; below < layer; ++below) offset += upper_count(below);
    return {ids + offset, upper_count(layer)};
  }

  // A hint only: starts loading the block's first lines (for most nodes
  // with a block, all of layer 0's ids).
  void prefetch() const {
    if (!has_block()) return;
    __builtin_prefetch(block());
    __builtin_prefetch(reinterpret_cast<const char*>(block()) + 64);
  }

  // Appends `id` to the list of `layer`.
  void push_back(std::size_t layer, std::uint64_t id);

  // Replaces every list at once: layer k gets the next counts[k] ids of
  // `ids` (which holds exactly their sum), in the form they call for and
  // with no room to spare.
  void assign_all(const std::size_t (&counts)[MAX_LAYERS], std::span<const std::uint64_t> ids);

  friend bool operator==(const NeighborLists& a, const NeighborLists& b);

 private:
  // header_: [count of layer 0 : 32][capacity : 27][layers : 5].
  static constexpr unsigned kLayerBits = 5;  // layers <= 16
  static constexpr unsigned kCountShift = 32;
  // A capacity field of all ones stands for "exactly the ids held": a block
  // of 2^27 - 1 ids or more (a gigabyte) records no capacity of its own.
  static constexpr std::size_t kFitted = (std::size_t{1} << (kCountShift - kLayerBits)) - 1;
  // One id on layer 0, held in word_: a capacity of zero, which no block has.
  static constexpr std::uint64_t kSingle = (std::uint64_t{1} << kCountShift) | 1;

  static std::uint64_t make_header(std::size_t layers, std::size_t capacity,
                                   std::size_t layer0_count) {
    return (static_cast<std::uint64_t>(layer0_count) << kCountShift) |
           (static_cast<std::uint64_t>(capacity < kFitted ? capacity : kFitted) << kLayerBits) |
           layers;
  }
  // The words before the ids in a block over `layers` layers.
  static constexpr std::size_t count_words(std::size_t layers) { return layers / 2; }

  std::size_t layers() const { return header_ & ((1u << kLayerBits) - 1); }
  bool has_block() const { return layers() > 0 && header_ != kSingle; }
  std::uint64_t* block() const { return reinterpret_cast<std::uint64_t*>(word_); }
  std::size_t count_of_layer0() const { return header_ >> kCountShift; }
  // The count of `layer` (1 <= layer < layers()), from the block.
  std::size_t upper_count(std::size_t layer) const {
    std::uint32_t value;
    std::memcpy(&value, reinterpret_cast<const char*>(block()) + 4 * (layer - 1), sizeof value);
    return value;
  }
  std::size_t count(std::size_t layer) const;
  std::size_t capacity() const;
  std::size_t total() const;
  // The ids of every layer, one after another.
  const std::uint64_t* all_ids() const;

  // Takes a block of count_words(layers) + capacity words whose counts
  // and ids are written, replacing the current form.
  void adopt(std::unique_ptr<std::uint64_t[]> fresh, std::size_t layers, std::size_t capacity,
             std::size_t layer0_count);
  void release();

  std::uint64_t word_ = 0;    // the block's address, or the single id
  std::uint64_t header_ = 0;  // zero for no ids at all
};

}  // namespace tavrik
