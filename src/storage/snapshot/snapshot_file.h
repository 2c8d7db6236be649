// Snapshot files: reading and writing their whole contents.
//
// Every failure is a SnapshotStatus (snapshot_status.h): the stage that
// failed and a detail, either the operating system's ("No such file or
// directory (os error 2)") or a fixed one (a NUL byte in the path, a write
// that took zero bytes, running out of memory for the file's contents).
//
// Saving replaces the file crash-safely where it can be replaced through
// its directory (see file_replace.h): whatever happens, the path holds
// either the previous snapshot or the new one. Elsewhere it is written in
// place, with its space reserved first.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "storage/snapshot/file_bytes.h"
#include "storage/snapshot/snapshot_status.h"

namespace tavrik {

inline constexpr const char* kOutOfMemoryDetail = "out of memory";

// Replaces the file at `path` by exactly `bytes`. Failures are at Create
// (nothing was created or changed) or Write.
SnapshotStatus write_snapshot_file(const std::string& path, std::span<const std::uint8_t> bytes);

// Reads the whole file at `path` into `bytes` (replacing its contents).
// Failures are at Open or Read; a directory opens and then fails reading
// with EISDIR.
SnapshotStatus read_snapshot_file(const std::string& path, FileBytes& bytes);

}  // namespace tavrik
