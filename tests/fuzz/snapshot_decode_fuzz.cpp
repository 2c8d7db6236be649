// Feeds arbitrary bytes to the snapshot decoder. Read a few bytes at a
// time, as files are, they must decode the same way (tables of the same
// sizes and encoding length, or the same message and offset). Whatever decodes must
// encode again and decode again to the same encoding length; the summary,
// read with the same decoder, must fail or succeed with it, with the same
// message and offset, and count the same tables. Nothing may crash, leak,
// read out of bounds or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "../cpp/snapshot_bytes.h"
#include "storage/snapshot/snapshot_codec.h"
#include "storage/snapshot/snapshot_summary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  tavrik::DecodedSnapshot first;
  const tavrik::SnapshotStatus decoded = tavrik::decode_snapshot(input, first);
  tavrik::DecodedSnapshot streamed;
  const tavrik::SnapshotStatus in_chunks =
      tavrik::decode_snapshot_in_chunks(input, 1 + size % 13, streamed);
  if (in_chunks.is_ok() != decoded.is_ok() || in_chunks.detail() != decoded.detail() ||
      in_chunks.offset() != decoded.offset()) {
    std::abort();
  }
  const auto summary = tavrik::summarize_snapshot(input);
  if (summary.decoded != decoded.is_ok()) std::abort();
  if (!decoded.is_ok()) {
    if (summary.findings.size() != 1 || summary.findings[0].message != decoded.detail() ||
        summary.findings[0].offset != decoded.offset()) {
      std::abort();
    }
    return 0;
  }
  if (summary.points != first.points.size() || summary.nodes != first.index.nodes.size()) {
    std::abort();
  }
  const auto bytes = tavrik::encode_snapshot(first.points, first.index);
  if (streamed.points.size() != first.points.size() ||
      streamed.index.nodes.size() != first.index.nodes.size() ||
      tavrik::encoded_snapshot_size(streamed.points, streamed.index) != bytes.size()) {
    std::abort();
  }
  if (bytes.size() > size) std::abort();  // duplicates only shrink, trailing bytes drop
  tavrik::DecodedSnapshot second;
  if (!tavrik::decode_snapshot(bytes, second).is_ok()) std::abort();
  const auto again = tavrik::encode_snapshot(second.points, second.index);
  if (again.size() != bytes.size()) std::abort();
  return 0;
}
