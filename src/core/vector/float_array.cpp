#include "core/vector/float_array.h"

#include <algorithm>
#include <limits>

#include "core/fault.h"

namespace tavrik {

void FloatArray::allocate(std::size_t count) {
  block_.reset();
  if (count == 0) return;
  if (count > (std::numeric_limits<std::size_t>::max() - kHeaderBytes) / sizeof(float)) {
    internal_fault("vector too long to allocate");
  }
  block_.reset(
      std::make_unique_for_overwrite<std::byte[]>(kHeaderBytes + count * sizeof(float)).release());
  write_header(block_.get(), float_block::header(count, false));
}

void FloatArray::make(std::span<const float> values) {
  allocate(values.size());
  if (!values.empty()) std::memcpy(floats(), values.data(), values.size() * sizeof(float));
}

bool operator==(const FloatArray& a, const FloatArray& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace tavrik
