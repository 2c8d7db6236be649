#include "core/vector/vector_arena.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

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

// The small-paged chunks are the ones the allocator leaves on ordinary pages.
static_assert(VectorArena::kSmallPagedChunkBytes <= HugePageAllocator<std::byte>::kLargeBytes);
static_assert(VectorArena::kMaxChunkBytes > HugePageAllocator<std::byte>::kLargeBytes);

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
  const float cached = array.cached();
  array = hold(array);
  array.cache(cached);
}

FloatArray VectorArena::hold_for_overwrite(std::size_t count) {
  if (count == 0) return {};
  std::byte* block = take(block_bytes(count));
  FloatArray::write_header(block, float_block::header(count, true));
  return FloatArray(block);
}

void VectorArena::give_back(FloatArray& array) {
  if (!array.lent()) return;
  const auto chunk = chunk_holding(array.block_.get());
  if (chunk == chunks_.end()) return;  // another arena's block
  const std::size_t bytes = block_bytes(array.size());
  release(array.block_.release(), bytes, chunk);
}

std::size_t VectorArena::reserved_bytes() const {
  std::size_t total = 0;
  for (const Chunk& chunk : chunks_) total += chunk.size();
  return total;
}

std::byte* VectorArena::take(std::size_t bytes) {
  if (std::byte* block = free_.take(bytes)) return block;
  if (bump_ != nullptr && static_cast<std::size_t>(bump_end_ - bump_) >= bytes) {
    std::byte* block = bump_;
    bump_ += bytes;
    return block;
  }
  // A new chunk, twice the last one (up to the cap), or just this block
  // when it alone is larger. The rest of the chunk being filled becomes
  // free space.
  const std::size_t cap =
      reserved_bytes() < kSmallPagedBytes ? kSmallPagedChunkBytes : kMaxChunkBytes;
  std::size_t size =
      chunks_.empty() ? kFirstChunkBytes : std::min(chunks_.back().size() * 2, cap);
  size = std::max(size, bytes);
  chunks_.reserve(chunks_.size() + 1);
  if (bump_ != bump_end_) {
    std::byte* rest = std::exchange(bump_, nullptr);
    const auto rest_bytes = static_cast<std::size_t>(std::exchange(bump_end_, nullptr) - rest);
    release(rest, rest_bytes, chunk_holding(rest));
  }
  chunks_.emplace_back(size);
  bump_ = chunks_.back().data() + bytes;
  bump_end_ = chunks_.back().end();
  return chunks_.back().data();
}

std::vector<VectorArena::Chunk>::iterator VectorArena::chunk_holding(const std::byte* block) {
  return std::find_if(chunks_.begin(), chunks_.end(),
                      [&](const Chunk& chunk) { return chunk.holds(block); });
}

void VectorArena::release(std::byte* block, std::size_t bytes, std::vector<Chunk>::iterator chunk) {
  const FreeSpace::Range range = free_.add(block, bytes, chunk->data(), chunk->end());
  const bool fills_chunk = range.begin == chunk->data() && range.bytes == chunk->size();
  if (range.begin + range.bytes == bump_ && chunk->end() == bump_end_) {
    // Free space just before the unused rest joins it.
    free_.remove(range);
    bump_ = range.begin;
    // A chunk made for one large block is not kept for small ones.
    if (bump_ != chunk->data() || chunk->size() <= kMaxChunkBytes) return;
    bump_ = bump_end_ = nullptr;
    chunks_.erase(chunk);
  } else if (fills_chunk) {
    free_.remove(range);
    chunks_.erase(chunk);
  }
}

}  // namespace tavrik
