// The detail text of an operating-system error: the C library's description
// of the error number, then " (os error N)", e.g.
//   "No such file or directory (os error 2)".
#pragma once

#include <string>

namespace tavrik {

std::string os_error_detail(int error_number);

}  // namespace tavrik
