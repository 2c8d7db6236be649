#include "storage/snapshot/snapshot_status.h"

namespace tavrik {
namespace {

std::string_view prefix_of(SnapshotStage stage) {
  switch (stage) {
    case SnapshotStage::kCreate: return kCreateFailed;
    case SnapshotStage::kWrite: return kWriteFailed;
    case SnapshotStage::kOpen: return kOpenFailed;
    case SnapshotStage::kRead: return kReadFailed;
    case SnapshotStage::kDecode: return kDecodeFailed;
  }
  return {};
}

}  // namespace

std::string SnapshotStatus::message() const {
  if (ok_) return {};
  std::string text(prefix_of(stage_));
  text += detail_;
  return text;
}

}  // namespace tavrik
