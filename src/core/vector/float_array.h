// A vector of 32-bit floats in one pointer.
//
// The stored form of a point's vector: its length and its components share
// one heap block, [length as 8 bytes][floats...], and an empty vector holds
// no block at all. The object itself is one pointer, against three for a
// std::vector, and the block costs no more than the floats alone would in
// the allocator's size classes. The length is fixed once made: assign a new
// vector to change it. Elements compare with ==, as std::vector's do.
//
// A block may also be lent by a VectorArena (a point table's storage for
// vectors): such an array reads like any other but leaves the block to the
// arena when it goes, and its copies get blocks of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

namespace tavrik {

class FloatArray {
 public:
  using value_type = float;
  using iterator = float*;
  using const_iterator = const float*;
  using size_type = std::size_t;

  FloatArray() = default;
  FloatArray(std::span<const float> values) { make(values); }               // NOLINT: converts
  FloatArray(const std::vector<float>& values) { make(values); }            // NOLINT: converts
  FloatArray(std::initializer_list<float> values) { make({values.begin(), values.size()}); }

  FloatArray(const FloatArray& other) { make(other); }
  FloatArray(FloatArray&&) noexcept = default;
  FloatArray& operator=(const FloatArray& other) {
    if (this != &other) make(other);
    return *this;
  }
  FloatArray& operator=(FloatArray&&) noexcept = default;

  std::size_t size() const { return block_ ? header_of(block_.get()) & kCountMask : 0; }
  bool empty() const { return !block_; }

  float* data() { return block_ ? floats() : nullptr; }
  const float* data() const { return block_ ? floats() : nullptr; }
  float* begin() { return data(); }
  float* end() { return data() + size(); }
  const float* begin() const { return data(); }
  const float* end() const { return data() + size(); }
  float& operator[](std::size_t i) { return floats()[i]; }
  const float& operator[](std::size_t i) const { return floats()[i]; }

  operator std::span<const float>() const { return {data(), size()}; }  // NOLINT: converts

  // A hint only: starts loading the block as if it held `expected_count`
  // floats (at most `max_lines` cache lines of it), without reading the
  // block, so the hint never waits for memory itself.
  void prefetch(std::size_t expected_count, std::size_t max_lines) const {
    const auto* bytes = reinterpret_cast<const char*>(block_.get());
    if (bytes == nullptr) return;
    const std::size_t size = kHeaderBytes + expected_count * sizeof(float);
    for (std::size_t line = 0; line < max_lines && line * 64 < size; ++line) {
      __builtin_prefetch(bytes + line * 64);
    }
  }

  friend bool operator==(const FloatArray& a, const FloatArray& b);

 private:
  friend class VectorArena;

  static constexpr std::size_t kHeaderBytes = sizeof(std::uint64_t);
  // The block's first word: the count, and in its top bit whether an arena
  // lent the block (counts stay far below 2^62).
  static constexpr std::uint64_t kLentBit = std::uint64_t{1} << 63;
  static constexpr std::uint64_t kCountMask = kLentBit - 1;

  static std::uint64_t header_of(const std::byte* block) {
    std::uint64_t header = 0;
    std::memcpy(&header, block, sizeof header);
    return header;
  }

  // Frees blocks this array owns; lent blocks stay with their arena.
  struct BlockRelease {
    void operator()(std::byte* block) const noexcept {
      if ((header_of(block) & kLentBit) == 0) std::default_delete<std::byte[]>()(block);
    }
  };

  // An array over a block an arena lends; its header is already written.
  explicit FloatArray(std::byte* lent_block) : block_(lent_block) {}
  bool lent() const { return block_ && (header_of(block_.get()) & kLentBit) != 0; }

  // The floats start right after the length; the block comes from
  // new std::byte[] (or an arena's chunk), whose storage may hold floats
  // (C++20 implicit objects).
  float* floats() const { return reinterpret_cast<float*>(block_.get() + kHeaderBytes); }
  // An uninitialised block for `count` floats (none for zero).
  void allocate(std::size_t count);
  void make(std::span<const float> values);

  std::unique_ptr<std::byte[], BlockRelease> block_;
};

}  // namespace tavrik
