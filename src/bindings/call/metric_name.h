// Metric names as callers write them.
//
// Matched after lower-casing the whole text: "cosine", "dot_product" or
// "dot", "euclidean" or "l2". No trimming and no other normalisation.
#pragma once

#include <optional>
#include <string_view>

#include "core/distance/metric.h"

namespace tavrik::bindings {

std::optional<Metric> parse_metric(std::string_view name);

}  // namespace tavrik::bindings
