// The snapshot byte format: one value in a compact, self-delimiting binary
// encoding, holding the point table and then the whole graph index.
//
//   points           map: varint key -> Point
//     Point          varint id, list<f32> vector, option<map<string, PayloadValue>>
//   m, ef_construction, ef_search   varints
//   entry_point      option<varint>
//   max_level        varint
//   nodes            map: varint key -> HNSWNode (varint id, 16 lists of varint ids)
//
// Varints are unsigned LEB128 (at most 10 bytes); signed integers are zigzag
// varints; floats are little-endian IEEE bits; strings, lists and maps carry
// a varint count; an option is a 0x00/0x01 byte; an enum is a varint
// discriminant; fixed arrays and records carry no count. No magic, version or
// checksum: a file is a snapshot when it decodes. Bytes after the value are
// ignored. Map entries are written in table order and read in any order; a
// key met twice keeps the later entry. No check of meaning is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/vector/point_table.h"
#include "core/vector/vector_arena.h"
#include "index/hnsw/hnsw_index.h"
#include "storage/snapshot/file_bytes.h"
#include "storage/snapshot/snapshot_reader.h"
#include "storage/snapshot/snapshot_status.h"

namespace tavrik {

// Receives an encoding piece by piece, in order.
class SnapshotSink {
 public:
  virtual ~SnapshotSink() = default;
  // Takes the bytes of `piece`, which must come back empty (any buffer it
  // then holds is filled next).
  virtual void take(FileBytes& piece) = 0;
};

// Pieces handed to a sink hold at least this many bytes, all but the last.
inline constexpr std::size_t kSnapshotPieceBytes = std::size_t{1} << 18;

// The length of the tables' encoding, counted without encoding them.
std::size_t encoded_snapshot_size(const PointTable& points, const HNSWIndex& index);

// Encodes the tables into `sink`, in pieces that end where an entry ends.
void encode_snapshot(const PointTable& points, const HNSWIndex& index, SnapshotSink& sink);

struct DecodedSnapshot {
  // The points' vectors live here; declared first, so it goes last.
  VectorArena vectors;
  PointTable points;
  HNSWIndex index;
};

// Decodes `bytes` into `into`, which must be empty (default-constructed).
// A failure is at Decode, its detail the decoder's message and its offset
// where the value it failed on starts; `into` is then partly filled and is
// to be discarded.
//
// Reads the entries with a SnapshotReader (snapshot_reader.h), so it never
// trusts a count for memory: before the entries decode it reserves no more
// of them than the count says, and no more bytes of them than the larger
// of 1 MiB and the input still unread.
SnapshotStatus decode_snapshot(std::span<const std::uint8_t> bytes, DecodedSnapshot& into);

// The same, reading from `source` a window at a time (see SnapshotReader),
// with `size` the input's length as far as it is known: the same tables,
// failures and offsets as decoding the whole input at once, where the
// source ends after `size` bytes. A source that fails ends its input.
// Where memory runs out for the window, the failure is at Read with
// kOutOfMemoryDetail.
SnapshotStatus decode_snapshot(ByteSource& source, std::size_t size, DecodedSnapshot& into);

}  // namespace tavrik
