#include "storage/snapshot/os_error.h"

#include <cstring>

namespace tavrik {
namespace {

// strerror_r comes in two flavours; these pick the description from either.
[[maybe_unused]] const char* description_of(const char* gnu_result, const char*) {
  return gnu_result;
}
[[maybe_unused]] const char* description_of(int xsi_result, const char* buffer) {
  return xsi_result == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_detail(int error_number) {
  char buffer[256] = {};
  const char* description =
      description_of(strerror_r(error_number, buffer, sizeof buffer), buffer);
  return std::string(description) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace tavrik
