// SnapshotStatus: success, or how a snapshot operation failed.
//
// A failure carries the stage it happened at and a detail: the operating
// system's ("No such file or directory (os error 2)"), a fixed one (a NUL
// byte in the path, a write that took zero bytes, running out of memory),
// or the decoder's message together with the offset of the value it failed
// on. message() is the text the caller sees: the stage's fixed prefix, then
// the detail; it is the only place the prefixes are attached.
//
//   Create   the file can't be opened for saving, or no temporary file can
//             be created: nothing was touched
//   Write    writing, syncing, closing or renaming failed: the target holds
//             its previous contents, unless an in-place write had begun
//   Open     the file can't be opened for loading
//   Read     reading its bytes failed
//   Decode   its bytes are not a snapshot
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace tavrik {

enum class SnapshotStage { Create, Write, Open, Read, Decode };

// The detail of a failure for want of memory for the file's contents.
inline constexpr const char* kOutOfMemoryDetail = "out of memory";

inline constexpr std::string_view kCreateFailed = "Failed to create snapshot file: ";
inline constexpr std::string_view kWriteFailed = "Failed to write serialized bytes to disk: ";
inline constexpr std::string_view kOpenFailed = "Failed to open snapshot file: ";
inline constexpr std::string_view kReadFailed = "Failed to read snapshot file bytes: ";
inline constexpr std::string_view kDecodeFailed =
    "Postcard binary deserialization pipeline failure (possible corruption): ";

class SnapshotStatus {
 public:
  static SnapshotStatus ok() { return SnapshotStatus(); }
  static SnapshotStatus failure(SnapshotStage stage, std::string detail,
                                std::size_t offset = 0) {
    return SnapshotStatus(stage, std::move(detail), offset);
  }

  bool is_ok() const { return ok_; }
  // The rest describe a failure.
  SnapshotStage stage() const { return stage_; }
  const std::string& detail() const { return detail_; }
  // Decode: where the value the decoder failed on starts; else 0.
  std::size_t offset() const { return offset_; }
  // The stage's prefix followed by the detail; empty on success.
  std::string message() const;

 private:
  SnapshotStatus() = default;
  SnapshotStatus(SnapshotStage stage, std::string detail, std::size_t offset)
      : detail_(std::move(detail)), offset_(offset), stage_(stage), ok_(false) {}

  std::string detail_;
  std::size_t offset_ = 0;
  SnapshotStage stage_ = SnapshotStage::Create;
  bool ok_ = true;
};

}  // namespace tavrik
