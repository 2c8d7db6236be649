#include "storage/segment/segment.h"

namespace tavrik {

Status Segment::save_to_disk(const std::string&) const {
  return Status::error("not built yet");
}

Status Segment::load_from_disk(const std::string&) {
  return Status::error("not built yet");
}

}  // namespace tavrik
