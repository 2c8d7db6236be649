// Storage for the vectors of one point table.
//
// The arena lends FloatArray blocks carved one after another from chunks
// that double in size from kFirstChunkBytes. Until the arena holds
// kSmallPagedBytes they stop at kSmallPagedChunkBytes, on ordinary pages,
// which become resident only as vectors fill them; after that they grow to
// kMaxChunkBytes, on huge pages (a huge page is resident whole from its
// first vector on, so only a large store affords the unused rest of its
// last one). A large store's vectors then sit side by side, without an
// allocator header between them, and a walk that jumps from vector to
// vector costs far fewer address-translation misses than with one heap
// block each.
//
// A lent array reads like any other. It must not outlive the arena, so the
// arena is kept beside the table whose points hold its arrays and goes
// after it; copies of a lent array own blocks of their own.
//
// A block given back (when its point is replaced) becomes free space for
// vectors of any length: it merges with free neighbours in its chunk, and a
// block is taken from the smallest free range that holds it (see
// free_space.h). Free space at the end of the chunk being filled goes back
// to that chunk's unused rest, and a chunk that is all free again goes back
// to the system. So replacing points, even by vectors of ever other
// lengths, keeps the arena in proportion to the live vectors. Not
// thread-safe: the table's writer uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/vector/float_array.h"
#include "core/vector/free_space.h"

namespace tavrik {

class VectorArena {
 public:
  static constexpr std::size_t kFirstChunkBytes = std::size_t{16} << 10;
  static constexpr std::size_t kSmallPagedChunkBytes = std::size_t{2} << 20;
  static constexpr std::size_t kSmallPagedBytes = std::size_t{16} << 20;
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
    Chunk& operator=(Chunk&& other) noexcept {
      std::swap(data_, other.data_);
      std::swap(size_, other.size_);
      return *this;
    }
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    ~Chunk();

    std::byte* data() const { return data_; }
    std::byte* end() const { return data_ + size_; }
    std::size_t size() const { return size_; }
    bool holds(const std::byte* block) const;

   private:
    std::byte* data_;
    std::size_t size_;
  };

  std::byte* take(std::size_t bytes);
  // The chunk holding `block`, or chunks_.end() when none does.
  std::vector<Chunk>::iterator chunk_holding(const std::byte* block);
  // Makes a block of `chunk` free space; a chunk left all free is released.
  void release(std::byte* block, std::size_t bytes, std::vector<Chunk>::iterator chunk);

  std::vector<Chunk> chunks_;
  FreeSpace free_;
  // The unused rest of the chunk being filled (the last one made).
  std::byte* bump_ = nullptr;
  std::byte* bump_end_ = nullptr;
};

}  // namespace tavrik
