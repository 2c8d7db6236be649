// Bytes from the operating system's random source.
//
// Used for the keys of every hash table and the seeds of the per-thread level
// generator. Failing to obtain them is an internal fault.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrik {

void fill_os_random(void* buffer, std::size_t length) noexcept;

inline std::uint64_t os_random_u64() noexcept {
  std::uint64_t value = 0;
  fill_os_random(&value, sizeof value);
  return value;
}

}  // namespace tavrik
