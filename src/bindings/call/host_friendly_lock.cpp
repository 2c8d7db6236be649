#include "bindings/call/host_friendly_lock.h"

namespace tavrik::bindings {

std::unique_lock<std::mutex> lock_letting_host_run(std::mutex& mutex) {
  if (!mutex.try_lock()) {
    Py_BEGIN_ALLOW_THREADS
    mutex.lock();
    Py_END_ALLOW_THREADS
  }
  return std::unique_lock<std::mutex>(mutex, std::adopt_lock);
}

}  // namespace tavrik::bindings
