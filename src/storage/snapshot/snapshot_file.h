// Snapshot files: the error texts of saving and loading, and the file I/O.
//
// Every failure is one text: a fixed prefix naming the step, then a detail,
// either the operating system's ("No such file or directory (os error 2)")
// or a fixed one (a NUL byte in the path, a write that took zero bytes,
// running out of memory for the file's contents).
//
// Saving replaces the file crash-safely where it can be replaced through
// its directory (see file_replace.h): whatever happens, the path holds
// either the previous snapshot or the new one. Elsewhere it is written in
// place, with its space reserved first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.h"
#include "storage/snapshot/file_bytes.h"

namespace tavrik {

inline constexpr std::string_view kCreateFailed = "Failed to create snapshot file: ";
inline constexpr std::string_view kEncodeFailed = "Postcard binary serialization pipeline failure: ";
inline constexpr std::string_view kWriteFailed = "Failed to write serialized bytes to disk: ";
inline constexpr std::string_view kOpenFailed = "Failed to open snapshot file: ";
inline constexpr std::string_view kReadFailed = "Failed to read snapshot file bytes: ";
inline constexpr std::string_view kDecodeFailed =
    "Postcard binary deserialization pipeline failure (possible corruption): ";

inline constexpr const char* kOutOfMemoryDetail = "out of memory";

// Replaces the file at `path` by exactly `bytes`. Errors carry kCreateFailed
// (nothing was created or changed) or kWriteFailed.
Status write_snapshot_file(const std::string& path, std::span<const std::uint8_t> bytes);

// Reads the whole file at `path` into `bytes` (replacing its contents).
// Errors carry kOpenFailed or kReadFailed; a directory opens and then fails
// reading with EISDIR.
Status read_snapshot_file(const std::string& path, FileBytes& bytes);

}  // namespace tavrik
