// Taking a native mutex from a thread attached to the interpreter.
//
// The thread holding the mutex may itself need the interpreter (it may be
// running Python code, as class creation does), so a thread must not wait
// for the mutex while holding the interpreter lock (or, on a free-threaded
// host, while attached, which would stall the host's stop-the-world pauses).
// lock_letting_host_run tries the mutex first; only when it is taken does
// the thread let go of the interpreter for the wait, and it is attached
// again before the call returns.
//
// The caller must be attached to the interpreter; it returns with the mutex
// held (released when the returned lock ends) and the Python error
// indicator as it was. It never raises.
#pragma once

#include "bindings/compat/python_compat.h"

#include <mutex>

namespace tavrik::bindings {

std::unique_lock<std::mutex> lock_letting_host_run(std::mutex& mutex);

}  // namespace tavrik::bindings
