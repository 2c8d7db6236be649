// An allocator that puts large blocks on huge pages.
//
// Blocks of more than kLargeBytes are placed on 2 MiB boundaries, rounded
// up to whole 2 MiB pages, and the kernel is told that huge pages suit
// them. A big block read at random (a hash table of a large store, a
// snapshot being loaded) then costs far fewer address-translation misses,
// and filling it far fewer page faults. It is a hint only: the contents are
// the same either way, and smaller blocks come from the ordinary allocator.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace tavrik {

template <class T>
struct HugePageAllocator : std::allocator<T> {
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kLargeBytes = std::size_t{2} << 20;
  static constexpr std::size_t kMaxBytes = std::size_t{1} << 46;  // rounding cannot overflow

  using std::allocator<T>::allocator;
  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(std::size_t count) {
    if (!large(count)) return std::allocator<T>::allocate(count);
    const std::size_t rounded = (count * sizeof(T) + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
    ::madvise(block, rounded, MADV_HUGEPAGE);  // a hint; failure changes nothing
    return static_cast<T*>(block);
  }

  void deallocate(T* block, std::size_t count) noexcept {
    if (!large(count)) {
      std::allocator<T>::deallocate(block, count);
      return;
    }
    std::free(block);
  }

 private:
  static bool large(std::size_t count) {
    return count > kLargeBytes / sizeof(T) && count <= kMaxBytes / sizeof(T);
  }
};

}  // namespace tavrik
