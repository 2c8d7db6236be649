// Storage for the vectors of one point table.
//
// The arena lends FloatArray blocks carved one after another from chunks
// that double in size up to kMaxChunkBytes; chunks of 2 MiB and more live
// on huge pages. A large store's vectors then sit side by side, without an
// allocator header between them, and a walk that jumps from vector to
// vector costs far fewer address-translation misses than with one heap
// block each.
//
// A lent array reads like any other. It must not outlive the arena, so the
// arena is kept beside the table whose points hold its arrays and goes
// after it; copies of a lent array own blocks of their own. A block given
// back (when its point is replaced) is reused for the next vector of the
// same length, so replacing points does not grow the arena. Not
// thread-safe: the table's writer uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/vector/float_array.h"

namespace tavrik {

class VectorArena {
 public:
  static constexpr std::size_t kFirstChunkBytes = std::size_t{16} << 10;
  static constexpr std::size_t kMaxChunkBytes = std::size_t{4} << 20;
  static constexpr std::size_t kMaxAdoptedBytes = kMaxChunkBytes / 8;

  VectorArena() = default;
  VectorArena(const VectorArena&) = delete;
  VectorArena& operator=(const VectorArena&) = delete;
  VectorArena(VectorArena&& other) noexcept { swap(other); }
  VectorArena& operator=(VectorArena&& other) noexcept {
    VectorArena taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~VectorArena() = default;

  void swap(VectorArena& other) noexcept {
    std::swap(chunks_, other.chunks_);
    std::swap(free_, other.free_);
    std::swap(bump_, other.bump_);
    std::swap(bump_end_, other.bump_end_);
  }

  // A copy of `values` in a block of this arena (an empty array for none).
  FloatArray hold(std::span<const float> values);

  // Moves the floats of `array` into a block of this arena, unless the
  // array is already lent or is larger than kMaxAdoptedBytes: a large array
  // keeps its own block, so taking it in never makes a second large
  // allocation.
  void adopt(FloatArray& array);

  // `count` unset floats in a block of this arena, to be written before
  // they are read.
  FloatArray hold_for_overwrite(std::size_t count);

  // Empties `array`, keeping its block for reuse when this arena lent it;
  // an array with a block of its own, or lent by another arena, is left
  // alone.
  void give_back(FloatArray& array);

  // Bytes taken from the system for chunks.
  std::size_t reserved_bytes() const;

 private:
  // One chunk: `size` bytes from the huge-page allocator.
  class Chunk {
   public:
    explicit Chunk(std::size_t size);
    Chunk(Chunk&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Chunk& operator=(Chunk&&) = delete;
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    ~Chunk();

    std::byte* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool holds(const std::byte* block) const;

   private:
    std::byte* data_;
    std::size_t size_;
  };

  // Blocks given back, by their size in bytes.
  struct FreeBlocks {
    std::size_t bytes;
    std::vector<std::byte*> blocks;
  };

  std::byte* take(std::size_t bytes);
  bool lent_here(const std::byte* block) const;

  std::vector<Chunk> chunks_;
  std::vector<FreeBlocks> free_;
  std::byte* bump_ = nullptr;      // next free byte of the last chunk
  std::byte* bump_end_ = nullptr;  // end of the last chunk
};

}  // namespace tavrik
