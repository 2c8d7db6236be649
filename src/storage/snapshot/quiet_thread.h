// A helper thread that takes no signals: it blocks every signal from its
// start, so signals keep going to the threads they went to before.
#pragma once

#include <functional>
#include <thread>

namespace tavrik {

// Starts `run` on such a thread; where no thread can be started, returns
// one that is not joinable, and `run` is not called.
std::thread start_quiet_thread(std::function<void()> run);

}  // namespace tavrik
