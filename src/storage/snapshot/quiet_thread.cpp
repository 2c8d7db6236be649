#include "storage/snapshot/quiet_thread.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <utility>

namespace tavrik {

std::thread start_quiet_thread(std::function<void()> run) {
  // A thread inherits the signal mask in force when it starts.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  const bool masked = pthread_sigmask(SIG_SETMASK, &all, &before) == 0;
  std::thread thread;
  try {
    thread = std::thread(std::move(run));
  } catch (const std::system_error&) {
    // No thread: the caller does the work itself.
  }
  if (masked) pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return thread;
}

}  // namespace tavrik
