#include "index/hnsw/hnsw_index.h"

#include <utility>

namespace tavrik {

void NodeTable::put(std::uint64_t key, HNSWNode node) {
  map_.insert_or_assign(key, std::move(node));
  if (!largest_id_ || key > *largest_id_) largest_id_ = key;
}

}  // namespace tavrik
