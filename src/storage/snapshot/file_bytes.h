// The in-memory contents of a snapshot file while it is read.
//
// A byte vector whose growth by resize() leaves the new bytes unset instead
// of zero-filling them: the reader resizes the buffer to the file's size
// and then reads into it, so the bytes are written once, by the read.
// Only the bytes a read has filled are ever kept or looked at.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tavrik {

template <class T>
struct UnsetOnResizeAllocator : std::allocator<T> {
  using std::allocator<T>::allocator;
  UnsetOnResizeAllocator() = default;
  template <class U>
  UnsetOnResizeAllocator(const UnsetOnResizeAllocator<U>&) noexcept {}  // NOLINT: rebinding

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
