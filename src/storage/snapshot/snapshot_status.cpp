#include "storage/snapshot/snapshot_status.h"

namespace tavrik {
namespace {

std::string_view prefix_of(SnapshotStage stage) {
  switch (stage) {
    case SnapshotStage::Create: return kCreateFailed;
    case SnapshotStage::Write: return kWriteFailed;
    case SnapshotStage::Open: return kOpenFailed;
    case SnapshotStage::Read: return kReadFailed;
    case SnapshotStage::Decode: return kDecodeFailed;
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
