// Replacement of a file's whole contents, crash-safe wherever the file can
// be replaced through its directory.
//
// A regular file (or a path that does not exist yet) is normally not
// truncated in place: the bytes go to a fresh temporary file in the same
// directory (".<name>.tmp-<pid>-<random>", created exclusively), which is
// synced, renamed over the target, and the directory is synced. A crash,
// kill or full disk at any moment leaves either the old or the new contents
// under the target name, never a mixture or an empty file. On any failure
// the temporary file is removed (a killed process may leave one behind; the
// target is intact all the same).
//
//   new file        mode 0666 under the process's umask
//   existing file   keeps its permission bits, and its owner and group where
//                   the process may set them (else its group where it may)
//   symlink         the file it points to is replaced; the link stays
//   link in /proc   (/proc/self/fd/N, /dev/stdout) written in place, as
//                   opening the path reaches it: such a link's text describes
//                   an open file ("pipe:[7]", "/x (deleted)"), it is no path
//   directory       fails at creation with EISDIR, nothing is created
//   FIFO, device    written in place (open for writing, create, truncate),
//                   since such a file cannot be renamed over
//
// In-place writes of an existing regular file, not crash-safe: where the
// directory refuses new entries (EACCES/EPERM), and where the rename is
// refused (EBUSY: the file is a mount point, as a bind-mounted file is;
// EPERM: another user's file in a sticky directory; EXDEV). The file is
// opened without truncation, the space for the new contents is reserved
// before any byte changes (fallocate; a file system that cannot reserve is
// written all the same), then it is overwritten from the start, cut to the
// new length and synced. A full disk thus fails the save with the old
// contents intact; a crash or kill midway leaves a mixture.
//
// A failure is reported with the stage it happened at (snapshot_status.h):
// Create (the path can't be opened or a temporary file can't be created:
// nothing was touched) or Write (write, sync, close or rename failed: the
// target still holds its previous contents, except after an in-place write
// began).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "storage/snapshot/snapshot_status.h"

namespace tavrik {

inline constexpr const char* kNulInPathDetail = "file name contained an unexpected NUL byte";
inline constexpr const char* kZeroWriteDetail = "failed to write whole buffer";

// The new contents of a file, made while they are written, so that they
// need never be held whole in memory.
class FileContents {
 public:
  virtual ~FileContents() = default;
  // How many bytes write_to writes; asked for only where the file is
  // overwritten in place and its space is reserved first.
  virtual std::size_t size() const = 0;
  // Writes every byte to `fd` from its current offset (failures at Write).
  // May be asked more than once, and then writes the same bytes.
  virtual SnapshotStatus write_to(int fd) const = 0;
};

// Replaces the contents of `path` by `contents`. A path containing a NUL
// byte fails at Create with kNulInPathDetail.
SnapshotStatus replace_file_contents(const std::string& path, const FileContents& contents);

// Writes every byte to `fd`, retrying interrupted and partial writes;
// failures are at Write. A write that accepts zero bytes gives
// kZeroWriteDetail.
SnapshotStatus write_all(int fd, std::span<const std::uint8_t> bytes);

}  // namespace tavrik
