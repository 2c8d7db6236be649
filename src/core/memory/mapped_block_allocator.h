// An allocator for storage that is replaced as it grows: a hash table's
// slots.
//
// Blocks of at least kMappedBytes (16 KiB, a table of a few hundred slots)
// are mapped from the system directly, in whole pages, and unmapped when
// freed, so the arrays a growing table leaves behind go back at once. From
// the heap they would stay as holes larger than what the store allocates
// later, and whether the C library maps a block itself depends on a
// threshold that rises as the process frees large blocks (as numpy's arrays
// are), so a store's size would vary from run to run. Blocks of more than
// kLargeBytes start on a 2 MiB boundary and the kernel is told
// that huge pages suit them: a large table read at random then costs far
// fewer address-translation misses. They end on an ordinary page boundary,
// so their last, partial huge page is served by ordinary pages and the
// part of it beyond the table is never resident. Smaller
// blocks, and every block under the address sanitizer (which checks heap
// blocks only), come from the ordinary allocator. A mapping that fails
// throws std::bad_alloc, as the ordinary allocator does.
//
// Storage that is freed and made again in quick succession (a snapshot's
// buffer, a store's vectors) is better left to the heap, which hands the
// same memory back without new page faults: see huge_page_allocator.h.
#pragma once

#include <cstddef>
#include <memory>

#include "core/memory/huge_page_allocator.h"

#if defined(__SANITIZE_ADDRESS__)
#define TAVRIK_MAP_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIK_MAP_BLOCKS 0
#endif
#endif
#ifndef TAVRIK_MAP_BLOCKS
#define TAVRIK_MAP_BLOCKS 1
#endif

namespace tavrik {

namespace page_mapping {

inline constexpr std::size_t kPage = std::size_t{4} << 10;
inline constexpr std::size_t kHugePage = HugePageAllocator<std::byte>::kHugePage;

// Maps `bytes` (a multiple of kPage), aligned to a huge page and with huge
// pages advised when `huge`; throws std::bad_alloc on failure.
void* map(std::size_t bytes, bool huge);
// Unmaps what map(bytes, ...) returned.
void unmap(void* block, std::size_t bytes) noexcept;

}  // namespace page_mapping

template <class T>
struct MappedBlockAllocator : std::allocator<T> {
  static constexpr std::size_t kMappedBytes = std::size_t{16} << 10;
  // Large blocks and huge pages as for the heap's large blocks.
  static constexpr std::size_t kLargeBytes = HugePageAllocator<T>::kLargeBytes;
  static constexpr std::size_t kMaxBytes = HugePageAllocator<T>::kMaxBytes;

  using std::allocator<T>::allocator;
  MappedBlockAllocator() = default;
  template <class U>
  MappedBlockAllocator(const MappedBlockAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(std::size_t count) {
    if (!mapped(count)) return std::allocator<T>::allocate(count);
    return static_cast<T*>(page_mapping::map(mapped_bytes(count), large(count)));
  }

  void deallocate(T* block, std::size_t count) noexcept {
    if (!mapped(count)) {
      std::allocator<T>::deallocate(block, count);
      return;
    }
    page_mapping::unmap(block, mapped_bytes(count));
  }

 private:
  static bool mapped(std::size_t count) {
    return TAVRIK_MAP_BLOCKS && count >= kMappedBytes / sizeof(T) &&
           count <= kMaxBytes / sizeof(T);
  }
  static bool large(std::size_t count) { return count > kLargeBytes / sizeof(T); }
  static std::size_t mapped_bytes(std::size_t count) {
    return (count * sizeof(T) + page_mapping::kPage - 1) / page_mapping::kPage * page_mapping::kPage;
  }
};

}  // namespace tavrik
