// Value-or-error-text results for checks whose caller decides what a refusal means.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "math/stop.hpp"

namespace ludovec::math {

template <class T>
class [[nodiscard]] Result {
 public:
  static Result ok(T value) { return Result(std::in_place_index<0>, std::move(value)); }
  static Result error(std::string text) { return Result(std::in_place_index<1>, std::move(text)); }

  bool has_value() const noexcept { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const std::string& error() const { return std::get<1>(state_); }

  // The value, or a stop with `message: "<error text>"`.
  T expect(std::string_view message) && {
    if (!has_value()) stop(std::string(message) + ": \"" + error() + "\"");
    return std::get<0>(std::move(state_));
  }

 private:
  template <std::size_t I, class... A>
  explicit Result(std::in_place_index_t<I> i, A&&... a) : state_(i, std::forward<A>(a)...) {}
  std::variant<T, std::string> state_;
};

}  // namespace ludovec::math
