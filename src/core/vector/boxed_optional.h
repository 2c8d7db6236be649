// An optional value kept behind one pointer.
//
// Behaves like std::optional<T> for what points need (presence test,
// access, emplace, assignment from std::optional, deep copy, equality), but
// an absent value costs one null pointer instead of a whole T: most points
// carry no payload, and a payload map is large even when empty.
#pragma once

#include <memory>
#include <optional>
#include <utility>

namespace tavrik {

template <class T>
class BoxedOptional {
 public:
  BoxedOptional() = default;
  BoxedOptional(std::nullopt_t) {}  // NOLINT: converts like std::optional
  BoxedOptional(std::optional<T> value) {  // NOLINT: converts like std::optional
    if (value) box_ = std::make_unique<T>(std::move(*value));
  }
  BoxedOptional(const BoxedOptional& other)
      : box_(other.box_ ? std::make_unique<T>(*other.box_) : nullptr) {}
  BoxedOptional(BoxedOptional&&) noexcept = default;
  BoxedOptional& operator=(const BoxedOptional& other) {
    if (this != &other) box_ = other.box_ ? std::make_unique<T>(*other.box_) : nullptr;
    return *this;
  }
  BoxedOptional& operator=(BoxedOptional&&) noexcept = default;

  bool has_value() const { return box_ != nullptr; }
  explicit operator bool() const { return has_value(); }

  T& operator*() { return *box_; }
  const T& operator*() const { return *box_; }
  T* operator->() { return box_.get(); }
  const T* operator->() const { return box_.get(); }

  // Replaces any value with a new one made from `args`.
  template <class... Args>
  T& emplace(Args&&... args) {
    box_ = std::make_unique<T>(std::forward<Args>(args)...);
    return *box_;
  }
  void reset() { box_.reset(); }

  friend bool operator==(const BoxedOptional& a, const BoxedOptional& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a.has_value() || *a == *b;
  }

 private:
  std::unique_ptr<T> box_;
};

}  // namespace tavrik
