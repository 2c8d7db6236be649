// Writes a file piece by piece on a thread of its own, so that the next
// piece is made while the one before it is written.
//
// Pieces are written to the descriptor in the order they are handed over,
// each whole (write_all), from the descriptor's current offset. At most one
// piece waits while another is being written: handing over a third waits
// for the first to be done, so memory stays at three pieces whatever the
// file's length. After the first failure later pieces are dropped unwritten
// and finish() reports that failure (a failure whose message finds no
// memory on the thread is reported as out of memory).
//
// The thread lives from construction until finish() (or destruction) and
// blocks every signal, so signals keep going to the threads they went to
// before. A file announced shorter than kThreadFromBytes gets no thread:
// there writing each piece at once, from the cache of the core that made
// it, is mostly faster (a 5 MB snapshot saves in about 1.7 to 2.0 ms
// instead of 2.3 to 2.5, a 16 MB one of 384-dimensional vectors in 5.6 ms
// instead of 6.1; a 16 MB one of 128 dimensions gains a little from the
// thread and a 55 MB one a quarter). The margin is within what a busy
// machine moves: in some batches of runs the thread came out ahead at
// 5 MB by about a tenth. Nor does a file where no thread can be started:
// each piece is then written at once, in the caller's thread, with the
// same result.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "storage/snapshot/file_bytes.h"
#include "storage/snapshot/snapshot_status.h"

namespace tavrik {

class BackgroundWriter {
 public:
  static constexpr std::size_t kThreadFromBytes = std::size_t{16} << 20;

  // Writes to `fd` about `length` bytes, as far as is known.
  BackgroundWriter(int fd, std::size_t length);
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;
  ~BackgroundWriter() { finish(); }

  // Hands `piece` over to be written after every piece before it. `piece`
  // comes back empty, holding a buffer (of some earlier piece) to fill next.
  void write(FileBytes& piece);

  // Waits until every piece handed over is written or dropped and stops the
  // thread: the first failure, else ok. Later calls return the same.
  SnapshotStatus finish();

 private:
  void run();

  const int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  FileBytes waiting_;       // handed over, not yet taken by the thread
  bool has_waiting_ = false;
  FileBytes spare_;         // a written piece's buffer, for reuse
  bool closing_ = false;
  bool short_of_memory_ = false;  // a failure whose message could not be made
  SnapshotStatus status_ = SnapshotStatus::ok();
  std::thread thread_;
};

}  // namespace tavrik
