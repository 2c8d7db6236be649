// ScoredId: a graph node's id with its cosine distance to the query, the
// unit that the query-time search keeps in its candidate and result lists.
#pragma once

#include <cstdint>

namespace tavrik {

struct ScoredId {
  float distance;
  std::uint64_t id;
};

}  // namespace tavrik
