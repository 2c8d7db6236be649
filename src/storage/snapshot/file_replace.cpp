#include "storage/snapshot/file_replace.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "core/random/os_random.h"
#include "storage/snapshot/os_error.h"
#include "storage/snapshot/unique_fd.h"

namespace tavrik {
namespace {

constexpr mode_t kNewFileMode = 0666;
constexpr int kMaxSymlinkHops = 40;
constexpr int kTempNameAttempts = 8;
// Leaves room for the temporary file's prefix and suffix within NAME_MAX.
constexpr std::size_t kTempNameBaseMax = 200;

SnapshotStatus create_failure(std::string detail) {
  return SnapshotStatus::failure(SnapshotStage::Create, std::move(detail));
}
SnapshotStatus write_failure(std::string detail) {
  return SnapshotStatus::failure(SnapshotStage::Write, std::move(detail));
}

struct Target {
  std::string path;  // symlinks resolved, except links of the process file system
  bool exists = false;
  bool regular = false;
  bool through_proc = false;  // reached through a link in /proc: written in place
  mode_t permissions = 0;
  uid_t owner = 0;
  gid_t group = 0;
};

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> read_link(const std::string& link) {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length < 0) return std::nullopt;
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// Links in /proc (/proc/self/fd/N, and /dev/stdout, which leads there) are
// not names of files: their text describes what an open file is ("pipe:[7]",
// "/memfd:x (deleted)", a deleted file's former name), and only opening the
// link itself reaches that file.
bool is_proc_link(const std::string& link) {
  struct statfs filesystem {};
  return ::statfs(directory_of(link).c_str(), &filesystem) == 0 &&
         filesystem.f_type == PROC_SUPER_MAGIC;
}

void note_file(const struct stat& status, Target& target) {
  target.exists = true;
  target.regular = S_ISREG(status.st_mode);
  target.permissions = status.st_mode & 07777;
  target.owner = status.st_uid;
  target.group = status.st_gid;
}

// Follows symlinks to the file that will be replaced and notes what it is.
SnapshotStatus resolve_target(const std::string& path, Target& target) {
  if (path.empty()) return create_failure(os_error_detail(ENOENT));
  target.path = path;
  for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
    struct stat status {};
    if (::lstat(target.path.c_str(), &status) != 0) {
      if (errno != ENOENT) return create_failure(os_error_detail(errno));
      // Creating "name/" would make a directory, not a file.
      if (target.path.ends_with('/')) return create_failure(os_error_detail(EISDIR));
      return SnapshotStatus::ok();
    }
    if (S_ISLNK(status.st_mode) && is_proc_link(target.path)) {
      // What opening the link reaches, as the system resolves it.
      if (::stat(target.path.c_str(), &status) != 0) return create_failure(os_error_detail(errno));
      if (S_ISDIR(status.st_mode)) return create_failure(os_error_detail(EISDIR));
      note_file(status, target);
      target.through_proc = true;
      return SnapshotStatus::ok();
    }
    if (S_ISLNK(status.st_mode)) {
      const auto link = read_link(target.path);
      if (!link) return create_failure(os_error_detail(errno));
      target.path = link->starts_with('/') ? *link : directory_of(target.path) + "/" + *link;
      continue;
    }
    if (S_ISDIR(status.st_mode)) return create_failure(os_error_detail(EISDIR));
    note_file(status, target);
    return SnapshotStatus::ok();
  }
  return create_failure(os_error_detail(ELOOP));
}

// A temporary file that removes itself unless committed.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { remove(); }
  void remove() {
    fd.reset();
    if (!path.empty()) ::unlink(path.c_str());
    path.clear();
  }
  void committed() { path.clear(); }

  std::string path;
  UniqueFd fd;
};

std::string temp_name_for(const std::string& target) {
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%016llx", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(os_random_u64()));
  const std::string name = name_of(target).substr(0, kTempNameBaseMax);
  return directory_of(target) + "/." + name + suffix;
}

// Creates the temporary file exclusively; returns errno on failure, else 0.
int create_temp(const Target& target, TempFile& temp) {
  const mode_t mode = target.exists ? target.permissions : kNewFileMode;
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    std::string name = temp_name_for(target.path);
    UniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd.valid()) {
      if (errno == EEXIST || errno == EINTR) continue;
      return errno;
    }
    temp.path = std::move(name);
    temp.fd = std::move(fd);
    return 0;
  }
  return EEXIST;
}

// Makes the rename itself durable. Filesystems that cannot sync a directory
// (EINVAL) are taken as they are.
SnapshotStatus sync_directory(const std::string& directory) {
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return SnapshotStatus::ok();  // e.g. a write-only directory: best effort
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return write_failure(os_error_detail(errno));
  return SnapshotStatus::ok();
}

// A device, FIFO or socket: opened for writing as it is, and written.
SnapshotStatus write_to_special(const std::string& path, const FileContents& contents) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode));
  if (!fd.valid()) return create_failure(os_error_detail(errno));
  return contents.write_to(fd.get());
}

// Makes sure the file has room for `size` bytes from its start before any of
// its bytes change (failures at Write). The file keeps its length and
// contents. A file system that cannot reserve space is written all the same.
SnapshotStatus reserve_space(int fd, std::size_t size) {
  if (size == 0) return SnapshotStatus::ok();
  const auto length = static_cast<off_t>(size);
  int result = 0;
  do {
    result = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return SnapshotStatus::ok();
  if (errno != EOPNOTSUPP && errno != ENOSYS) return write_failure(os_error_detail(errno));
  // Without a reservation beyond the end, the C library's fallback makes the
  // file long enough, writing zeros only where nothing is stored yet; a
  // failure cuts it back (were that to fail, the old snapshot still comes
  // first, and bytes after a snapshot are ignored).
  struct stat status {};
  if (::fstat(fd, &status) != 0) return write_failure(os_error_detail(errno));
  const int error = ::posix_fallocate(fd, 0, length);
  if (error == 0 || error == EOPNOTSUPP || error == EINVAL || error == ENODEV) {
    return SnapshotStatus::ok();
  }
  [[maybe_unused]] const int cut_back = ::ftruncate(fd, status.st_size);
  return write_failure(os_error_detail(error));
}

// A regular file overwritten where it is, when it cannot be replaced: the
// space for the new contents is reserved first, so that a full disk fails
// the save with the old contents intact; then the file is overwritten from
// its start, cut to the new length and synced.
SnapshotStatus write_over(const std::string& path, const FileContents& contents) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) return create_failure(os_error_detail(errno));
  const std::size_t size = contents.size();
  if (SnapshotStatus reserved = reserve_space(fd.get(), size); !reserved.is_ok()) {
    return reserved;
  }
  if (SnapshotStatus written = contents.write_to(fd.get()); !written.is_ok()) return written;
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    return write_failure(os_error_detail(errno));
  }
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return write_failure(os_error_detail(errno));
  if (const int error = fd.close(); error != 0) return write_failure(os_error_detail(error));
  return SnapshotStatus::ok();
}

SnapshotStatus write_in_place(const Target& target, const FileContents& contents) {
  return target.regular ? write_over(target.path, contents)
                        : write_to_special(target.path, contents);
}

// The temporary file gets the target's owner and group where this process
// may give them (else the group alone, else neither), then its permission
// bits (after the owner: changing it may clear set-id bits).
SnapshotStatus take_over_attributes(const Target& target, int fd) {
  if (::fchown(fd, target.owner, target.group) != 0) {
    [[maybe_unused]] const int group_only = ::fchown(fd, static_cast<uid_t>(-1), target.group);
  }
  // The creation mode passed the umask; an existing file's bits are kept whole.
  if (::fchmod(fd, target.permissions) != 0) return write_failure(os_error_detail(errno));
  return SnapshotStatus::ok();
}

// Errors of rename that refuse this way of replacing the file, not the
// writing itself: the target is a mount point (a bind-mounted file), or a
// sticky directory keeps another user's file from being replaced.
bool rename_refused(int error) { return error == EBUSY || error == EPERM || error == EXDEV; }

// An existing file that the caller may not write must refuse the save, as
// opening it for writing would; replacing it through the directory would
// otherwise succeed behind its permissions. Opening without truncation
// leaves its contents as they are.
SnapshotStatus check_writable(const Target& target) {
  if (!target.exists) return SnapshotStatus::ok();
  UniqueFd fd(::open(target.path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) return create_failure(os_error_detail(errno));
  return SnapshotStatus::ok();
}

SnapshotStatus write_through_temp(const Target& target, const FileContents& contents) {
  if (SnapshotStatus writable = check_writable(target); !writable.is_ok()) return writable;
  TempFile temp;
  if (const int error = create_temp(target, temp); error != 0) {
    const bool directory_refuses = error == EACCES || error == EPERM;
    if (directory_refuses && target.exists) return write_over(target.path, contents);
    return create_failure(os_error_detail(error));
  }
  if (target.exists) {
    SnapshotStatus taken_over = take_over_attributes(target, temp.fd.get());
    if (!taken_over.is_ok()) return taken_over;
  }
  if (SnapshotStatus written = contents.write_to(temp.fd.get()); !written.is_ok()) {
    return written;
  }
  if (::fsync(temp.fd.get()) != 0) return write_failure(os_error_detail(errno));
  if (const int error = temp.fd.close(); error != 0) return write_failure(os_error_detail(error));
  if (::rename(temp.path.c_str(), target.path.c_str()) != 0) {
    const int error = errno;
    if (!target.exists || !rename_refused(error)) return write_failure(os_error_detail(error));
    temp.remove();  // its space may be what the file needs
    return write_over(target.path, contents);
  }
  temp.committed();
  return sync_directory(directory_of(target.path));
}

}  // namespace

SnapshotStatus write_all(int fd, std::span<const std::uint8_t> bytes) {
  // Everything at once, repeated until all bytes are taken.
  constexpr std::size_t kLargestWrite = SSIZE_MAX;
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), std::min(bytes.size(), kLargestWrite));
    if (written < 0) {
      if (errno == EINTR) continue;
      return write_failure(os_error_detail(errno));
    }
    if (written == 0) return write_failure(kZeroWriteDetail);
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return SnapshotStatus::ok();
}

SnapshotStatus replace_file_contents(const std::string& path, const FileContents& contents) {
  if (path.find('\0') != std::string::npos) return create_failure(kNulInPathDetail);
  Target target;
  if (SnapshotStatus resolved = resolve_target(path, target); !resolved.is_ok()) return resolved;
  if (target.exists && (!target.regular || target.through_proc)) {
    return write_in_place(target, contents);
  }
  return write_through_temp(target, contents);
}

}  // namespace tavrik
