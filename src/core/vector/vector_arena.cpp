#include "core/vector/vector_arena.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "core/fault.h"
#include "core/memory/huge_page_allocator.h"

namespace tavrik {
namespace {

// Blocks start on 8-byte boundaries, like the length word that opens them.
constexpr std::size_t kAlign = 8;

std::size_t block_bytes(std::size_t count) {
  if (count > (std::numeric_limits<std::size_t>::max() - 2 * kAlign) / sizeof(float)) {
    internal_fault("vector too long to allocate");
  }
  const std::size_t bytes = sizeof(std::uint64_t) + count * sizeof(float);
  return (bytes + kAlign - 1) / kAlign * kAlign;
}

}  // namespace

VectorArena::Chunk::Chunk(std::size_t size)
    : data_(HugePageAllocator<std::byte>().allocate(size)), size_(size) {}

VectorArena::Chunk::~Chunk() {
  if (data_ != nullptr) HugePageAllocator<std::byte>().deallocate(data_, size_);
}

bool VectorArena::Chunk::holds(const std::byte* block) const {
  // Compared as addresses: `block` may lie in any chunk or none.
  const std::less_equal<const std::byte*> at_or_before;
  const std::less<const std::byte*> before;
  return at_or_before(data_, block) && before(block, data_ + size_);
}

FloatArray VectorArena::hold(std::span<const float> values) {
  FloatArray array = hold_for_overwrite(values.size());
  if (!values.empty()) std::memcpy(array.data(), values.data(), values.size() * sizeof(float));
  return array;
}

void VectorArena::adopt(FloatArray& array) {
  if (array.empty() || array.lent()) return;
  if (array.size() > kMaxAdoptedBytes / sizeof(float)) return;
  array = hold(array);
}

FloatArray VectorArena::hold_for_overwrite(std::size_t count) {
  if (count == 0) return {};
  std::byte* block = take(block_bytes(count));
  const std::uint64_t header = static_cast<std::uint64_t>(count) | FloatArray::kLentBit;
  std::memcpy(block, &header, sizeof header);
  return FloatArray(block);
}

void VectorArena::give_back(FloatArray& array) {
  if (!array.lent() || !lent_here(array.block_.get())) return;
  const std::size_t bytes = block_bytes(array.size());
  std::byte* block = array.block_.release();
  auto same = std::find_if(free_.begin(), free_.end(),
                           [&](const FreeBlocks& f) { return f.bytes == bytes; });
  if (same == free_.end()) same = free_.insert(free_.end(), FreeBlocks{bytes, {}});
  same->blocks.push_back(block);
}

std::size_t VectorArena::reserved_bytes() const {
  std::size_t total = 0;
  for (const Chunk& chunk : chunks_) total += chunk.size();
  return total;
}

std::byte* VectorArena::take(std::size_t bytes) {
  for (FreeBlocks& f : free_) {
    if (f.bytes == bytes && !f.blocks.empty()) {
      std::byte* block = f.blocks.back();
      f.blocks.pop_back();
      return block;
    }
  }
  if (bump_ != nullptr && static_cast<std::size_t>(bump_end_ - bump_) >= bytes) {
    std::byte* block = bump_;
    bump_ += bytes;
    return block;
  }
  // A new chunk, twice the last one (up to the cap), or just this block
  // when it alone is larger. The rest of the last chunk stays unused.
  std::size_t size = chunks_.empty() ? kFirstChunkBytes
                                     : std::min(chunks_.back().size() * 2, kMaxChunkBytes);
  size = std::max(size, bytes);
  chunks_.reserve(chunks_.size() + 1);
  chunks_.emplace_back(size);
  bump_ = chunks_.back().data() + bytes;
  bump_end_ = chunks_.back().data() + size;
  return chunks_.back().data();
}

bool VectorArena::lent_here(const std::byte* block) const {
  return std::any_of(chunks_.begin(), chunks_.end(),
                     [&](const Chunk& chunk) { return chunk.holds(block); });
}

}  // namespace tavrik
