#include "core/memory/mapped_block_allocator.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace tavrik::page_mapping {

void* map(std::size_t bytes, bool huge) {
  // Mappings start on a page; a huge page's alignment is cut out of a
  // mapping one huge page longer, its unaligned head and its tail unmapped
  // again.
  const std::size_t slack = huge ? kHugePage : 0;
  void* mapping = ::mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<std::byte*>(mapping);
  if (huge) {
    const auto address = reinterpret_cast<std::uintptr_t>(mapping);
    const std::size_t head = (kHugePage - address % kHugePage) % kHugePage;
    if (head != 0) ::munmap(start, head);
    if (slack - head != 0) ::munmap(start + head + bytes, slack - head);
    start += head;
    ::madvise(start, bytes, MADV_HUGEPAGE);  // a hint; failure changes nothing
  }
  return start;
}

void unmap(void* block, std::size_t bytes) noexcept { ::munmap(block, bytes); }

}  // namespace tavrik::page_mapping
