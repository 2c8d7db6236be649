#include "storage/snapshot/background_writer.h"

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
    const bool failed = !status_.is_ok();
    changed_.notify_all();
    lock.unlock();
    SnapshotStatus written = failed ? SnapshotStatus::ok() : write_all(fd_, piece);
    piece.clear();
    lock.lock();
    if (!written.is_ok()) status_ = std::move(written);
    if (spare_.capacity() < piece.capacity()) spare_.swap(piece);
  }
}

}  // namespace tavrik
