// The point table of a snapshot file, one point at a time, as load would
// build it: every entry whose key does not occur again later in the file,
// in file order.
//
// Opening reads the file and decodes the whole snapshot once, so that a
// file load rejects fails here, with load's error text, before any point is
// handed out; it remembers the last entry of each key. next() then decodes
// the entries again, one at a time: only the file's bytes and one point are
// held, never the table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/hashing/flat_id_map.h"
#include "core/vector/point.h"
#include "core/vector/vector_arena.h"
#include "storage/snapshot/file_bytes.h"
#include "storage/snapshot/snapshot_reader.h"
#include "storage/snapshot/snapshot_status.h"

namespace tavrik {

class PointStream {
 public:
  PointStream() = default;
  PointStream(const PointStream&) = delete;
  PointStream& operator=(const PointStream&) = delete;

  // The failures of load: reading the file, or decoding it (the decoder's
  // message and offset). Once only.
  SnapshotStatus open(const std::string& path);

  // Replaces `point` by the next point the table would hold, and `key` by
  // its key; false at the end. The point's vector is lent by the stream and
  // must not outlive it; passing the same point again recycles its block
  // for the next vector of the same length.
  bool next(std::uint64_t& key, Point& point);

 private:
  FileBytes bytes_;
  std::optional<SnapshotReader> reader_;
  VectorArena arena_;
  FlatIdMap<std::uint64_t> last_entry_;  // key -> ordinal of its last entry
  std::uint64_t count_ = 0;          // entries in the table
  std::uint64_t ordinal_ = 0;        // entries read so far
};

}  // namespace tavrik
