// Seeded data shared by the Google Benchmark programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace tavrik::bench {

// A vector of `dims` standard normal floats from `rng`.
inline std::vector<float> gaussian_vector(std::mt19937_64& rng, std::size_t dims) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> out(dims);
  for (float& value : out) value = normal(rng);
  return out;
}

// `count` vectors drawn around `clusters` Gaussian centres (spread 0.3).
inline std::vector<std::vector<float>> clustered_vectors(std::size_t count, std::size_t dims,
                                                         std::size_t clusters,
                                                         std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<float>> centres;
  for (std::size_t c = 0; c < clusters; ++c) centres.push_back(gaussian_vector(rng, dims));
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  std::vector<std::vector<float>> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> v = centres[pick(rng)];
    for (float& value : v) value += noise(rng);
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace tavrik::bench
