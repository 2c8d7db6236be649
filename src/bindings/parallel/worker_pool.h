// A pool of worker threads that runs index ranges in parallel.
//
// parallel_for(count, body) calls body(i) exactly once for every i in
// [0, count) and returns when all calls are done:
//   - count 0 returns at once; count 1 runs body(0) on the calling thread.
//   - Otherwise a caller that is not one of this pool's workers queues the
//     whole range for the pool and sleeps until it is finished. A worker
//     (a body that itself calls parallel_for) works on the range directly.
//   - A range is divided by recursive halving: the upper half is offered to
//     idle workers through a shared queue while the splitting thread works on
//     the lower half. When done, the splitter takes the upper half back if
//     nobody took it; otherwise it sleeps until the thief finishes it.
//     Every wait is on a piece that a running thread is already working on,
//     so waits form a tree and cannot deadlock.
//   - Split depth is adaptive: a range starts with a budget of one split per
//     worker, each split halves the budget, and a stolen piece gets its
//     budget topped up to the worker count again. A range of one index is
//     never split; an unsplit range runs in index order on one thread.
// Several threads may call parallel_for on the same pool at once; their
// ranges never mix. Idle workers sleep on a condition variable.
//
// body must not throw: an exception escaping it is an internal fault and
// ends the process (a half-finished split range cannot be unwound safely).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrik {

class WorkerPool {
 public:
  using Body = std::function<void(std::size_t index)>;

  // Starts `workers` threads (at least one).
  explicit WorkerPool(std::size_t workers);
  // Stops and joins the workers. Only valid when no parallel_for is running.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The process-wide pool: created on first use with one worker per
  // available processor, and kept until the process ends. A process forked
  // from one that had a pool gets a pool of its own on its first use (the
  // inherited one has no threads in it); the parent's pool keeps working.
  static WorkerPool& instance();

  std::size_t worker_count() const { return threads_.size(); }

  void parallel_for(std::size_t count, const Body& body);

 private:
  struct Piece;

  bool called_from_worker() const;
  void work_loop();
  void split_and_run(std::size_t begin, std::size_t end, std::size_t budget,
                     const Body& body) noexcept;
  void offer(Piece& piece);
  void join(Piece& piece) noexcept;
  void wait_finished(std::unique_lock<std::mutex>& lock, const Piece& piece);

  std::mutex mutex_;
  std::condition_variable work_available_;
  std::condition_variable piece_finished_;
  std::deque<Piece*> queue_;  // pieces offered and not yet taken
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  std::vector<std::thread::id> worker_ids_;  // fixed once the constructor returns
};

}  // namespace tavrik
