#include "core/vector/payload.h"

#include <cstring>
#include <utility>

namespace tavrik {

bool Float::operator==(const Float& other) const {
  return std::memcmp(&value, &other.value, sizeof value) == 0;
}

PayloadValue text_value(std::string text) {
  if (text.size() <= kKeywordMaxBytes) return Keyword{std::move(text)};
  return Text{std::move(text)};
}

const std::string* text_of(const PayloadValue& value) {
  if (const auto* keyword = std::get_if<Keyword>(&value)) return &keyword->text;
  if (const auto* text = std::get_if<Text>(&value)) return &text->text;
  return nullptr;
}

}  // namespace tavrik
