#include "core/distance/ranking.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/distance/order_key.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "core/distance/cpu_features.h"
#define TAVRIK_HAS_RANKING_NETWORK 1
#endif

namespace tavrik {
namespace {

// The first `limit` (at most kInsertionLimit) of the records offered in
// turn, by key: each goes after every kept record whose key is not larger,
// so among equals the earlier one stays first, and falls off once `limit`
// records rank before it or equally. This is the stable sort's prefix.
class TopKeys {
 public:
  explicit TopKeys(std::size_t limit) : limit_(limit) {}

  // False when a record of this key would not be kept: it needs no offer.
  bool wanted(std::uint32_t key) const { return kept_ < limit_ || key < top_[kept_ - 1].key; }
  // Keeps record `index`, which is wanted.
  void offer(std::uint32_t key, std::size_t index) {
    std::size_t at = kept_ == limit_ ? limit_ - 1 : kept_++;
    for (; at > 0 && top_[at - 1].key > key; --at) top_[at] = top_[at - 1];
    top_[at] = {key, index};
  }

  std::size_t size() const { return kept_; }
  // The index of the kept record at rank j.
  std::size_t index(std::size_t j) const { return top_[j].index; }

 private:
  struct Kept {
    std::uint32_t key;
    std::size_t index;
  };
  std::size_t limit_;
  std::size_t kept_ = 0;
  std::array<Kept, kInsertionLimit> top_;
};

void keep_top(std::vector<ScoredPoint>& results, std::size_t limit, bool ascending) {
  TopKeys top(limit);
  for (std::size_t i = 0; i < results.size(); ++i) {
    const float score = results[i].score;
    const std::uint32_t key =
        ascending ? ascending_order_key(score) : descending_order_key(score);
    if (top.wanted(key)) top.offer(key, i);
  }
  std::array<ScoredPoint, kInsertionLimit> chosen;
  for (std::size_t j = 0; j < top.size(); ++j) chosen[j] = results[top.index(j)];
  results.assign(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(top.size()));
}

// The keys of `scores`, in a loop of its own that the compiler runs
// several lanes at a time (no branches).
template <bool kAscending>
void order_keys(std::span<const float> scores, std::uint32_t* keys) {
  for (std::size_t i = 0; i < scores.size(); ++i) {
    keys[i] = kAscending ? ascending_order_key(scores[i]) : descending_order_key(scores[i]);
  }
}

// Keys are made a chunk at a time, so a store of any size needs no
// allocation for them.
constexpr std::size_t kKeyChunk = 512;

// The keys of the chunk of `scores` from `start` into `keys`; returns how
// many (kKeyChunk, fewer at the end). Inlined, so that the AVX-512 caller
// makes them sixteen at a time.
[[gnu::always_inline]] inline std::size_t chunk_keys(std::span<const float> scores, std::size_t start, bool ascending,
                       std::uint32_t* keys) {
  const std::size_t length = std::min(kKeyChunk, scores.size() - start);
  if (ascending) {
    order_keys<true>(scores.subspan(start, length), keys);
  } else {
    order_keys<false>(scores.subspan(start, length), keys);
  }
  return length;
}

#if defined(TAVRIK_HAS_RANKING_NETWORK)

// ---- the sixteen smallest of (key << 32 | slot), on AVX-512 ----
//
// A slot's key and its number packed into one 64-bit value order first by
// key, then by slot: the smallest values are exactly the records TopKeys
// keeps, ties in slot order. Two registers of eight values hold the sixteen
// smallest merged in so far, ascending; eight values at a time are sorted
// by a network of compare-exchanges and merged in, with no branch on any
// one value. Slots left out, and lanes past the end, hold kNoValue.

constexpr std::size_t kNetworkLimit = 16;
constexpr std::uint64_t kNoValue = ~std::uint64_t{0};

// One layer of compare-exchanges: lane i and lane partner[i] swap into
// order, the lanes of `upper` taking the larger value.
struct ExchangeLayer {
  std::int64_t partner[8];
  __mmask8 upper;
};

// Sorts eight values (a depth-6 network of 19 comparators).
constexpr ExchangeLayer kSortEight[] = {
    {{2, 3, 0, 1, 6, 7, 4, 5}, 0xCC}, {{4, 5, 6, 7, 0, 1, 2, 3}, 0xF0},
    {{1, 0, 3, 2, 5, 4, 7, 6}, 0xAA}, {{0, 1, 4, 5, 2, 3, 6, 7}, 0x30},
    {{0, 4, 2, 6, 1, 5, 3, 7}, 0x50}, {{0, 2, 1, 4, 3, 6, 5, 7}, 0x54},
};
// Sorts eight values that rise and then fall (a bitonic sequence).
constexpr ExchangeLayer kSortBitonic[] = {
    {{4, 5, 6, 7, 0, 1, 2, 3}, 0xF0},
    {{2, 3, 0, 1, 6, 7, 4, 5}, 0xCC},
    {{1, 0, 3, 2, 5, 4, 7, 6}, 0xAA},
};
constexpr std::int64_t kReversed[8] = {7, 6, 5, 4, 3, 2, 1, 0};
constexpr std::int64_t kLanes[8] = {0, 1, 2, 3, 4, 5, 6, 7};

// The plain forms of these leave a register undefined, which g++ 12 warns
// about where the caller is not built for AVX-512; the zero-masked forms
// with every lane selected are the same instructions.
constexpr __mmask8 kAll = 0xFF;
__attribute__((target("avx512f"))) inline __m512i min_u64(__m512i a, __m512i b) {
  return _mm512_maskz_min_epu64(kAll, a, b);
}
__attribute__((target("avx512f"))) inline __m512i max_u64(__m512i a, __m512i b) {
  return _mm512_maskz_max_epu64(kAll, a, b);
}
__attribute__((target("avx512f"))) inline __m512i permuted(const std::int64_t (&lanes)[8],
                                                           __m512i values) {
  return _mm512_maskz_permutexvar_epi64(kAll, _mm512_loadu_si512(lanes), values);
}

template <std::size_t kLayers>
__attribute__((target("avx512f"))) inline __m512i sorted(__m512i values,
                                                         const ExchangeLayer (&layers)[kLayers]) {
  for (const ExchangeLayer& layer : layers) {
    const __m512i other = permuted(layer.partner, values);
    values = _mm512_mask_blend_epi64(layer.upper, min_u64(values, other), max_u64(values, other));
  }
  return values;
}

__attribute__((target("avx512f"))) inline __m512i reversed(__m512i values) {
  return permuted(kReversed, values);
}

// Merges eight values into the sixteen smallest, `low` and `high`, kept
// ascending.
__attribute__((target("avx512f"))) inline void merge_group(__m512i group, __m512i& low,
                                                           __m512i& high) {
  // The eight smallest of `high` and the group, then of all sixteen.
  const __m512i upper =
      sorted(min_u64(high, reversed(sorted(group, kSortEight))), kSortBitonic);
  const __m512i flipped = reversed(upper);
  high = sorted(max_u64(low, flipped), kSortBitonic);
  low = sorted(min_u64(low, flipped), kSortBitonic);
}

// Merges values[0..count) in, eight at a time (`values` has room for eight
// more past `count`), and copies the sixteen out to `kept`.
__attribute__((target("avx512f"))) inline void merge_all(std::uint64_t* values, std::size_t count,
                                                         __m512i& low, __m512i& high,
                                                         std::uint64_t* kept) {
  std::fill_n(values + count, 8, kNoValue);
  for (std::size_t i = 0; i < count; i += 8) merge_group(_mm512_loadu_si512(values + i), low, high);
  _mm512_storeu_si512(kept, low);
  _mm512_storeu_si512(kept + 8, high);
}

// Fills `slots` with the slots of the first `limit` (at most kNetworkLimit)
// records TopKeys would keep; returns how many there are. Sixteen keys at a
// time are compared with the last kept key, and the values of those below
// it are set aside; they are merged in once sixteen are waiting, so that
// most keys cost a compare and no branch of their own.
__attribute__((target("avx512f"))) std::size_t top_slots_avx512(
    std::span<const float> scores, std::span<const std::uint8_t> excluded, bool ascending,
    std::size_t limit, std::uint32_t* slots) {
  constexpr std::size_t kGroup = 16;
  std::uint32_t keys[kKeyChunk + kGroup];
  const __m512i none = _mm512_set1_epi64(static_cast<long long>(kNoValue));
  const __m512i lanes = _mm512_loadu_si512(kLanes);
  __m512i low = none;   // the eight smallest values merged in, ascending
  __m512i high = none;  // the next eight
  std::uint64_t kept[kNetworkLimit];
  // Values set aside, with room for one more group and a group's padding.
  std::uint64_t waiting[3 * kGroup];
  std::size_t waiting_count = 0;
  bool full = false;        // `limit` values are kept
  std::uint32_t bound = 0;  // once full: the last kept value's key
  const auto merge_waiting = [&] {
    merge_all(waiting, waiting_count, low, high, kept);
    waiting_count = 0;
    if (kept[limit - 1] != kNoValue) {
      full = true;
      bound = static_cast<std::uint32_t>(kept[limit - 1] >> 32);
    }
  };
  for (std::size_t start = 0; start < scores.size(); start += kKeyChunk) {
    const std::size_t length = chunk_keys(scores, start, ascending, keys);
    std::fill_n(keys + length, kGroup, 0u);  // read by the last group, left out below
    for (std::size_t g = 0; g < length; g += kGroup) {
      const std::size_t n = std::min(kGroup, length - g);
      const __m512i key = _mm512_loadu_si512(keys + g);
      unsigned mask = n == kGroup ? 0xFFFFu : (1u << n) - 1;
      if (full) mask &= _mm512_cmplt_epu32_mask(key, _mm512_set1_epi32(static_cast<int>(bound)));
      if (!excluded.empty()) {
        for (std::size_t j = 0; j < n; ++j) {
          if (excluded[start + g + j] != 0) mask &= ~(1u << j);
        }
      }
      // Key over slot, for each half of the group.
      for (std::size_t half = 0; half < 2; ++half) {
        const __m512i wide = _mm512_maskz_cvtepu32_epi64(
            kAll, half == 0 ? _mm512_maskz_extracti64x4_epi64(0xF, key, 0)
                            : _mm512_maskz_extracti64x4_epi64(0xF, key, 1));
        const __m512i slot = _mm512_add_epi64(
            _mm512_set1_epi64(static_cast<long long>(start + g + 8 * half)), lanes);
        const __m512i value = _mm512_or_si512(_mm512_maskz_slli_epi64(kAll, wide, 32), slot);
        const auto chosen = static_cast<__mmask8>(mask >> (8 * half));
        _mm512_mask_compressstoreu_epi64(waiting + waiting_count, chosen, value);
        waiting_count += static_cast<std::size_t>(__builtin_popcount(chosen));
      }
      if (waiting_count >= kGroup) merge_waiting();
    }
  }
  merge_waiting();
  std::size_t found = 0;
  while (found < limit && kept[found] != kNoValue) {
    slots[found] = static_cast<std::uint32_t>(kept[found]);
    ++found;
  }
  return found;
}

#endif

}  // namespace

bool ranks_top_slots(std::uint64_t limit) { return limit >= 1 && limit <= kInsertionLimit; }

std::vector<ScoredPoint> rank_top_slots(std::span<const float> scores,
                                        std::span<const std::uint64_t> ids,
                                        std::span<const std::uint8_t> excluded, Metric metric,
                                        std::size_t limit) {
#if defined(TAVRIK_HAS_RANKING_NETWORK)
  // Up to sixteen records on AVX-512, where the slot numbers fit below the
  // keys (and leave kNoValue to no slot).
  if (limit <= kNetworkLimit && scores.size() < std::numeric_limits<std::uint32_t>::max() &&
      cpu_has_avx512()) {
    std::uint32_t slots[kNetworkLimit];
    const std::size_t found =
        top_slots_avx512(scores, excluded, ranks_ascending(metric), limit, slots);
    std::vector<ScoredPoint> results(found);
    for (std::size_t j = 0; j < found; ++j) results[j] = {ids[slots[j]], scores[slots[j]]};
    return results;
  }
#endif
  std::uint32_t keys[kKeyChunk];
  TopKeys top(limit);
  const bool ascending = ranks_ascending(metric);
  for (std::size_t start = 0; start < scores.size(); start += kKeyChunk) {
    const std::size_t length = chunk_keys(scores, start, ascending, keys);
    for (std::size_t i = 0; i < length; ++i) {
      const std::size_t slot = start + i;
      if (top.wanted(keys[i]) && (excluded.empty() || excluded[slot] == 0)) {
        top.offer(keys[i], slot);
      }
    }
  }
  std::vector<ScoredPoint> results(top.size());
  for (std::size_t j = 0; j < top.size(); ++j) {
    results[j] = {ids[top.index(j)], scores[top.index(j)]};
  }
  return results;
}

void rank_top_by_metric(std::vector<ScoredPoint>& results, Metric metric, std::uint64_t limit) {
  if (limit == 0) {
    results.clear();
    return;
  }
  if (limit >= results.size() || limit > kInsertionLimit) {
    rank_by_metric(results, metric);
    if (limit < results.size()) results.resize(static_cast<std::size_t>(limit));
    return;
  }
  keep_top(results, static_cast<std::size_t>(limit), ranks_ascending(metric));
}

void rank_by_metric(std::vector<ScoredPoint>& results, Metric metric) {
  if (ranks_ascending(metric)) {
    std::stable_sort(results.begin(), results.end(),
                     [](const ScoredPoint& a, const ScoredPoint& b) {
                       return ascending_order_key(a.score) < ascending_order_key(b.score);
                     });
  } else {
    std::stable_sort(results.begin(), results.end(),
                     [](const ScoredPoint& a, const ScoredPoint& b) {
                       return descending_order_key(a.score) < descending_order_key(b.score);
                     });
  }
}

}  // namespace tavrik
