// The primitives of the snapshot byte encoding.
//
//   unsigned 64-bit   LEB128 varint: 7 value bits per byte, low group first,
//                     0x80 on every byte but the last; 1 to 10 bytes. The
//                     writer emits the shortest form; the reader accepts
//                     longer ones, but the tenth byte must be 0x00 or 0x01.
//   signed 64-bit     zigzag ((n << 1) ^ (n >> 63)), then varint.
//   f32 / f64         IEEE bits, little-endian, NaN payloads and -0.0 kept.
//   string            varint byte length, then strict UTF-8 (no overlongs,
//                     no surrogates, nothing above U+10FFFF).
//   option marker     one byte, 0x00 absent or 0x01 present.
//   discriminant      32-bit varint of at most 5 bytes (fifth byte <= 0x0F).
//
// The reader stops at its first error and keeps it, with the offset of the
// first byte of the value it could not read; every later read fails with
// that same error. Errors are reported by one of five fixed messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/snapshot/file_bytes.h"

namespace tavrik {

enum class WireError {
  None,
  EndOfBuffer,
  VarintOverflow,
  InvalidUtf8,
  BadOptionMarker,
  BadDiscriminant,
};

// The fixed message of an error ("" for None).
std::string_view wire_error_message(WireError error);

// True when `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Appends encoded values to a byte buffer. `capacity` only sizes the buffer
// up front (a WireSizer run over the same puts gives the exact figure).
class WireWriter {
 public:
  explicit WireWriter(std::size_t capacity = 0);
  // The write position points into the buffer: copies would share it.
  WireWriter(const WireWriter&) = delete;
  WireWriter& operator=(const WireWriter&) = delete;

  void put_byte(std::uint8_t byte) {
    room_for(1);
    *end_++ = byte;
  }
  void put_varint(std::uint64_t value) {
    room_for(kMaxVarintBytes);
    end_ = varint_at(end_, value);
  }
  // The values in a row, as one put_varint each would write them.
  void put_varint_run(std::span<const std::uint64_t> values);
  // `count` zero bytes: as many varints 0 (empty lists, say).
  void put_zero_run(std::size_t count);
  void put_zigzag(std::int64_t value);
  void put_f32(float value);
  // The floats in a row, as one put_f32 each would write them.
  void put_f32_run(std::span<const float> values);
  void put_f64(double value);
  void put_string(std::string_view text);
  void put_option_marker(bool present) { put_byte(present ? 1 : 0); }

  // The bytes appended so far.
  std::size_t size() const { return static_cast<std::size_t>(end_ - bytes_.data()); }
  // Exchanges the bytes appended so far for `other`'s, to be appended to.
  void swap(FileBytes& other);

 private:
  static constexpr std::size_t kMaxVarintBytes = 10;

  // Writes `value` as a varint at `out`; returns the end of what it wrote.
  static std::uint8_t* varint_at(std::uint8_t* out, std::uint64_t value) {
    for (; value >= 0x80; value >>= 7) *out++ = static_cast<std::uint8_t>(value | 0x80);
    *out++ = static_cast<std::uint8_t>(value);
    return out;
  }
  // Makes room for `count` more bytes after end_.
  void room_for(std::size_t count) {
    if (static_cast<std::size_t>(limit_ - end_) < count) grow(count);
  }
  void grow(std::size_t count);
  // Makes the whole capacity writable, the first `kept` bytes kept.
  void open_up(std::size_t kept);

  // Always as long as its capacity (the bytes past end_ unset), so that a
  // put checks one bound and writes through end_ without the vector's own
  // bookkeeping.
  FileBytes bytes_;
  std::uint8_t* end_ = nullptr;    // past the last byte appended
  std::uint8_t* limit_ = nullptr;  // past the buffer
};

// Counts the bytes the same puts would give a WireWriter, writing nothing.
class WireSizer {
 public:
  void put_byte(std::uint8_t) { size_ += 1; }
  void put_varint(std::uint64_t value) { size_ += varint_length(value); }
  void put_varint_run(std::span<const std::uint64_t> values) {
    for (const std::uint64_t value : values) put_varint(value);
  }
  void put_zero_run(std::size_t count) { size_ += count; }
  void put_zigzag(std::int64_t value);
  void put_f32(float) { size_ += sizeof(float); }
  void put_f32_run(std::span<const float> values) { size_ += values.size() * sizeof(float); }
  void put_f64(double) { size_ += sizeof(double); }
  void put_string(std::string_view text) { size_ += varint_length(text.size()) + text.size(); }
  void put_option_marker(bool) { size_ += 1; }

  std::size_t size() const { return size_; }

 private:
  static std::size_t varint_length(std::uint64_t value);

  std::size_t size_ = 0;
};

class WireReader {
 public:
  explicit WireReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  // Each returns false, leaving `out` unspecified, once an error is set.
  bool varint(std::uint64_t& out) {
    // Nearly every varint of a snapshot is one or two bytes (counts, ids,
    // lengths): those are read here, inline; the rest in long_varint.
    if (error_ == WireError::None) {
      const std::uint8_t* at = bytes_.data() + position_;
      const std::size_t left = remaining();
      if (left >= 1 && at[0] < 0x80) {
        out = at[0];
        position_ += 1;
        return true;
      }
      if (left >= 2 && at[1] < 0x80) {
        out = (std::uint64_t{at[0]} & 0x7F) | (std::uint64_t{at[1]} << 7);
        position_ += 2;
        return true;
      }
    }
    return long_varint(out);
  }
  bool zigzag(std::int64_t& out);
  bool f32(float& out);
  // `count` floats in a row into out[0..count), as `count` calls of f32
  // would read them; fails the same way when fewer bytes remain.
  bool f32_run(std::size_t count, float* out);
  bool f64(double& out);
  bool string(std::string& out);
  bool option_marker(bool& present);
  // A discriminant above `largest` fails with BadDiscriminant.
  bool discriminant(std::uint32_t largest, std::uint32_t& out);

  // True, consuming them, when the next `count` bytes are all zero (each
  // one the varint 0); false, consuming nothing and setting no error, when
  // they are not, fewer remain, or an error is set.
  bool zero_run(std::size_t count);

  // Bytes not yet read.
  std::size_t remaining() const { return bytes_.size() - position_; }
  WireError error() const { return error_; }
  // Where the value that failed starts (0 while there is no error).
  std::size_t error_offset() const { return error_offset_; }

 private:
  bool long_varint(std::uint64_t& out);
  bool fail(WireError error, std::size_t value_start);
  bool take(std::size_t count, const std::uint8_t*& start, std::size_t value_start);
  // LEB128 into `Word`: at most `max_bytes`, the last of which may not
  // exceed `last_byte_max` (VarintOverflow otherwise).
  template <class Word>
  bool leb128(std::size_t max_bytes, std::uint8_t last_byte_max, Word& out);

  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  WireError error_ = WireError::None;
  std::size_t error_offset_ = 0;
};

}  // namespace tavrik
