#include "storage/snapshot/snapshot_summary.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/hashing/flat_id_map.h"
#include "storage/snapshot/file_bytes.h"
#include "storage/snapshot/snapshot_file.h"

namespace tavrik {
namespace {

constexpr std::uint32_t kNoTenant = std::numeric_limits<std::uint32_t>::max();

// What one point of the table contributes to the figures, kept per key so
// that a later entry under the same key can take its place.
struct PointRecord {
  std::uint64_t length = 0;
  std::uint32_t tenant = kNoTenant;
  std::uint32_t shape = 0;
};

// How many links are looked up ahead of the one being settled: each
// lookup's table entries are requested when the link is queued.
constexpr std::size_t kLinksAhead = 16;

struct Link {
  std::uint64_t id = 0;
  std::uint64_t node = 0;
  std::size_t offset = 0;  // the node entry's
  std::size_t layer = 0;
};

// Texts handed out as small numbers, each with a count of the points using it.
struct Interned {
  std::unordered_map<std::string, std::uint32_t> numbers;
  std::vector<std::string> texts;
  std::vector<std::uint64_t> counts;

  std::uint32_t number_of(const std::string& text) {
    const auto found = numbers.find(text);
    if (found != numbers.end()) return found->second;
    const auto number = static_cast<std::uint32_t>(texts.size());
    numbers.emplace(text, number);
    texts.push_back(text);
    counts.push_back(0);
    return number;
  }
};

std::string text(std::uint64_t number) { return std::to_string(number); }

class Summarizer {
 public:
  Summarizer(std::span<const std::uint8_t> bytes, SnapshotSummary& out)
      : in_(bytes), out_(out) {
    out_.file_bytes = bytes.size();
  }

  void run() {
    if (!read_points() || !read_graph()) {
      const SnapshotFinding error{true, in_.error_offset(), std::string(in_.error_message())};
      const std::size_t file_bytes = out_.file_bytes;
      out_ = SnapshotSummary{};
      out_.file_bytes = file_bytes;
      out_.findings.push_back(error);
      return;
    }
    out_.decoded = true;
    out_.trailing_bytes = in_.remaining();
    tally_points();
    check_graph();
    std::stable_sort(out_.findings.begin(), out_.findings.end(),
                     [](const auto& a, const auto& b) { return a.offset < b.offset; });
  }

 private:
  void warn(std::size_t offset, std::string message) {
    out_.findings.push_back({false, offset, std::move(message)});
  }

  // The payload's keys and kinds as one text, the same for equal shapes.
  const std::string& shape_text(const Point& point) {
    entries_.clear();
    shape_.clear();
    if (!point.payload) return shape_;
    shape_.push_back('+');  // present (an empty payload still differs from none)
    for (const auto& [key, value] : *point.payload) entries_.emplace_back(key, value.index());
    std::sort(entries_.begin(), entries_.end());
    for (const auto& [key, kind] : entries_) {
      const std::uint64_t length = key.size();
      shape_.push_back(static_cast<char>('0' + kind));
      shape_.append(reinterpret_cast<const char*>(&length), sizeof length);
      shape_.append(key);
    }
    return shape_;
  }

  std::uint32_t tenant_of(const Point& point) {
    if (!point.payload) return kNoTenant;
    const auto found = point.payload->find(tenant_key_);
    if (found == point.payload->end()) return kNoTenant;
    const std::string* tenant = text_of(found->second);
    return tenant == nullptr ? kNoTenant : tenants_.number_of(*tenant);
  }

  bool read_points() {
    std::uint64_t count = 0;
    if (!in_.read_count(count)) return false;
    records_.reserve(reservable_table_entries(count, in_.remaining(),
                                              sizeof(FlatIdMap<PointRecord>::value_type)));
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::size_t offset = in_.offset();
      std::uint64_t key = 0;
      std::uint64_t id = 0;
      Point& point = point_;
      if (!in_.read_point(arena_, key, id, point)) return false;
      if (id != key) warn(offset, "point under key " + text(key) + " holds the id " + text(id));
      PointRecord record{point.vector.size(), tenant_of(point),
                         shapes_.number_of(shape_text(point))};
      arena_.give_back(point.vector);
      ++shapes_.counts[record.shape];
      if (record.tenant != kNoTenant) ++tenants_.counts[record.tenant];
      ++out_.vector_lengths[record.length];
      auto [slot, added] = records_.emplace(key, record);
      if (!added) {
        warn(offset, "point key " + text(key) + " occurs again; load keeps this later entry");
        const PointRecord& earlier = slot->second;
        --shapes_.counts[earlier.shape];
        if (earlier.tenant != kNoTenant) --tenants_.counts[earlier.tenant];
        --out_.vector_lengths[earlier.length];
        slot->second = record;
      }
    }
    return true;
  }

  // Each node goes into links_ as [key][offset][layers][count of each
  // layer][ids of layer 0, then 1, ...], up to its highest non-empty layer;
  // node_start_ knows where the entry that load keeps begins.
  bool read_graph() {
    graph_offset_ = in_.offset();
    if (!in_.read_index_header(out_.graph)) return false;
    node_start_.reserve(reservable_table_entries(out_.graph.node_count, in_.remaining(),
                                                 sizeof(FlatIdMap<std::size_t>::value_type)));
    std::vector<std::uint64_t> ids;
    for (std::uint64_t i = 0; i < out_.graph.node_count; ++i) {
      const std::size_t offset = in_.offset();
      std::uint64_t key = 0;
      std::uint64_t id = 0;
      std::size_t counts[MAX_LAYERS] = {};
      if (!in_.read_node_lists(key, id, counts, ids)) return false;
      if (id != key) warn(offset, "node under key " + text(key) + " holds the id " + text(id));
      const std::size_t start = links_.size();
      if (std::size_t* earlier = node_start_.lookup(key)) {
        warn(offset, "node key " + text(key) + " occurs again; load keeps this later entry");
        superseded_.emplace(*earlier, 0);
        *earlier = start;
      } else {
        node_start_.emplace(key, start);
      }
      std::size_t layers = MAX_LAYERS;
      while (layers > 0 && counts[layers - 1] == 0) --layers;
      links_.insert(links_.end(), {key, offset, layers});
      links_.insert(links_.end(), counts, counts + layers);
      links_.insert(links_.end(), ids.begin(), ids.end());
    }
    return true;
  }

  void tally_points() {
    out_.points = records_.size();
    std::erase_if(out_.vector_lengths, [](const auto& entry) { return entry.second == 0; });
    for (std::size_t t = 0; t < tenants_.texts.size(); ++t) {
      if (tenants_.counts[t] > 0) out_.tenants[tenants_.texts[t]] = tenants_.counts[t];
    }
    for (std::size_t s = 0; s < shapes_.texts.size(); ++s) {
      if (shapes_.counts[s] == 0) continue;
      std::string_view rest(shapes_.texts[s]);
      if (rest.empty()) continue;
      rest.remove_prefix(1);
      while (!rest.empty()) {
        const auto kind = static_cast<std::size_t>(rest[0] - '0');
        std::uint64_t length = 0;
        std::memcpy(&length, rest.data() + 1, sizeof length);
        rest.remove_prefix(1 + sizeof length);
        out_.payload_keys[std::string(rest.substr(0, length))][kind] += shapes_.counts[s];
        rest.remove_prefix(length);
      }
    }
  }

  void check_graph() {
    const IndexHeader& graph = out_.graph;
    out_.nodes = node_start_.size();
    if (!graph.entry_point && out_.nodes > 0) {
      warn(graph_offset_, "the graph has " + text(out_.nodes) +
                              " nodes but no entry point, so every search scans all points");
    }
    if (graph.entry_point && node_start_.lookup(*graph.entry_point) == nullptr) {
      warn(graph_offset_, "the entry point " + text(*graph.entry_point) + " has no node");
    }
    if (graph.max_level >= MAX_LAYERS) {
      warn(graph_offset_, "the top layer " + text(graph.max_level) +
                              " is above the highest layer " + text(MAX_LAYERS - 1));
    }
    check_links();
    for (const auto& [id, unused] : without_point_) out_.linked_without_point.push_back(id);
    for (const auto& [id, unused] : without_node_) out_.linked_without_node.push_back(id);
    std::sort(out_.linked_without_point.begin(), out_.linked_without_point.end());
    std::sort(out_.linked_without_node.begin(), out_.linked_without_node.end());
  }

  // Every link of the nodes load keeps, in file order, looked up in both
  // tables kLinksAhead links after its entries were requested.
  void check_links() {
    std::vector<SnapshotFinding> above;
    std::array<Link, kLinksAhead> queue;
    std::size_t queued = 0;
    std::size_t at = 0;
    while (at < links_.size()) {
      const std::uint64_t key = links_[at];
      const auto offset = static_cast<std::size_t>(links_[at + 1]);
      const auto layers = static_cast<std::size_t>(links_[at + 2]);
      const bool kept = superseded_.empty() || superseded_.lookup(at) == nullptr;
      std::size_t next = at + 3 + layers;
      for (std::size_t layer = 0; layer < layers; ++layer) {
        const auto count = static_cast<std::size_t>(links_[at + 3 + layer]);
        const std::size_t first = next;
        next += count;
        if (!kept) continue;
        out_.links_per_layer[layer] += count;
        for (std::size_t i = first; i < next; ++i) {
          Link& link = queue[queued++ % kLinksAhead];
          if (queued > kLinksAhead) settle(link);
          link = Link{links_[i], key, offset, layer};
          records_.prefetch(link.id);
          node_start_.prefetch(link.id);
        }
      }
      if (kept && layers > 0 && layers - 1 > out_.graph.max_level) {
        above.push_back({false, offset, "node " + text(key) + " has links on layer " +
                                            text(layers - 1) + ", above the top layer " +
                                            text(out_.graph.max_level)});
      }
      at = next;
    }
    for (std::size_t i = queued > kLinksAhead ? queued - kLinksAhead : 0; i < queued; ++i) {
      settle(queue[i % kLinksAhead]);
    }
    out_.findings.insert(out_.findings.end(), above.begin(), above.end());
  }

  void settle(const Link& link) {
    const bool no_point = records_.lookup(link.id) == nullptr;
    const bool no_node = node_start_.lookup(link.id) == nullptr;
    if (!no_point && !no_node) return;
    if (no_point) without_point_.emplace(link.id, 0);
    if (no_node) without_node_.emplace(link.id, 0);
    const char* missing = no_point && no_node ? "no point and no node"
                          : no_point          ? "no point"
                                              : "no node";
    warn(link.offset, "node " + text(link.node) + " links on layer " + text(link.layer) + " to " +
                          text(link.id) + ", which has " + missing);
  }

  SnapshotReader in_;
  SnapshotSummary& out_;
  VectorArena arena_;
  Point point_;  // the point being read; declared after the arena that lends its vector
  FlatIdMap<PointRecord> records_;
  FlatIdMap<std::size_t> node_start_;  // node key -> where its kept entry starts in links_
  FlatIdMap<char> superseded_;         // starts of node entries a later one replaced
  std::vector<std::uint64_t> links_;
  FlatIdMap<char> without_point_;
  FlatIdMap<char> without_node_;
  Interned tenants_;
  Interned shapes_;
  std::vector<std::pair<std::string_view, std::size_t>> entries_;
  std::string shape_;
  const std::string tenant_key_{kTenantKey};
  std::size_t graph_offset_ = 0;
};

}  // namespace

SnapshotSummary summarize_snapshot(std::span<const std::uint8_t> bytes) {
  SnapshotSummary summary;
  Summarizer(bytes, summary).run();
  return summary;
}

SnapshotStatus summarize_snapshot_file(const std::string& path, SnapshotSummary& summary) {
  FileBytes bytes;
  if (SnapshotStatus read = read_snapshot_file(path, bytes); !read.is_ok()) return read;
  summary = summarize_snapshot(bytes);
  return SnapshotStatus::ok();
}

}  // namespace tavrik
