// Crash-safe replacement of a file's whole contents.
//
// A regular file (or a path that does not exist yet) is never truncated in
// place: the bytes go to a fresh temporary file in the same directory
// (".<name>.tmp-<pid>-<random>", created exclusively), which is synced,
// renamed over the target, and the directory is synced. A crash, kill or
// full disk at any moment leaves either the old or the new contents under
// the target name, never a mixture or an empty file. On any failure the
// temporary file is removed (a killed process may leave one behind; the
// target is intact all the same).
//
//   new file        mode 0666 under the process's umask
//   existing file   keeps its permission bits
//   symlink         the file it points to is replaced; the link stays
//   directory       fails at creation with EISDIR, nothing is created
//   FIFO, device    written in place (open for writing, create, truncate),
//                   since such a file cannot be renamed over
//   directory that refuses new entries (EACCES/EPERM) while the target is
//                   a writable regular file: written in place, as the only
//                   way the write can succeed
//
// A failure is reported with the stage it happened at: creating (the path
// can't be opened or a temporary file can't be created: nothing was touched)
// or writing (write, sync, close or rename failed: the target still holds
// its previous contents, except for in-place writes).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tavrik {

enum class FileStage { kCreate, kWrite };

struct FileFailure {
  FileStage stage;
  std::string detail;  // os_error_detail, or one of the fixed details below
};

inline constexpr const char* kNulInPathDetail = "file name contained an unexpected NUL byte";
inline constexpr const char* kZeroWriteDetail = "failed to write whole buffer";

// Replaces the contents of `path` by `bytes`; nullopt on success. A path
// containing a NUL byte fails at creation with kNulInPathDetail.
std::optional<FileFailure> replace_file_contents(const std::string& path,
                                                 std::span<const std::uint8_t> bytes);

// Writes every byte to `fd`, retrying interrupted and partial writes;
// nullopt on success. A write that accepts zero bytes gives kZeroWriteDetail.
std::optional<std::string> write_all(int fd, std::span<const std::uint8_t> bytes);

}  // namespace tavrik
