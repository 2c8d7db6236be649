#include "core/random/os_random.h"

#include <sys/random.h>

#include <cerrno>

#include "core/fault.h"

namespace tavrik {

void fill_os_random(void* buffer, std::size_t length) noexcept {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t got = getrandom(out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      internal_fault("the operating system's random source failed");
    }
    out += got;
    length -= static_cast<std::size_t>(got);
  }
}

}  // namespace tavrik
