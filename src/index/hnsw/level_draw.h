// The random level of a new graph node.
//
// level_for_draw maps one 64-bit generator output x to a level, for the
// index's `m`: u = (x >> 11) * 2^-53; u == 0 gives 15; otherwise, in doubles,
// f = -1 / ln(m), y = ln(u) * f, and the level is y truncated toward zero
// (negative or NaN y counts as 0), capped at 15. With m = 16 a node reaches
// layer k or higher with probability 16^-k.
//
// draw_level takes x from the calling thread's own ChaCha-based generator,
// created on the thread's first draw and seeded from the OS random source.
#pragma once

#include <cstdint>

namespace tavrik {

std::uint64_t level_for_draw(std::uint64_t x, std::uint64_t m);

std::uint64_t draw_level(std::uint64_t m);

}  // namespace tavrik
