// Writes a file piece by piece on a thread of its own, so that the next
// piece is made while the one before it is written.
//
// Pieces are written to the descriptor in the order they are handed over,
// each whole (write_all), from the descriptor's current offset. At most one
// piece waits while another is being written: handing over a third waits
// for the first to be done, so memory stays at three pieces whatever the
// file's length. After the first failure later pieces are dropped unwritten
// and finish() reports that failure.
//
// The thread lives from construction until finish() (or destruction) and
// blocks every signal, so signals keep going to the threads they went to
// before. Where no thread can be started, each piece is written at once, in
// the caller's thread, with the same result.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "storage/snapshot/file_bytes.h"
#include "storage/snapshot/snapshot_status.h"

namespace tavrik {

class BackgroundWriter {
 public:
  explicit BackgroundWriter(int fd);
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
  SnapshotStatus status_ = SnapshotStatus::ok();
  std::thread thread_;
};

}  // namespace tavrik
