// One query against stored vectors kept in interleaved blocks.
//
// A block holds kBlockLanes vectors of one length n, element by element:
// element i of lane l is block[i * kBlockLanes + l], so one step of a scan
// reads element i of sixteen vectors from one place, without transposing.
// Consecutive blocks follow one another in memory, n * kBlockLanes floats
// each.
//
// Each lane is scored exactly as the scalar kernel scores its vector: its
// own accumulator from -0.0f, terms added in index order 0..n-1, every
// product or squared difference rounded to f32 before it is added. Nothing
// is summed across lanes, so the results have the bits of dot_product and
// euclidean_distance whichever instruction set runs (AVX-512, AVX2 or plain
// code, chosen once at run time).
#pragma once

#include <cstddef>
#include <span>

namespace tavrik {

inline constexpr std::size_t kBlockLanes = 16;

// The order a call reads the blocks in; the scores are the same either way.
// When the blocks are more than a core's cache holds, a scan leaves only its
// last blocks cached, and a scan in the same order reads those last, after
// the others have evicted them. A scan that reads the blocks the other way
// from the one before reads the cached ones first instead.
enum class BlockOrder { Forward, Backward };

// out[b * kBlockLanes + l] = dot_product(query, lane l of block b) for every
// lane of blocks 0..block_count-1; `blocks` holds block_count blocks of
// length query.size(), `out` block_count * kBlockLanes floats.
void dot_product_blocks(std::span<const float> query, const float* blocks,
                        std::size_t block_count, BlockOrder order, float* out);

// The same for euclidean_distance.
void euclidean_distance_blocks(std::span<const float> query, const float* blocks,
                               std::size_t block_count, BlockOrder order, float* out);

}  // namespace tavrik
