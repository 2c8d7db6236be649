#include "storage/snapshot/wire_format.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tavrik {
namespace {

constexpr std::size_t kVarint64MaxBytes = 10;
constexpr std::uint8_t kVarint64LastByteMax = 0x01;
constexpr std::size_t kVarint32MaxBytes = 5;
constexpr std::uint8_t kVarint32LastByteMax = 0x0F;
// A writer that has to grow takes at least this much room.
constexpr std::size_t kMinimumCapacity = 256;

// Writes `word` little-endian at `out`; returns the end of what it wrote.
template <class Word>
std::uint8_t* put_little_endian(std::uint8_t* out, Word word) {
  for (std::size_t i = 0; i < sizeof word; ++i) *out++ = static_cast<std::uint8_t>(word >> (8 * i));
  return out;
}

template <class Word>
Word read_little_endian(const std::uint8_t* start) {
  Word word = 0;
  for (std::size_t i = 0; i < sizeof word; ++i) {
    word |= static_cast<Word>(start[i]) << (8 * i);
  }
  return word;
}

// Length of the UTF-8 sequence led by `lead`, or 0 when it cannot lead one.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The allowed range of the second byte narrows after some leads: this is
// what rules out overlong forms, surrogates and code points past U+10FFFF.
bool second_byte_fits(unsigned char lead, unsigned char second) {
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  return second >= low && second <= high;
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

std::uint64_t zigzag_encoded(std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  const auto sign = static_cast<std::uint64_t>(value >> 63);
  return (bits << 1) ^ sign;
}

}  // namespace

std::string_view wire_error_message(WireError error) {
  switch (error) {
    case WireError::None:
      return "";
    case WireError::EndOfBuffer:
      return "Hit the end of buffer, expected more data";
    case WireError::VarintOverflow:
      return "Found a varint that didn't terminate. Is the usize too big for this platform?";
    case WireError::InvalidUtf8:
      return "Tried to parse invalid utf-8";
    case WireError::BadOptionMarker:
      return "Found an Option discriminant that wasn't 0 or 1";
    case WireError::BadDiscriminant:
      return "Serde Deserialization Error";
  }
  return "";
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = sequence_length(lead);
    if (length == 0 || length > bytes.size() - i) return false;
    if (length > 1 && !second_byte_fits(lead, static_cast<unsigned char>(bytes[i + 1]))) {
      return false;
    }
    for (std::size_t k = 2; k < length; ++k) {
      if (!is_continuation(static_cast<unsigned char>(bytes[i + k]))) return false;
    }
    i += length;
  }
  return true;
}

WireWriter::WireWriter(std::size_t capacity) {
  bytes_.reserve(capacity);
  open_up(0);
}

void WireWriter::open_up(std::size_t kept) {
  bytes_.resize(bytes_.capacity());  // within capacity: no allocation, no fill
  end_ = bytes_.data() + kept;
  limit_ = bytes_.data() + bytes_.size();
}

void WireWriter::grow(std::size_t count) {
  const std::size_t kept = size();
  bytes_.resize(kept);
  bytes_.reserve(std::max({bytes_.capacity() * 2, kept + count, kMinimumCapacity}));
  open_up(kept);
}

void WireWriter::swap(FileBytes& other) {
  bytes_.resize(size());
  bytes_.swap(other);
  open_up(bytes_.size());
}

void WireWriter::put_varint_run(std::span<const std::uint64_t> values) {
  room_for(values.size() * kMaxVarintBytes);
  std::uint8_t* out = end_;
  for (const std::uint64_t value : values) out = varint_at(out, value);
  end_ = out;
}

void WireWriter::put_zero_run(std::size_t count) {
  // Mostly a few bytes (a node's empty upper lists): one fixed-length store
  // covers them, the bytes past the run being overwritten later or unused.
  constexpr std::size_t kShortRun = 16;
  room_for(std::max(count, kShortRun));
  std::memset(end_, 0, kShortRun);
  if (count > kShortRun) std::memset(end_ + kShortRun, 0, count - kShortRun);
  end_ += count;
}

void WireWriter::put_zigzag(std::int64_t value) { put_varint(zigzag_encoded(value)); }

void WireWriter::put_f32(float value) {
  room_for(sizeof value);
  end_ = put_little_endian(end_, std::bit_cast<std::uint32_t>(value));
}

void WireWriter::put_f32_run(std::span<const float> values) {
  if constexpr (std::endian::native == std::endian::little) {
    const std::size_t length = values.size() * sizeof(float);
    room_for(length);
    if (length != 0) std::memcpy(end_, values.data(), length);
    end_ += length;
  } else {
    for (const float value : values) put_f32(value);
  }
}

void WireWriter::put_f64(double value) {
  room_for(sizeof value);
  end_ = put_little_endian(end_, std::bit_cast<std::uint64_t>(value));
}

void WireWriter::put_string(std::string_view text) {
  put_varint(text.size());
  room_for(text.size());
  if (!text.empty()) std::memcpy(end_, text.data(), text.size());
  end_ += text.size();
}

void WireSizer::put_zigzag(std::int64_t value) { put_varint(zigzag_encoded(value)); }

std::size_t WireSizer::varint_length(std::uint64_t value) {
  std::size_t length = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++length;
  }
  return length;
}

// `value_start` is where the value being read begins: kept with the error.
bool WireReader::fail(WireError error, std::size_t value_start) {
  if (error_ == WireError::None) {
    error_ = error;
    error_offset_ = value_start;
  }
  return false;
}

bool WireReader::take(std::size_t count, const std::uint8_t*& start, std::size_t value_start) {
  if (error_ != WireError::None) return false;
  if (count > remaining()) return fail(WireError::EndOfBuffer, value_start);
  start = bytes_.data() + position_;
  position_ += count;
  return true;
}

template <class Word>
bool WireReader::leb128(std::size_t max_bytes, std::uint8_t last_byte_max, Word& out) {
  const std::size_t value_start = position_;
  out = 0;
  for (std::size_t i = 0; i < max_bytes; ++i) {
    const std::uint8_t* byte = nullptr;
    if (!take(1, byte, value_start)) return false;
    if (i == max_bytes - 1 && *byte > last_byte_max) {
      return fail(WireError::VarintOverflow, value_start);
    }
    out |= static_cast<Word>(*byte & 0x7F) << (7 * i);
    if ((*byte & 0x80) == 0) return true;
  }
  return fail(WireError::VarintOverflow, value_start);  // unreachable: the last byte ends it
}

bool WireReader::long_varint(std::uint64_t& out) {
  // Three bytes hold the ids from 16,384 up to about two million, so most
  // ids of a large store: read without the checks for the end of the input.
  if (error_ == WireError::None && remaining() >= 3) {
    const std::uint8_t* at = bytes_.data() + position_;
    if (at[0] >= 0x80 && at[1] >= 0x80 && at[2] < 0x80) {
      out = (std::uint64_t{at[0]} & 0x7F) | ((std::uint64_t{at[1]} & 0x7F) << 7) |
            (std::uint64_t{at[2]} << 14);
      position_ += 3;
      return true;
    }
  }
  return leb128(kVarint64MaxBytes, kVarint64LastByteMax, out);
}

bool WireReader::zero_run(std::size_t count) {
  if (error_ != WireError::None || count > remaining()) return false;
  const std::uint8_t* start = bytes_.data() + position_;
  // Eight bytes at a time; a shorter tail rereads some of the last eight.
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, start + i, sizeof word);
    any |= word;
  }
  if (i < count && count >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, start + count - 8, sizeof word);
    any |= word;
  } else {
    for (; i < count; ++i) any |= start[i];
  }
  if (any != 0) return false;
  position_ += count;
  return true;
}

bool WireReader::zigzag(std::int64_t& out) {
  std::uint64_t encoded = 0;
  if (!varint(encoded)) return false;
  out = static_cast<std::int64_t>(encoded >> 1) ^ -static_cast<std::int64_t>(encoded & 1);
  return true;
}

bool WireReader::f32(float& out) {
  const std::uint8_t* start = nullptr;
  if (!take(sizeof out, start, position_)) return false;
  out = std::bit_cast<float>(read_little_endian<std::uint32_t>(start));
  return true;
}

bool WireReader::f32_run(std::size_t count, float* out) {
  if (error_ != WireError::None) return false;
  // Read float by float, the input would run out at the first float that
  // is not all there.
  if (count > remaining() / sizeof(float)) {
    return fail(WireError::EndOfBuffer, position_ + remaining() / sizeof(float) * sizeof(float));
  }
  const std::uint8_t* start = nullptr;
  if (!take(count * sizeof(float), start, position_)) return false;
  if constexpr (std::endian::native == std::endian::little) {
    if (count > 0) std::memcpy(out, start, count * sizeof(float));
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = std::bit_cast<float>(read_little_endian<std::uint32_t>(start + i * sizeof(float)));
    }
  }
  return true;
}

bool WireReader::f64(double& out) {
  const std::uint8_t* start = nullptr;
  if (!take(sizeof out, start, position_)) return false;
  out = std::bit_cast<double>(read_little_endian<std::uint64_t>(start));
  return true;
}

// A string's errors are placed at its length, where the string starts.
bool WireReader::string(std::string& out) {
  const std::size_t value_start = position_;
  std::uint64_t length = 0;
  if (!varint(length)) return false;
  if (length > remaining()) return fail(WireError::EndOfBuffer, value_start);
  const std::uint8_t* start = nullptr;
  if (!take(static_cast<std::size_t>(length), start, value_start)) return false;
  const std::string_view text(reinterpret_cast<const char*>(start), length);
  if (!is_valid_utf8(text)) return fail(WireError::InvalidUtf8, value_start);
  out.assign(text);
  return true;
}

bool WireReader::option_marker(bool& present) {
  const std::size_t value_start = position_;
  const std::uint8_t* byte = nullptr;
  if (!take(1, byte, value_start)) return false;
  if (*byte > 1) return fail(WireError::BadOptionMarker, value_start);
  present = *byte == 1;
  return true;
}

bool WireReader::discriminant(std::uint32_t largest, std::uint32_t& out) {
  const std::size_t value_start = position_;
  if (!leb128(kVarint32MaxBytes, kVarint32LastByteMax, out)) return false;
  return out <= largest || fail(WireError::BadDiscriminant, value_start);
}

}  // namespace tavrik
