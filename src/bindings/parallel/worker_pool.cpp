#include "bindings/parallel/worker_pool.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "bindings/parallel/available_processors.h"
#include "core/fault.h"

namespace tavrik {
namespace {

// Holds a T that is never destroyed. The process-wide pool must outlive
// every caller, including threads still running while static destructors
// run at exit; joining its workers there could hang, and destroying the
// mutex under a sleeping worker would be undefined. So the pool is simply
// left alive: its idle workers sleep on their condition variable until the
// process ends and takes them down. The union's empty destructor is what
// skips T's destructor; the storage is static, so nothing leaks on the heap.
template <class T>
union NeverDestroyed {
  template <class... Args>
  explicit NeverDestroyed(Args&&... args) : value(std::forward<Args>(args)...) {}
  ~NeverDestroyed() {}
  T value;
};

// Owns the process-wide pool. A forked child inherits a copy of the pool
// without its threads, and maybe with its mutex held by a worker that does
// not exist there: the child can neither use that copy nor destroy it. So
// the child forgets it (its memory is the child's copy of the parent's, left
// as it is) and makes a pool of its own when one is first needed. Creating
// a pool and forking exclude each other, so a child never inherits a half
// made one; the parent's pool is not touched by a fork at all.
class ProcessPool {
 public:
  static ProcessPool& get() {
    static NeverDestroyed<ProcessPool> holder;
    return holder.value;
  }

  ProcessPool() {
    if (::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) != 0) {
      internal_fault("cannot register the worker pool's fork handlers");
    }
  }
  ProcessPool(const ProcessPool&) = delete;
  ProcessPool& operator=(const ProcessPool&) = delete;

  WorkerPool& pool() {
    std::lock_guard lock(mutex_);
    if (!pool_) pool_ = std::make_unique<WorkerPool>(available_processors());
    return *pool_;
  }

 private:
  static void before_fork() { get().mutex_.lock(); }
  static void after_fork_in_parent() { get().mutex_.unlock(); }
  static void after_fork_in_child() {
    ProcessPool& self = get();
    [[maybe_unused]] WorkerPool* inherited = self.pool_.release();  // threadless: kept, unused
    self.mutex_.unlock();
  }

  std::mutex mutex_;
  std::unique_ptr<WorkerPool> pool_;
};

void run_in_order(std::size_t begin, std::size_t end, const WorkerPool::Body& body) noexcept {
  try {
    for (std::size_t i = begin; i < end; ++i) body(i);
  } catch (const std::exception& error) {
    internal_fault(std::string("parallel task raised an exception: ") + error.what());
  } catch (...) {
    internal_fault("parallel task raised an exception");
  }
}

}  // namespace

// A contiguous index range offered to the pool. It lives on the stack of the
// thread that offered it, which does not return before the piece is Finished
// (or taken back out of the queue). State changes happen under the mutex.
struct WorkerPool::Piece {
  enum class State { Queued, Running, Finished };

  std::size_t begin;
  std::size_t end;
  std::size_t budget;
  const Body* body;
  State state = State::Queued;
};

WorkerPool::WorkerPool(std::size_t workers) {
  workers = std::max<std::size_t>(workers, 1);
  // Workers block on the mutex until the ids are recorded.
  std::lock_guard lock(mutex_);
  threads_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) {
    threads_.emplace_back([this] { work_loop(); });
    worker_ids_.push_back(threads_.back().get_id());
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_available_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

WorkerPool& WorkerPool::instance() { return ProcessPool::get().pool(); }

void WorkerPool::parallel_for(std::size_t count, const Body& body) {
  if (count == 0) return;
  if (count == 1) return run_in_order(0, 1, body);
  if (called_from_worker()) return split_and_run(0, count, worker_count(), body);
  Piece whole{0, count, worker_count(), &body};
  offer(whole);
  std::unique_lock lock(mutex_);
  wait_finished(lock, whole);
}

bool WorkerPool::called_from_worker() const {
  const std::thread::id self = std::this_thread::get_id();
  return std::find(worker_ids_.begin(), worker_ids_.end(), self) != worker_ids_.end();
}

void WorkerPool::work_loop() {
  std::unique_lock lock(mutex_);
  while (true) {
    work_available_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Piece& piece = *queue_.front();
    queue_.pop_front();
    piece.state = Piece::State::Running;
    lock.unlock();
    // A stolen piece earns a fresh split budget, so busy pools divide finer.
    split_and_run(piece.begin, piece.end, std::max(piece.budget, worker_count()), *piece.body);
    lock.lock();
    piece.state = Piece::State::Finished;
    // Notified under the lock: the owner cannot wake, and drop the piece,
    // before this thread is done touching it.
    piece_finished_.notify_all();
  }
}

void WorkerPool::split_and_run(std::size_t begin, std::size_t end, std::size_t budget,
                               const Body& body) noexcept {
  if (end - begin <= 1 || budget == 0) return run_in_order(begin, end, body);
  const std::size_t middle = begin + (end - begin) / 2;
  Piece upper{middle, end, budget / 2, &body};
  offer(upper);
  split_and_run(begin, middle, budget / 2, body);
  join(upper);
}

void WorkerPool::offer(Piece& piece) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(&piece);
  }
  work_available_.notify_one();
}

void WorkerPool::join(Piece& piece) noexcept {
  std::unique_lock lock(mutex_);
  if (piece.state == Piece::State::Queued) {
    // Nobody took it: the most recent offers sit at the back.
    queue_.erase(std::find(queue_.rbegin(), queue_.rend(), &piece).base() - 1);
    lock.unlock();
    return split_and_run(piece.begin, piece.end, piece.budget, *piece.body);
  }
  wait_finished(lock, piece);
}

void WorkerPool::wait_finished(std::unique_lock<std::mutex>& lock, const Piece& piece) {
  piece_finished_.wait(lock, [&piece] { return piece.state == Piece::State::Finished; });
}

}  // namespace tavrik
