#include "storage/snapshot/snapshot_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>
#include <utility>

#include "storage/snapshot/background_reader.h"
#include "storage/snapshot/background_writer.h"
#include "storage/snapshot/file_replace.h"
#include "storage/snapshot/os_error.h"
#include "storage/snapshot/snapshot_codec.h"
#include "storage/snapshot/unique_fd.h"

namespace tavrik {
namespace {

constexpr std::size_t kMinimumGrowth = 8192;

// The tables' snapshot as the contents of a file.
class SnapshotContents final : public FileContents {
 public:
  SnapshotContents(const PointTable& points, const HNSWIndex& index)
      : points_(points), index_(index) {}

  std::size_t size() const override { return encoded_snapshot_size(points_, index_); }

  SnapshotStatus write_to(int fd) const override {
    BackgroundWriter writer(fd, rough_size());
    struct ToWriter final : SnapshotSink {
      explicit ToWriter(BackgroundWriter& writer) : writer(writer) {}
      void take(FileBytes& piece) override { writer.write(piece); }
      BackgroundWriter& writer;
    } sink(writer);
    encode_snapshot(points_, index_, sink);
    return writer.finish();
  }

 private:
  // About size(), judged without visiting every entry: each point as long
  // as the first one, with a few bytes for its keys, counts and links.
  std::size_t rough_size() const {
    if (points_.empty()) return 0;
    const std::size_t floats = points_.begin()->second.vector.size();
    return points_.size() * (floats * sizeof(float) + 16);
  }

  const PointTable& points_;
  const HNSWIndex& index_;
};

SnapshotStatus open_failure(std::string detail) {
  return SnapshotStatus::failure(SnapshotStage::Open, std::move(detail));
}
SnapshotStatus read_failure(std::string detail) {
  return SnapshotStatus::failure(SnapshotStage::Read, std::move(detail));
}

// Bytes left from the current position, as the file's metadata tells; 0 when
// unknown (pipes, devices).
std::size_t size_hint(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_size <= 0) return 0;
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position < 0 || position >= status.st_size) return 0;
  return static_cast<std::size_t>(status.st_size - position);
}

// Makes room for at least one more byte; false when memory runs out.
bool grow(FileBytes& bytes) {
  try {
    bytes.reserve(std::max(bytes.capacity() * 2, bytes.size() + kMinimumGrowth));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Reads until end of file (failures at Read). When the buffer is
// exactly full (the usual case, sized from the metadata), a small probe read
// checks for the end before the buffer is doubled.
SnapshotStatus read_to_end(int fd, FileBytes& bytes) {
  BackgroundReader source(fd, 0);  // announced empty: plain reads, no thread
  const auto at_end = [&source] {
    if (source.error() != 0) return read_failure(os_error_detail(source.error()));
    return SnapshotStatus::ok();
  };
  for (;;) {
    if (bytes.size() == bytes.capacity()) {
      std::uint8_t probe[64];
      const std::size_t got = source.read(probe);
      if (got == 0) return at_end();
      if (!grow(bytes)) return read_failure(kOutOfMemoryDetail);
      bytes.insert(bytes.end(), probe, probe + got);
      continue;
    }
    const std::size_t filled = bytes.size();
    bytes.resize(bytes.capacity());  // within capacity: no allocation, no fill
    const std::size_t got = source.read({bytes.data() + filled, bytes.size() - filled});
    bytes.resize(filled + got);
    if (got == 0) return at_end();
  }
}

// Opens the snapshot file at `path` for reading into `fd` (failures at Open).
SnapshotStatus open_for_reading(const std::string& path, UniqueFd& fd) {
  if (path.find('\0') != std::string::npos) return open_failure(kNulInPathDetail);
  fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return open_failure(os_error_detail(errno));
  return SnapshotStatus::ok();
}

}  // namespace

SnapshotStatus write_snapshot_file(const std::string& path, const PointTable& points,
                                   const HNSWIndex& index) {
  return replace_file_contents(path, SnapshotContents(points, index));
}

SnapshotStatus load_snapshot_file(const std::string& path, DecodedSnapshot& into) {
  UniqueFd fd;
  if (SnapshotStatus opened = open_for_reading(path, fd); !opened.is_ok()) return opened;
  const std::size_t size = size_hint(fd.get());
  if (size == 0) {
    // A pipe or device (or an empty file): its length is unknown, and the
    // tables could not be sized from it as from the whole input.
    FileBytes bytes;
    if (SnapshotStatus read = read_to_end(fd.get(), bytes); !read.is_ok()) return read;
    return decode_snapshot(bytes, into);
  }
  BackgroundReader source(fd.get(), size);
  SnapshotStatus decoded = decode_snapshot(source, size, into);
  if (source.error() != 0) return read_failure(os_error_detail(source.error()));
  return decoded;
}

SnapshotStatus read_snapshot_file(const std::string& path, FileBytes& bytes) {
  bytes.clear();
  UniqueFd fd;
  if (SnapshotStatus opened = open_for_reading(path, fd); !opened.is_ok()) return opened;
  try {
    bytes.reserve(size_hint(fd.get()));
  } catch (const std::bad_alloc&) {
    return read_failure(kOutOfMemoryDetail);
  } catch (const std::length_error&) {
    return read_failure(kOutOfMemoryDetail);
  }
  SnapshotStatus read = read_to_end(fd.get(), bytes);
  if (!read.is_ok()) bytes.clear();
  return read;
}

}  // namespace tavrik
