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
  changed_.wait(lock, [this] { return ready_count_ > 0 || ended_; });
  return ready_count_ > 0;
}

void BackgroundReader::reuse(FileBytes&& piece) {
  if (piece.capacity() >= kBufferBytes && spare_count_ < kPiecesAhead) {
    spare_[spare_count_++] = std::move(piece);
  }
}

FileBytes BackgroundReader::pop_front() {
  FileBytes piece = std::move(front());
  first_ready_ = (first_ready_ + 1) % kPiecesAhead;
  --ready_count_;
  front_used_ = 0;
  changed_.notify_all();
  return piece;
}

std::size_t BackgroundReader::read_here(std::span<std::uint8_t> into) {
  if (input_ended_ || into.empty()) return 0;
  const std::size_t got = read_once(fd_, into, error_);
  if (got == 0) input_ended_ = true;
  return got;
}

std::size_t BackgroundReader::read(std::span<std::uint8_t> into) {
  if (!thread_.joinable() || into.empty()) return read_here(into);
  std::unique_lock lock(mutex_);
  if (!wait_for_piece(lock)) {
    // The thread has stopped: at the input's end, or short of memory for
    // a piece, and then the rest is read here.
    lock.unlock();
    return read_here(into);
  }
  const FileBytes& piece = front();
  const std::size_t offset = kPieceLead + front_used_;
  const std::size_t count = std::min(into.size(), piece.size() - offset);
  std::copy_n(piece.data() + offset, count, into.data());
  front_used_ += count;
  if (offset + count == piece.size()) reuse(pop_front());
  return count;
}

bool BackgroundReader::take_piece(FileBytes& piece) {
  if (!thread_.joinable()) return false;
  std::unique_lock lock(mutex_);
  if (!wait_for_piece(lock)) return false;
  if (front_used_ > 0) {
    // read() has copied out the piece's first bytes: the rest moves up.
    FileBytes& first = front();
    const std::size_t rest = first.size() - kPieceLead - front_used_;
    std::memmove(first.data() + kPieceLead, first.data() + kPieceLead + front_used_, rest);
    first.resize(kPieceLead + rest);
  }
  reuse(std::move(piece));
  piece = pop_front();
  return true;
}

void BackgroundReader::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ready_count_ < kPiecesAhead || closing_; });
    if (closing_) return;
    FileBytes piece;
    if (spare_count_ > 0) piece = std::move(spare_[--spare_count_]);
    lock.unlock();
    int error = 0;
    std::size_t got = 0;
    bool made = true;
    try {
      piece.resize(kBufferBytes);  // unset bytes: the read writes them
    } catch (const std::bad_alloc&) {
      made = false;
    }
    if (made) got = read_once(fd_, {piece.data() + kPieceLead, kPieceBytes}, error);
    lock.lock();
    if (got == 0) {
      error_ = error;
      input_ended_ = made;
      ended_ = true;
      changed_.notify_all();
      return;
    }
    piece.resize(kPieceLead + got);  // smaller: no allocation
    ready_[(first_ready_ + ready_count_++) % kPiecesAhead] = std::move(piece);
    changed_.notify_all();
  }
}

}  // namespace tavrik
