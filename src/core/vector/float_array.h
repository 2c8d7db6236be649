// A vector of 32-bit floats in one pointer.
//
// The stored form of a point's vector: its length and its components share
// one heap block, [length as 8 bytes][floats...], and an empty vector holds
// no block at all. The object itself is one pointer, against three for a
// std::vector, and the block costs no more than the floats alone would in
// the allocator's size classes. The length is fixed once made: assign a new
// vector to change it. Elements compare with ==, as std::vector's do.
//
// The block's header also keeps one float for its owner: a value derived
// from the components (a point caches its squared norm there), or the
// unknown pattern until one is set. A new block starts unknown, a copy
// keeps its original's value, and a vector of 2^30 floats or more (4 GiB)
// keeps none: its length takes the whole header.
//
// A block may also be lent by a VectorArena (a point table's storage for
// vectors): such an array reads like any other but leaves the block to the
// arena when it goes, and its copies get blocks of their own.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

namespace tavrik {

// The value a FloatArray's cache holds until one is set (a NaN pattern).
inline constexpr std::uint32_t kUnknownSquaredNormBits = 0x7fc0'4e4eu;

// The first word of a FloatArray's block. Bits 0-29: the count's low 30
// bits; bit 30: an arena lent the block; bit 31: the count is wide (2^30
// or more); bits 32-63: the cached float's bits, or for a wide count the
// count's higher bits (counts stay far below 2^62).
namespace float_block {

inline constexpr unsigned kLowCountBits = 30;
inline constexpr std::uint64_t kLowCountMask = (std::uint64_t{1} << kLowCountBits) - 1;
inline constexpr std::uint64_t kLentBit = std::uint64_t{1} << 30;
inline constexpr std::uint64_t kWideBit = std::uint64_t{1} << 31;
inline constexpr std::uint64_t kLowMask = 0xffff'ffffu;

// The header of a block of `count` floats, lent or not, caching nothing.
constexpr std::uint64_t header(std::uint64_t count, bool lent) {
  const std::uint64_t flags = lent ? kLentBit : 0;
  if (count <= kLowCountMask) return count | flags | (std::uint64_t{kUnknownSquaredNormBits} << 32);
  return (count & kLowCountMask) | flags | kWideBit | ((count >> kLowCountBits) << 32);
}
constexpr std::uint64_t count_of(std::uint64_t header) {
  const std::uint64_t low = header & kLowCountMask;
  if ((header & kWideBit) == 0) return low;
  return ((header >> 32) << kLowCountBits) | low;
}
constexpr bool lent(std::uint64_t header) { return (header & kLentBit) != 0; }
// The cached float's bits; the unknown pattern for a wide count.
constexpr std::uint32_t cached_bits(std::uint64_t header) {
  return (header & kWideBit) != 0 ? kUnknownSquaredNormBits : static_cast<std::uint32_t>(header >> 32);
}
// `header` caching `bits`; a wide count's header is returned unchanged.
constexpr std::uint64_t with_cached_bits(std::uint64_t header, std::uint32_t bits) {
  if ((header & kWideBit) != 0) return header;
  return (header & kLowMask) | (std::uint64_t{bits} << 32);
}

}  // namespace float_block

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

  FloatArray(const FloatArray& other) { copy(other); }
  FloatArray(FloatArray&&) noexcept = default;
  FloatArray& operator=(const FloatArray& other) {
    if (this != &other) copy(other);
    return *this;
  }
  FloatArray& operator=(FloatArray&&) noexcept = default;

  std::size_t size() const {
    return block_ ? static_cast<std::size_t>(float_block::count_of(header_of(block_.get()))) : 0;
  }
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

  // The owner's cached float: what cache() last stored since the block was
  // made (or copied), else the unknown pattern, which is also what an empty
  // vector and one of 2^30 floats or more always give.
  float cached() const {
    return std::bit_cast<float>(block_ ? float_block::cached_bits(header_of(block_.get()))
                                       : kUnknownSquaredNormBits);
  }
  // Stores `value` as the cached float; nothing is kept where cached()
  // answers the unknown pattern whatever is stored.
  void cache(float value) {
    if (!block_) return;
    write_header(block_.get(), float_block::with_cached_bits(header_of(block_.get()),
                                                             std::bit_cast<std::uint32_t>(value)));
  }

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
  static std::uint64_t header_of(const std::byte* block) {
    std::uint64_t header = 0;
    std::memcpy(&header, block, sizeof header);
    return header;
  }
  static void write_header(std::byte* block, std::uint64_t header) {
    std::memcpy(block, &header, sizeof header);
  }
  // Frees blocks this array owns; lent blocks stay with their arena.
  struct BlockRelease {
    void operator()(std::byte* block) const noexcept {
      if (!float_block::lent(header_of(block))) std::default_delete<std::byte[]>()(block);
    }
  };

  // An array over a block an arena lends; its header is already written.
  explicit FloatArray(std::byte* lent_block) : block_(lent_block) {}
  bool lent() const { return block_ && float_block::lent(header_of(block_.get())); }

  // The floats start right after the length; the block comes from
  // new std::byte[] (or an arena's chunk), whose storage may hold floats
  // (C++20 implicit objects).
  float* floats() const { return reinterpret_cast<float*>(block_.get() + kHeaderBytes); }
  // An uninitialised block for `count` floats (none for zero).
  void allocate(std::size_t count);
  void make(std::span<const float> values);
  // make(other), keeping other's cached float.
  void copy(const FloatArray& other) {
    make(other);
    cache(other.cached());
  }

  std::unique_ptr<std::byte[], BlockRelease> block_;
};

}  // namespace tavrik
