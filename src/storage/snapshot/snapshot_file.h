// Snapshot files: writing the tables out and reading a whole file back.
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
#include <string>

#include "core/vector/point_table.h"
#include "index/hnsw/hnsw_index.h"
#include "storage/snapshot/file_bytes.h"
#include "storage/snapshot/snapshot_codec.h"
#include "storage/snapshot/snapshot_status.h"

namespace tavrik {

// Replaces the file at `path` by the snapshot of the tables, which must not
// change meanwhile. Failures are at Create (nothing was created or changed)
// or Write. The snapshot is encoded piece by piece while a second thread
// writes the pieces before, so it is never held whole in memory.
SnapshotStatus write_snapshot_file(const std::string& path, const PointTable& points,
                                   const HNSWIndex& index);

// Decodes the snapshot file at `path` into `into`, which must be empty
// (see decode_snapshot). Failures are at Open or Read (a directory opens
// and then fails reading with EISDIR), or at Decode; `into` is then to be
// discarded. A file whose length is known is read a window at a time as
// it decodes (a window as large as its largest entry needs), and bytes
// after the snapshot are not read, so a read error there goes unseen; a
// pipe or device is read whole first.
SnapshotStatus load_snapshot_file(const std::string& path, DecodedSnapshot& into);

// Reads the whole file at `path` into `bytes` (replacing its contents).
// Failures are at Open or Read; a directory opens and then fails reading
// with EISDIR.
SnapshotStatus read_snapshot_file(const std::string& path, FileBytes& bytes);

}  // namespace tavrik
