#include "core/memory/mapped_block_allocator.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace tavrik::page_mapping {

void* map(std::size_t bytes, std::size_t alignment, bool huge) {
  // Mappings start on a page; a larger alignment is cut out of a mapping
  // one alignment longer, its unaligned head and its tail unmapped again.
  const std::size_t slack = alignment > kPage ? alignment : 0;
  void* mapping = ::mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<std::byte*>(mapping);
  if (slack != 0) {
    const auto address = reinterpret_cast<std::uintptr_t>(mapping);
    const std::size_t head = (alignment - address % alignment) % alignment;
    if (head != 0) ::munmap(start, head);
    if (slack - head != 0) ::munmap(start + head + bytes, slack - head);
    start += head;
  }
  if (huge) ::madvise(start, bytes, MADV_HUGEPAGE);  // a hint; failure changes nothing
  return start;
}

void unmap(void* block, std::size_t bytes) noexcept { ::munmap(block, bytes); }

}  // namespace tavrik::page_mapping
