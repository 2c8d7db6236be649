// The whole encoding of a snapshot in one buffer, for tests and fuzzers that
// compare or decode it: the pieces the encoder hands out, joined in order.
// And the decoding of such a buffer as a file's is decoded, read a few
// bytes at a time.
#pragma once

#include <algorithm>
#include <cstring>
#include <span>

#include "storage/snapshot/snapshot_codec.h"

namespace tavrik {

inline FileBytes encode_snapshot(const PointTable& points, const HNSWIndex& index) {
  struct Joined final : SnapshotSink {
    FileBytes bytes;
    void take(FileBytes& piece) override {
      bytes.insert(bytes.end(), piece.begin(), piece.end());
      piece.clear();
    }
  } joined;
  encode_snapshot(points, index, joined);
  return std::move(joined.bytes);
}

// Hands out `bytes` at most `chunk` bytes per read, counting what it gave.
struct ChunkedSource final : ByteSource {
  ChunkedSource(std::span<const std::uint8_t> bytes, std::size_t chunk)
      : rest(bytes), chunk(chunk) {}
  std::size_t read(std::span<std::uint8_t> out) override {
    const std::size_t count = std::min({out.size(), chunk, rest.size()});
    if (count > 0) std::memcpy(out.data(), rest.data(), count);
    rest = rest.subspan(count);
    handed += count;
    return count;
  }
  std::span<const std::uint8_t> rest;
  std::size_t chunk;
  std::size_t handed = 0;
};

// Hands out `bytes` as pieces of at most `chunk` bytes (take_piece), but
// refuses every third piece, so that the reader reads those bytes instead.
struct PieceSource final : ByteSource {
  PieceSource(std::span<const std::uint8_t> bytes, std::size_t chunk) : chunks(bytes, chunk) {}
  std::size_t read(std::span<std::uint8_t> out) override { return chunks.read(out); }
  bool take_piece(FileBytes& piece) override {
    if (chunks.rest.empty() || ++asked % 3 == 0) return false;
    FileBytes fresh;
    fresh.swap(spare);
    fresh.resize(kPieceLead + std::min(chunks.chunk, chunks.rest.size()));  // lead left unset
    fresh.resize(kPieceLead + chunks.read({fresh.data() + kPieceLead, fresh.size() - kPieceLead}));
    piece.swap(fresh);
    spare.swap(fresh);  // the buffer handed back, for the next piece
    return true;
  }
  ChunkedSource chunks;  // the bytes, a chunk at a time
  std::size_t asked = 0;
  FileBytes spare;
};

// Decodes `bytes` from a source that hands out at most `chunk` bytes per
// read (a file's length known, as for a regular file).
inline SnapshotStatus decode_snapshot_in_chunks(std::span<const std::uint8_t> bytes,
                                                std::size_t chunk, DecodedSnapshot& into) {
  ChunkedSource source(bytes, chunk);
  return decode_snapshot(source, bytes.size(), into);
}

// The same from a source that hands over pieces of at most `chunk` bytes.
inline SnapshotStatus decode_snapshot_in_pieces(std::span<const std::uint8_t> bytes,
                                                std::size_t chunk, DecodedSnapshot& into) {
  PieceSource source(bytes, chunk);
  return decode_snapshot(source, bytes.size(), into);
}

}  // namespace tavrik
