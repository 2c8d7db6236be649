// The sixteen neighbour lists of one graph node, in one compact block.
//
// Always exactly MAX_LAYERS lists, numbered 0..15; each keeps its ids in the
// order they were appended or assigned. Most nodes only reach layer 0 and
// hold a few ids, so the lists share one heap block, allocated only once a
// list is non-empty and sized to the highest non-empty layer:
//   [capacity << 5 | layers][count of layer 0]..[count of layers-1][ids...]
// with the ids of layer 0 first, then layer 1, and so on. Appending grows
// the block by doubling, as a growable list would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tavrik {

// Layers are numbered 0..15; a node's level is at most 15.
inline constexpr std::size_t MAX_LAYERS = 16;

class NeighborLists {
 public:
  NeighborLists() = default;
  NeighborLists(const NeighborLists& other);
  NeighborLists(NeighborLists&&) noexcept = default;
  NeighborLists& operator=(const NeighborLists& other);
  NeighborLists& operator=(NeighborLists&&) noexcept = default;

  static constexpr std::size_t size() { return MAX_LAYERS; }

  // The list of `layer` (< MAX_LAYERS). Valid until the next change.
  std::span<const std::uint64_t> operator[](std::size_t layer) const {
    const std::size_t used_layers = layers();
    if (layer >= used_layers) return {};
    std::size_t offset = kHeader + used_layers;
    for (std::size_t below = 0; below < layer; ++below) offset += count(below);
    return {block_.get() + offset, count(layer)};
  }

  // A hint only: starts loading the block's first lines (the header and,
  // for most nodes, the ids of layer 0).
  void prefetch() const {
    if (!block_) return;
    __builtin_prefetch(block_.get());
    __builtin_prefetch(reinterpret_cast<const char*>(block_.get()) + 64);
  }

  // Appends `id` to the list of `layer`.
  void push_back(std::size_t layer, std::uint64_t id);

  // Replaces the list of `layer` with `ids`.
  void assign(std::size_t layer, std::span<const std::uint64_t> ids);

  // Replaces every list at once: layer k gets the next counts[k] ids of
  // `ids` (which holds exactly their sum), in one allocation. The result is
  // what assigning each layer in turn, from layer 0 up, would leave.
  void assign_all(const std::size_t (&counts)[MAX_LAYERS], std::span<const std::uint64_t> ids);

  friend bool operator==(const NeighborLists& a, const NeighborLists& b);

 private:
  static constexpr std::size_t kHeader = 1;  // capacity and layers in one word
  static constexpr unsigned kLayerBits = 5;  // layers <= 16

  std::size_t capacity() const {
    return block_ ? static_cast<std::size_t>(block_[0] >> kLayerBits) : 0;
  }
  std::size_t layers() const {
    return block_ ? static_cast<std::size_t>(block_[0] & ((1u << kLayerBits) - 1)) : 0;
  }
  static std::uint64_t header(std::size_t layers, std::size_t capacity) {
    return (static_cast<std::uint64_t>(capacity) << kLayerBits) | layers;
  }
  std::size_t count(std::size_t layer) const {
    return layer < layers() ? static_cast<std::size_t>(block_[kHeader + layer]) : 0;
  }
  std::size_t total() const;
  // Where the ids of `layer` start, as an index into block_.
  std::size_t start(std::size_t layer) const;
  // A block with room for `capacity` ids over `layers` layers, the current
  // lists copied in.
  void reshape(std::size_t layers, std::size_t capacity);

  std::unique_ptr<std::uint64_t[]> block_;
};

}  // namespace tavrik
