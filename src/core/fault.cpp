#include "core/fault.h"

#include <cstdio>
#include <cstdlib>

namespace tavrik {

void internal_fault(std::string_view message) noexcept {
  std::fprintf(stderr, "tavrik: internal fault: %.*s\n",
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace tavrik
