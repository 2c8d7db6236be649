#include "storage/snapshot/point_stream.h"

#include "storage/snapshot/snapshot_file.h"

namespace tavrik {

SnapshotStatus PointStream::open(const std::string& path) {
  if (SnapshotStatus read = read_snapshot_file(path, bytes_); !read.is_ok()) return read;
  SnapshotReader check(bytes_);
  std::uint64_t count = 0;
  bool decoded = check.read_count(count);
  if (decoded) {
    last_entry_.reserve(reservable_table_entries(count, check.remaining(),
                                                 sizeof(FlatIdMap<std::uint64_t>::value_type)));
  }
  Point point;
  for (std::uint64_t i = 0; decoded && i < count; ++i) {
    std::uint64_t key = 0;
    std::uint64_t id = 0;
    decoded = check.read_point(arena_, key, id, point);
    arena_.give_back(point.vector);
    if (decoded) last_entry_.insert_or_assign(key, i);
  }
  IndexHeader header;
  decoded = decoded && check.read_index_header(header);
  std::vector<std::uint64_t> ids;
  for (std::uint64_t i = 0; decoded && i < header.node_count; ++i) {
    std::uint64_t key = 0;
    std::uint64_t id = 0;
    std::size_t counts[MAX_LAYERS] = {};
    decoded = check.read_node_lists(key, id, counts, ids);
  }
  if (!decoded) {
    return SnapshotStatus::failure(SnapshotStage::Decode, std::string(check.error_message()),
                                   check.error_offset());
  }
  reader_.emplace(bytes_);
  reader_->read_count(count_);
  return SnapshotStatus::ok();
}

bool PointStream::next(std::uint64_t& key, Point& point) {
  while (reader_ && ordinal_ < count_) {
    arena_.give_back(point.vector);
    // The whole table decoded when the stream opened, so this read succeeds.
    std::uint64_t id = 0;  // a point is listed by its key
    reader_->read_point(arena_, key, id, point);
    const std::uint64_t ordinal = ordinal_++;
    const std::uint64_t* last = last_entry_.lookup(key);  // every key is there
    if (last != nullptr && *last == ordinal) return true;
  }
  return false;
}

}  // namespace tavrik
