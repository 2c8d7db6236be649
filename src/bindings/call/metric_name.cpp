#include "bindings/call/metric_name.h"

#include <string>

namespace tavrik::bindings {

std::optional<Metric> parse_metric(std::string_view name) {
  // Every accepted name is ASCII, and no non-ASCII character lower-cases to
  // a text made only of the letters, digit and underscore they use (the one
  // non-ASCII character that lower-cases to an ASCII letter, the Kelvin
  // sign, becomes 'k', which no name contains). So lower-casing ASCII bytes
  // and refusing any other byte matches exactly what full Unicode
  // lower-casing would accept.
  std::string lowered;
  lowered.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return std::nullopt;
    lowered.push_back(static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte));
  }
  if (lowered == "cosine") return Metric::Cosine;
  if (lowered == "dot_product" || lowered == "dot") return Metric::DotProduct;
  if (lowered == "euclidean" || lowered == "l2") return Metric::Euclidean;
  return std::nullopt;
}

}  // namespace tavrik::bindings
