#include "storage/snapshot/background_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "storage/snapshot/quiet_thread.h"

namespace tavrik {
namespace {

constexpr std::size_t kBufferBytes = ByteSource::kPieceLead + BackgroundReader::kPieceBytes;

// One read of `fd`, retried when interrupted: the bytes read, 0 at the end
// of the file or on a failure, whose errno goes to `error`.
std::size_t read_once(int fd, std::span<std::uint8_t> into, int& error) {
  for (;;) {
    const ssize_t got = ::read(fd, into.data(), into.size());
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) {
      error = errno;
      return 0;
    }
  }
}

}  // namespace

BackgroundReader::BackgroundReader(int fd, std::size_t length) : fd_(fd) {
  if (length < kThreadFromBytes) return;
  thread_ = start_quiet_thread([this] { run(); });  // none: read() reads the descriptor
}

BackgroundReader::~BackgroundReader() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

int BackgroundReader::error() {
  std::lock_guard lock(mutex_);
  return error_;
}

bool BackgroundReader::wait_for_piece(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return !ready_.empty() || ended_; });
  return !ready_.empty();
}

void BackgroundReader::reuse(FileBytes&& piece) {
  if (piece.capacity() >= kBufferBytes && spare_.size() < kPiecesAhead) {
    spare_.push_back(std::move(piece));
  }
}

std::size_t BackgroundReader::read(std::span<std::uint8_t> into) {
  if (!thread_.joinable()) {
    if (ended_ || into.empty()) return 0;
    const std::size_t got = read_once(fd_, into, error_);
    if (got == 0) ended_ = true;
    return got;
  }
  std::unique_lock lock(mutex_);
  if (into.empty() || !wait_for_piece(lock)) return 0;
  FileBytes& front = ready_.front();
  const std::size_t offset = kPieceLead + front_used_;
  const std::size_t count = std::min(into.size(), front.size() - offset);
  std::copy_n(front.data() + offset, count, into.data());
  front_used_ += count;
  if (offset + count == front.size()) {
    reuse(std::move(front));
    ready_.pop_front();
    front_used_ = 0;
    changed_.notify_all();
  }
  return count;
}

bool BackgroundReader::take_piece(FileBytes& piece) {
  if (!thread_.joinable()) return false;
  std::unique_lock lock(mutex_);
  if (!wait_for_piece(lock)) return false;
  FileBytes& front = ready_.front();
  if (front_used_ > 0) {
    // read() has copied out the piece's first bytes: the rest moves up.
    const std::size_t rest = front.size() - kPieceLead - front_used_;
    std::memmove(front.data() + kPieceLead, front.data() + kPieceLead + front_used_, rest);
    front.resize(kPieceLead + rest);
    front_used_ = 0;
  }
  reuse(std::move(piece));
  piece = std::move(front);
  ready_.pop_front();
  changed_.notify_all();
  return true;
}

void BackgroundReader::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ready_.size() < kPiecesAhead || closing_; });
    if (closing_) return;
    FileBytes piece;
    if (!spare_.empty()) {
      piece = std::move(spare_.back());
      spare_.pop_back();
    }
    lock.unlock();
    int error = 0;
    std::size_t got = 0;
    try {
      piece.resize(kBufferBytes);  // unset bytes: the read writes them
      got = read_once(fd_, {piece.data() + kPieceLead, kPieceBytes}, error);
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    }
    lock.lock();
    if (got == 0) {
      error_ = error;
      ended_ = true;
      changed_.notify_all();
      return;
    }
    piece.resize(kPieceLead + got);
    ready_.push_back(std::move(piece));
    changed_.notify_all();
  }
}

}  // namespace tavrik
