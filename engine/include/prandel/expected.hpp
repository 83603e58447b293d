// A value or an error, for failures that travel upward as values.
// (std::expected is C++23; this is the subset the project uses.)
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace prandel {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
    requires std::is_constructible_v<E, G&&>
  Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // Unchecked in release builds, like std::expected's operator*: reading the
  // side that is not held is a bug of the caller.
  T& value() & {
    assert(has_value());
    return *std::get_if<0>(&v_);
  }
  const T& value() const& {
    assert(has_value());
    return *std::get_if<0>(&v_);
  }
  T&& value() && {
    assert(has_value());
    return std::move(*std::get_if<0>(&v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & {
    assert(!has_value());
    return *std::get_if<1>(&v_);
  }
  const E& error() const& {
    assert(!has_value());
    return *std::get_if<1>(&v_);
  }
  E&& error() && {
    assert(!has_value());
    return std::move(*std::get_if<1>(&v_));
  }

 private:
  std::variant<T, E> v_;
};

}  // namespace prandel
