// save_to_disk and load_from_disk: the segment's side of snapshot files.
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "storage/segment/segment.h"
#include "storage/snapshot/snapshot_codec.h"
#include "storage/snapshot/snapshot_file.h"

namespace tavrik {

// Both read locks, points first, are held from encoding until the file is
// complete, so the file is one consistent state and insertions wait for it.
SnapshotStatus Segment::save_to_disk(const std::string& path) const {
  std::shared_lock points_guard(points_lock_);
  std::shared_lock index_guard(index_lock_);
  return write_snapshot_file(path, points_, index_);
}

// Reading and decoding (a window of the file at a time) need no lock; only
// the swap takes both write locks, so readers never see a mixture. Any
// failure before the swap leaves the segment untouched. The previous tables
// are released after the locks.
SnapshotStatus Segment::load_from_disk(const std::string& path) {
  DecodedSnapshot fresh;
  if (SnapshotStatus loaded = load_snapshot_file(path, fresh); !loaded.is_ok()) return loaded;
  ScanBlocks fresh_blocks;
  if (fresh.points.size() <= ScanBlocks::kMaxPoints) {
    for (const auto& [key, point] : fresh.points) {
      fresh_blocks.put(key, fresh.points.id_of(key), point);
    }
  }
  {
    std::unique_lock points_guard(points_lock_);
    std::unique_lock index_guard(index_lock_);
    vectors_.swap(fresh.vectors);
    std::swap(points_, fresh.points);
    std::swap(index_, fresh.index);
    std::swap(scan_blocks_, fresh_blocks);
  }
  return SnapshotStatus::ok();
}

}  // namespace tavrik
