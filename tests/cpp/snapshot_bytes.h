// The whole encoding of a snapshot in one buffer, for tests and fuzzers that
// compare or decode it: the pieces the encoder hands out, joined in order.
#pragma once

#include "storage/snapshot/snapshot_codec.h"

namespace tavrik {

inline FileBytes encode_snapshot(const PointTable& points, const HNSWIndex& index) {
  struct Joined final : SnapshotSink {
    FileBytes bytes;
    void take(FileBytes& piece) override {
      bytes.insert(bytes.end(), piece.begin(), piece.end());
      piece.clear();
    }
  } joined;
  encode_snapshot(points, index, joined);
  return std::move(joined.bytes);
}

}  // namespace tavrik
