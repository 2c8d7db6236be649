// Reading a snapshot entry by entry, in file order: the one decoder of the
// snapshot format (see snapshot_codec.h for the layout). decode_snapshot
// builds its tables from it; tools that only look at a snapshot read it the
// same way, entry by entry, without building them.
//
// The caller reads the sections in file order:
//   read_count               the point table's entry count, then
//   read_point               that many times;
//   read_index_header        the graph's parameters, entry point, top layer
//                            and node count, then
//   read_node                that many times.
// Every read returns false once an error is set; error() then holds it and
// error_offset() the offset of the first byte of the value that could not
// be read. Entries are handed over as they are in the file: no check of
// meaning, duplicates included.
//
// Never trusts a count for memory: a list or map inside an entry reserves
// at most about 1 MiB worth of elements before they actually decode.
//
// A reader over a ByteSource holds only a window of the input: each entry
// is read from the window, which is refilled from the source when little
// of it is left. An entry that runs past the window's end is read again,
// from its first byte, once the window holds more of it (twice as much,
// at most the rest of the input), so every entry, error and offset is the
// same as with the whole input in memory: an entry fails at the end of the
// input only once the window holds all the rest of it, and at any other
// error as soon as it is met. The window is as large as the largest entry
// needs while that entry is read, and otherwise 256 KiB, or, from a source
// that hands over pieces it has read ahead, one such piece with the bytes
// kept from the window before put in front of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/vector/point.h"
#include "core/vector/vector_arena.h"
#include "index/hnsw/hnsw_index.h"
#include "storage/snapshot/file_bytes.h"
#include "storage/snapshot/wire_format.h"

namespace tavrik {

// Upper bound on what a count read from the input may reserve up front.
inline constexpr std::size_t kReserveBudgetBytes = 1'048'576;

// How many entries of `entry_bytes` each a table announced with `count`
// entries may reserve when `remaining` input bytes are left: the budget
// grows to the bytes still to read, so a table never reserves more memory
// than the input it is read from, and an honest table is sized once.
std::size_t reservable_table_entries(std::uint64_t count, std::size_t remaining,
                                     std::size_t entry_bytes);

// The graph's record, without its nodes.
struct IndexHeader {
  std::uint64_t m = 0;
  std::uint64_t ef_construction = 0;
  std::uint64_t ef_search = 0;
  std::optional<std::uint64_t> entry_point;
  std::uint64_t max_level = 0;
  std::uint64_t node_count = 0;  // as announced
};

// The input of a reader that reads it a window at a time.
class ByteSource {
 public:
  // The bytes a handed-over piece leaves free before its own (take_piece).
  static constexpr std::size_t kPieceLead = std::size_t{64} << 10;

  virtual ~ByteSource() = default;
  // Reads at most into.size() bytes into `into` and says how many; 0 at
  // the end of the input, and from then on (a source that fails ends there).
  virtual std::size_t read(std::span<std::uint8_t> into) = 0;

  // For a source that reads ahead into buffers of its own, so that the
  // reader takes them as they are instead of having them copied: replaces
  // `piece` by a buffer whose bytes from kPieceLead on are the input's next
  // bytes (at least one; read() goes on after them), and whose first
  // kPieceLead bytes are the caller's to write. The buffer `piece` held is
  // the source's to reuse. False, with `piece` left as it was, where the
  // source hands over no pieces or has none left: read() then tells.
  virtual bool take_piece(FileBytes& /*piece*/) { return false; }
};

class SnapshotReader {
 public:
  // Reads `bytes`, the whole input.
  explicit SnapshotReader(std::span<const std::uint8_t> bytes)
      : in_(bytes), size_(bytes.size()), window_length_(bytes.size()) {}
  // Reads from `source`, which must outlive the reader. `size` is the
  // input's length as far as it is known; tables reserve room from it as
  // they do from the bytes left of a whole input.
  SnapshotReader(ByteSource& source, std::size_t size);

  // The point table's entry count, as announced.
  bool read_count(std::uint64_t& count);

  // One point entry: its key and id, then the point, whose vector goes into
  // a new block of `arena` (give the old one back first to have it reused).
  // Every field of `point` is replaced, the squared norm by the unknown
  // pattern; a payload map it already holds is emptied and refilled rather
  // than made anew.
  bool read_point(VectorArena& arena, std::uint64_t& key, std::uint64_t& id, Point& point);

  bool read_index_header(IndexHeader& header);

  // One node entry: its key, its id, then its lists.
  bool read_node(std::uint64_t& key, std::uint64_t& id, HNSWNode& node);

  // The same entry as its lists alone: layer k's ids are the next counts[k]
  // of `ids` (which is replaced).
  bool read_node_lists(std::uint64_t& key, std::uint64_t& id, std::size_t (&counts)[MAX_LAYERS],
                       std::vector<std::uint64_t>& ids);

  // Bytes read so far; after the last node, where ignored bytes start.
  std::size_t offset() const { return base_ + window_length_ - in_.remaining(); }
  // Bytes not read yet (from a source: as its announced size tells).
  std::size_t remaining() const {
    return source_ == nullptr ? in_.remaining() : (size_ > offset() ? size_ - offset() : 0);
  }

  WireError error() const { return in_.error(); }
  // True when a read from a source failed because the window could not
  // grow: memory ran out, and the error is the end of input it made.
  bool out_of_memory() const { return out_of_memory_; }
  std::string_view error_message() const { return wire_error_message(in_.error()); }
  std::size_t error_offset() const {
    return in_.error() == WireError::None ? 0 : base_ + in_.error_offset();
  }

 private:
  // Runs `read`, an entry's decoding from the window, and again from the
  // entry's first byte while it fails short of the input's end (`retry`
  // undoes what a failed attempt kept before each new one).
  template <class Read, class Retry>
  bool entry(Read read, Retry retry);
  // Keeps the window's bytes from `keep_from` on, at its front, and fills
  // it from the source up to `capacity` bytes or the input's end.
  // Sets out_of_memory() and ends the input where the window can't be made.
  void refill(std::size_t keep_from, std::size_t capacity);
  // The same for a window of the usual size, from a piece the source hands
  // over, the kept bytes put before it: false where the source has none or
  // they would not fit.
  bool refill_from_piece(std::size_t keep_from, std::size_t capacity);
  // The window for an entry that spans the `kept` bytes held and more.
  std::size_t larger_window(std::size_t kept) const;

  WireReader in_;
  std::size_t size_;
  ByteSource* source_ = nullptr;    // absent: in_ reads the whole input
  FileBytes window_;                // from a source: the bytes in_ reads, and room
  std::size_t window_start_ = 0;    // where in window_ those bytes start
  std::size_t window_length_ = 0;   // the bytes in_ reads (a whole input: all)
  FileBytes spare_;                 // the window before the last piece, to give back
  std::size_t base_ = 0;            // the input offset of in_'s first byte
  bool source_ended_ = true;        // the source has nothing more to give
  bool out_of_memory_ = false;
  std::vector<std::uint64_t> ids_;  // scratch for one node's lists
};

}  // namespace tavrik
