#include "index/hnsw/hnsw_index.h"

#include <utility>

namespace tavrik {

void NodeTable::put(std::uint64_t key, std::uint64_t id, HNSWNode node) {
  map_.insert_or_assign(key, std::move(node));
  ids_.set(key, id);
  if (!largest_id_ || key > *largest_id_) largest_id_ = key;
}

}  // namespace tavrik
