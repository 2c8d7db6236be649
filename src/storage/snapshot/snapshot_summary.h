// What a snapshot file holds and what in it is suspect, read with the
// snapshot decoder (snapshot_reader.h) but without building a store.
//
// The point figures describe the table load would build: a key met twice
// counts once, as its later entry. The graph figures describe the node
// table the same way. Findings come in file order (by offset):
//   - an error: the decoder's message, where load rejects the file; the
//     summary then holds nothing else;
//   - warnings for what loads but is suspect: a key met twice, a point or
//     node whose own id differs from its key, a graph without an entry
//     point or whose entry point has no node, a top layer above 15, a node
//     with links above the top layer, and each link to an id that has no
//     point or no node.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index/hnsw/neighbor_lists.h"
#include "storage/snapshot/snapshot_reader.h"
#include "storage/snapshot/snapshot_status.h"

namespace tavrik {

struct SnapshotFinding {
  bool error = false;  // load rejects the file
  // Where the value (for an error) or the entry concerned starts; graph-wide
  // findings point at the graph's record.
  std::size_t offset = 0;
  std::string message;
};

// Payload values of one key, counted per variant (index as in PayloadValue).
using KindCounts = std::array<std::uint64_t, 4>;

struct SnapshotSummary {
  bool decoded = false;
  std::size_t file_bytes = 0;
  std::size_t trailing_bytes = 0;  // after the snapshot, ignored by load

  std::uint64_t points = 0;
  std::map<std::uint64_t, std::uint64_t> vector_lengths;  // length -> points
  std::map<std::string, std::uint64_t> tenants;           // tenant -> points
  std::map<std::string, KindCounts> payload_keys;         // key -> points per kind

  IndexHeader graph;  // node_count: as announced in the file
  std::uint64_t nodes = 0;
  std::array<std::uint64_t, MAX_LAYERS> links_per_layer{};
  std::vector<std::uint64_t> linked_without_point;  // ascending, each once
  std::vector<std::uint64_t> linked_without_node;

  std::vector<SnapshotFinding> findings;
};

SnapshotSummary summarize_snapshot(std::span<const std::uint8_t> bytes);

// Reads the file at `path` and summarizes it. The file failures are
// load's (Open, Read); a file that does not decode is summarized (its
// error finding), not an error here.
SnapshotStatus summarize_snapshot_file(const std::string& path, SnapshotSummary& summary);

}  // namespace tavrik
