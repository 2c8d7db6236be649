// UniqueFd: sole owner of one open file descriptor.
//
// The descriptor is closed when the owner is destroyed or reset. Moving
// transfers ownership; copying is not allowed. close() closes at once and
// reports close's own failure, for callers that must know the data left.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tavrik {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }

  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Closes now; 0 on success, else the errno of the failed close. The
  // descriptor is released either way (retrying a failed close is unsafe).
  int close() noexcept {
    const int fd = std::exchange(fd_, -1);
    if (fd < 0 || ::close(fd) == 0) return 0;
    return errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace tavrik
