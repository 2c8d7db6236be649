#include "storage/snapshot/background_writer.h"

#include <new>
#include <utility>

#include "storage/snapshot/file_replace.h"
#include "storage/snapshot/quiet_thread.h"

namespace tavrik {

BackgroundWriter::BackgroundWriter(int fd, std::size_t length) : fd_(fd) {
  if (length < kThreadFromBytes) return;
  thread_ = start_quiet_thread([this] { run(); });  // none: write() writes each piece
}

void BackgroundWriter::write(FileBytes& piece) {
  if (!thread_.joinable()) {
    if (status_.is_ok()) status_ = write_all(fd_, piece);
    piece.clear();
    return;
  }
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !has_waiting_; });
  waiting_.swap(piece);
  has_waiting_ = true;
  if (piece.capacity() == 0) piece.swap(spare_);
  piece.clear();
  changed_.notify_all();
}

SnapshotStatus BackgroundWriter::finish() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  if (short_of_memory_ && status_.is_ok()) {
    status_ = SnapshotStatus::failure(SnapshotStage::Write, kOutOfMemoryDetail);
  }
  return status_;
}

void BackgroundWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return has_waiting_ || closing_; });
    if (!has_waiting_) return;
    FileBytes piece;
    piece.swap(waiting_);
    has_waiting_ = false;
    const bool failed = !status_.is_ok() || short_of_memory_;
    changed_.notify_all();
    lock.unlock();
    // A failure's message is made here; where that finds no memory, the
    // failure is told by finish() instead of ending the process.
    SnapshotStatus written = SnapshotStatus::ok();
    bool short_of_memory = false;
    try {
      if (!failed) written = write_all(fd_, piece);
    } catch (const std::bad_alloc&) {
      short_of_memory = true;
    }
    piece.clear();
    lock.lock();
    if (short_of_memory) short_of_memory_ = true;
    if (!written.is_ok()) status_ = std::move(written);
    if (spare_.capacity() < piece.capacity()) spare_.swap(piece);
  }
}

}  // namespace tavrik
