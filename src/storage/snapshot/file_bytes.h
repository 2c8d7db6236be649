// The in-memory contents of a snapshot file, as encoded for writing or
// while it is read.
//
// A byte vector whose growth by resize() leaves the new bytes unset instead
// of zero-filling them: the reader resizes the buffer to the file's size
// and then reads into it, so the bytes are written once, by the read.
// Only the bytes a read has filled are ever kept or looked at.
//
// Large buffers (a whole snapshot) go on huge pages, so that filling them,
// by the encoder or by a read, takes a few page faults instead of one per
// 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/memory/huge_page_allocator.h"

namespace tavrik {

template <class T>
struct UnsetOnResizeAllocator : HugePageAllocator<T> {
  using HugePageAllocator<T>::HugePageAllocator;
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
