// The in-memory contents of a snapshot file while it is read.
//
// A byte vector whose growth by resize() leaves the new bytes unset instead
// of zero-filling them: the reader resizes the buffer to the file's size
// and then reads into it, so the bytes are written once, by the read.
// Only the bytes a read has filled are ever kept or looked at.
//
// Large buffers (a whole snapshot) are placed on 2 MiB boundaries and the
// kernel is told that huge pages suit them, so that filling them takes a few
// page faults instead of one per 4 KiB; this is a hint with no effect on the
// contents.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tavrik {

template <class T>
struct UnsetOnResizeAllocator : std::allocator<T> {
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kLargeBytes = std::size_t{4} << 20;
  static constexpr std::size_t kMaxBytes = std::size_t{1} << 46;  // rounding cannot overflow

  using std::allocator<T>::allocator;
  UnsetOnResizeAllocator() = default;
  template <class U>
  UnsetOnResizeAllocator(const UnsetOnResizeAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
    if (count > kLargeBytes / sizeof(T) && count <= kMaxBytes / sizeof(T)) {
      const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
      void* block = std::aligned_alloc(kHugePage, rounded);
      if (block == nullptr) throw std::bad_alloc();
      ::madvise(block, rounded, MADV_HUGEPAGE);  // a hint; failure changes nothing
      return static_cast<T*>(block);
    }
    return std::allocator<T>::allocate(count);
  }
  void deallocate(T* block, std::size_t count) noexcept {
    if (count > kLargeBytes / sizeof(T) && count <= kMaxBytes / sizeof(T)) {
      std::free(block);
      return;
    }
    std::allocator<T>::deallocate(block, count);
  }

  // Default-initialises: for bytes, leaves them as they are.
  template <class U>
  void construct(U* at) noexcept(noexcept(::new(static_cast<void*>(at)) U)) {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    std::construct_at(at, std::forward<Args>(args)...);
  }
};

using FileBytes = std::vector<std::uint8_t, UnsetOnResizeAllocator<std::uint8_t>>;

}  // namespace tavrik
