// Feeds arbitrary bytes to the snapshot decoder. Whatever decodes must
// encode again and decode again to the same encoding length; the summary,
// read with the same decoder, must fail or succeed with it, with the same
// message and offset, and count the same tables. Nothing may crash, leak,
// read out of bounds or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "storage/snapshot/snapshot_codec.h"
#include "storage/snapshot/snapshot_summary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto first = tavrik::decode_snapshot(input);
  const auto summary = tavrik::summarize_snapshot(input);
  if (summary.decoded != first.snapshot.has_value()) std::abort();
  if (!first.snapshot) {
    if (summary.findings.size() != 1 || summary.findings[0].message != first.error ||
        summary.findings[0].offset != first.error_offset) {
      std::abort();
    }
    return 0;
  }
  if (summary.points != first.snapshot->points.size() ||
      summary.nodes != first.snapshot->index.nodes.size()) {
    std::abort();
  }
  const auto bytes = tavrik::encode_snapshot(first.snapshot->points, first.snapshot->index);
  if (bytes.size() > size) std::abort();  // duplicates only shrink, trailing bytes drop
  const auto second = tavrik::decode_snapshot(bytes);
  if (!second.snapshot) std::abort();
  const auto again = tavrik::encode_snapshot(second.snapshot->points, second.snapshot->index);
  if (again.size() != bytes.size()) std::abort();
  return 0;
}
