// A hash table from 64-bit ids to values, stored flat.
//
// Open addressing with linear probing over one array of (key, value)
// entries, next to one control byte per slot: 0 for an empty slot, else
// 0x80 plus the low seven bits of the key's hash, so most probes that miss
// are settled without reading the entry. A key's home slot scales the
// hash's high bits to the slot count: a power of two or one and a half
// times one (8, 12, 16, 24, ...) up to 65,536 slots, and from there a power
// of two times 1, 1.25, 1.5 or 1.75. The table holds at most its slot count
// less an eighth of it (rounded down, so 11 of 12) and steps up to the next
// slot count when it would hold more, so a small table grows by a half or a
// third at a time (58% to 88% of its slots in use once grown) and a large
// one by a quarter to a seventh (70% to 88%), where doubling would leave 44%
// to 88%. Each step moves every entry: the finer steps are kept for the
// large tables, where the slots they save are worth most.
//
// Keys are hashed with an IdHasher of the table's own random keys, and
// iteration goes through the slots in order, so the iteration order is
// unspecified and differs between tables and between processes; nothing
// may depend on it. A copy keeps the hash keys of its original.
//
// Entries move when the table grows or an entry is erased: pointers and
// iterators are valid only until the next insertion or erasure.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "core/hashing/seeded_hash.h"
#include "core/memory/mapped_block_allocator.h"

namespace tavrik {

template <class Value>
class FlatIdMap {
 public:
  struct Entry {
    std::uint64_t first = 0;  // the key
    Value second{};
  };
  using key_type = std::uint64_t;
  using mapped_type = Value;
  using value_type = Entry;

  template <bool kConst>
  class Iterator {
   public:
    using Map = std::conditional_t<kConst, const FlatIdMap, FlatIdMap>;
    using value_type = Entry;
    using reference = std::conditional_t<kConst, const Entry&, Entry&>;
    using pointer = std::conditional_t<kConst, const Entry*, Entry*>;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;

    Iterator() = default;
    Iterator(Map* map, std::size_t slot) : map_(map), slot_(slot) { skip_empty(); }
    operator Iterator<true>() const { return {map_, slot_}; }  // NOLINT: as std's do

    reference operator*() const { return map_->entries_[slot_]; }
    pointer operator->() const { return &map_->entries_[slot_]; }
    Iterator& operator++() {
      ++slot_;
      skip_empty();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.slot_ == b.slot_; }

   private:
    void skip_empty() {
      while (slot_ < map_->capacity_ && map_->control_[slot_] == kEmpty) ++slot_;
    }
    Map* map_ = nullptr;
    std::size_t slot_ = 0;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  FlatIdMap() = default;
  FlatIdMap(const FlatIdMap& other) { *this = other; }
  FlatIdMap(FlatIdMap&& other) noexcept { swap(other); }
  FlatIdMap& operator=(const FlatIdMap& other) {
    if (this == &other) return *this;
    FlatIdMap copy;
    copy.hasher_ = other.hasher_;
    copy.allocate(other.capacity_);
    for (std::size_t slot = 0; slot < other.capacity_; ++slot) {
      copy.control_[slot] = other.control_[slot];
      if (other.control_[slot] != kEmpty) copy.entries_[slot] = other.entries_[slot];
    }
    copy.size_ = other.size_;
    swap(copy);
    return *this;
  }
  FlatIdMap& operator=(FlatIdMap&& other) noexcept {
    FlatIdMap taken(std::move(other));
    swap(taken);
    return *this;
  }
  void swap(FlatIdMap& other) noexcept {
    std::swap(hasher_, other.hasher_);
    std::swap(entries_, other.entries_);
    std::swap(control_, other.control_);
    std::swap(capacity_, other.capacity_);
    std::swap(size_, other.size_);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  iterator begin() { return {this, 0}; }
  iterator end() { return {this, capacity_}; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, capacity_}; }

  // The entry's value, or nullptr when the key is absent.
  const Value* lookup(std::uint64_t key) const {
    const std::size_t slot = find_slot(key);
    return slot == capacity_ ? nullptr : &entries_[slot].second;
  }
  Value* lookup(std::uint64_t key) {
    const std::size_t slot = find_slot(key);
    return slot == capacity_ ? nullptr : &entries_[slot].second;
  }

  // A hint only: starts fetching the entry that a lookup of `key` would
  // read, or, for an absent key, the slot that storing it would fill unless
  // the table grows first, so that the lookup or the store, made a little
  // later, waits less. The control bytes (a small array, usually cached)
  // are probed now to find the slot, which often lies past the key's home
  // slot; both ends of the entry are requested, as it may straddle two
  // cache lines.
  void prefetch(std::uint64_t key) const {
    if (capacity_ == 0) return;
    const std::size_t hash = hasher_(key);
    const std::uint8_t tag = tag_of(hash);
    std::size_t slot = home_of(hash);
    while (control_[slot] != tag && control_[slot] != kEmpty) slot = next_slot(slot);
    const auto* entry = reinterpret_cast<const char*>(&entries_[slot]);
    __builtin_prefetch(entry);
    __builtin_prefetch(entry + sizeof(Entry) - 1);
  }
  iterator find(std::uint64_t key) { return {this, find_slot(key)}; }
  const_iterator find(std::uint64_t key) const { return {this, find_slot(key)}; }

  // Stores `value` under `key`, replacing the value already there; true
  // when the key is new.
  std::pair<iterator, bool> insert_or_assign(std::uint64_t key, Value value) {
    auto [slot, fresh] = claim(key);
    entries_[slot].second = std::move(value);
    return {iterator(this, slot), fresh};
  }

  // Stores `value` under `key` unless the key is present; true when stored.
  std::pair<iterator, bool> emplace(std::uint64_t key, Value value) {
    auto [slot, fresh] = claim(key);
    if (fresh) entries_[slot].second = std::move(value);
    return {iterator(this, slot), fresh};
  }

  // Removes the key; the number of entries removed (0 or 1).
  std::size_t erase(std::uint64_t key) {
    std::size_t hole = find_slot(key);
    if (hole == capacity_) return 0;
    // Backward shift: pull later entries of the probe run into the hole
    // whenever their home slot does not lie between the hole and them.
    for (std::size_t next = next_slot(hole); control_[next] != kEmpty; next = next_slot(next)) {
      const std::size_t home = home_of(hasher_(entries_[next].first));
      const std::size_t distance_next = steps_between(home, next);
      const std::size_t distance_hole = steps_between(hole, next);
      if (distance_next >= distance_hole) {
        entries_[hole] = std::move(entries_[next]);
        control_[hole] = control_[next];
        hole = next;
      }
    }
    entries_[hole] = Entry{};
    control_[hole] = kEmpty;
    --size_;
    return 1;
  }

  // Makes room for `count` entries without growing.
  void reserve(std::size_t count) {
    std::size_t wanted = kMinCapacity;
    while (wanted - wanted / 8 < count) wanted = next_capacity(wanted);
    if (wanted > capacity_) rehash(wanted);
  }

 private:
  static constexpr std::uint8_t kEmpty = 0;
  static constexpr std::size_t kMinCapacity = 8;

  // The slot count after `capacity` (at least 8). Below kFineSteps, 2^k is
  // followed by 1.5 times 2^k and that by 2^(k+1); from there on each step
  // adds a quarter of the power of two at or below the count, through 1.25,
  // 1.5 and 1.75 times 2^k.
  static constexpr std::size_t kFineSteps = std::size_t{1} << 16;
  static std::size_t next_capacity(std::size_t capacity) {
    const std::size_t power = std::bit_floor(capacity);
    return capacity + (capacity < kFineSteps ? power / 2 : power / 4);
  }

  // The low bits tag the key; the high bits place it, so the two don't go
  // together and keys that share a run rarely share a tag.
  static std::uint8_t tag_of(std::size_t hash) {
    return static_cast<std::uint8_t>(0x80u | (static_cast<std::uint64_t>(hash) & 0x7fu));
  }
  // hash * capacity_ / 2^64: the home slot, in [0, capacity_).
  std::size_t home_of(std::size_t hash) const {
    return static_cast<std::size_t>(
        (static_cast<unsigned __int128>(hash) * capacity_) >> 64);
  }
  std::size_t next_slot(std::size_t slot) const {
    return slot + 1 == capacity_ ? 0 : slot + 1;
  }
  // How many steps of the probe run lead from slot `from` to slot `to`.
  std::size_t steps_between(std::size_t from, std::size_t to) const {
    return to >= from ? to - from : to + capacity_ - from;
  }

  // The slot holding `key`, or capacity_ when absent.
  std::size_t find_slot(std::uint64_t key) const {
    if (size_ == 0) return capacity_;
    const std::size_t hash = hasher_(key);
    const std::uint8_t tag = tag_of(hash);
    for (std::size_t slot = home_of(hash);; slot = next_slot(slot)) {
      const std::uint8_t control = control_[slot];
      if (control == kEmpty) return capacity_;
      if (control == tag && entries_[slot].first == key) return slot;
    }
  }

  // The slot of `key`, claimed for it (with a default value) when absent.
  std::pair<std::size_t, bool> claim(std::uint64_t key) {
    if (const std::size_t found = find_slot(key); found != capacity_) return {found, false};
    if (size_ + 1 > capacity_ - capacity_ / 8) {
      rehash(capacity_ == 0 ? kMinCapacity : next_capacity(capacity_));
    }
    const std::size_t slot = place(key);
    ++size_;
    return {slot, true};
  }

  // The first empty slot of `key`'s probe run, marked as used by it.
  std::size_t place(std::uint64_t key) {
    const std::size_t hash = hasher_(key);
    std::size_t slot = home_of(hash);
    while (control_[slot] != kEmpty) slot = next_slot(slot);
    control_[slot] = tag_of(hash);
    entries_[slot].first = key;
    return slot;
  }

  void allocate(std::size_t capacity) {
    entries_ = Entries(capacity);
    control_ = capacity ? std::make_unique<std::uint8_t[]>(capacity) : nullptr;  // all empty
    capacity_ = capacity;
  }

  void rehash(std::size_t capacity) {
    Entries old_entries = std::move(entries_);
    std::unique_ptr<std::uint8_t[]> old_control = std::move(control_);
    const std::size_t old_capacity = capacity_;
    allocate(capacity);
    for (std::size_t slot = 0; slot < old_capacity; ++slot) {
      if (old_control[slot] == kEmpty) continue;
      const std::size_t at = place(old_entries[slot].first);
      entries_[at].second = std::move(old_entries[slot].second);
    }
  }

  IdHasher hasher_;
  // A table grows as it fills: the slots it leaves go back to the system
  // (see mapped_block_allocator.h), and a large store's table, read at
  // random, sits on huge pages.
  using Entries = std::vector<Entry, MappedBlockAllocator<Entry>>;
  Entries entries_;
  std::unique_ptr<std::uint8_t[]> control_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace tavrik
