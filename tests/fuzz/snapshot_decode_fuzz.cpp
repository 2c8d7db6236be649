// Feeds arbitrary bytes to the snapshot decoder. Whatever decodes must
// encode again and decode again to the same encoding length; nothing may
// crash, leak, read out of bounds or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "storage/snapshot/snapshot_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto first = tavrik::decode_snapshot(std::span<const std::uint8_t>(data, size));
  if (!first.snapshot) return 0;
  const auto bytes = tavrik::encode_snapshot(first.snapshot->points, first.snapshot->index);
  if (bytes.size() > size) std::abort();  // duplicates only shrink, trailing bytes drop
  const auto second = tavrik::decode_snapshot(bytes);
  if (!second.snapshot) std::abort();
  const auto again = tavrik::encode_snapshot(second.snapshot->points, second.snapshot->index);
  if (again.size() != bytes.size()) std::abort();
  return 0;
}
