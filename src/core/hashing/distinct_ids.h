// The ids of a table's entries whose id is not their key.
//
// Every entry of a point or node table has an id, which equals its key for
// everything made in this process; a loaded snapshot may hold entries whose
// id differs. Only those are kept here, so that an entry costs no id of its
// own and saving again writes every id back unchanged.
#pragma once

#include <cstdint>

#include "core/hashing/flat_id_map.h"

namespace tavrik {

class DistinctIds {
 public:
  // The id of the entry stored under `key`.
  std::uint64_t id_of(std::uint64_t key) const {
    if (ids_.empty()) return key;
    const std::uint64_t* other = ids_.lookup(key);
    return other ? *other : key;
  }

  // Records that the entry under `key` now has the id `id`.
  void set(std::uint64_t key, std::uint64_t id) {
    if (id != key) {
      ids_.insert_or_assign(key, id);
    } else if (!ids_.empty()) {
      ids_.erase(key);
    }
  }

 private:
  FlatIdMap<std::uint64_t> ids_;  // key -> id, where they differ
};

}  // namespace tavrik
