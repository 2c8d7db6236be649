#include "index/hnsw/hnsw_index.h"

#include <utility>

namespace tavrik {

const HNSWNode* NodeTable::find(std::uint64_t id) const {
  return map_.lookup(id);
}

HNSWNode* NodeTable::find(std::uint64_t id) {
  return map_.lookup(id);
}

void NodeTable::put(std::uint64_t key, HNSWNode node) {
  map_.insert_or_assign(key, std::move(node));
  if (!largest_id_ || key > *largest_id_) largest_id_ = key;
}

}  // namespace tavrik
