// Result<T>: an operation's value or the CoreError that stopped it. Expected failures travel as
// values; only the Python entry turns them into exceptions.
#pragma once

#include <utility>
#include <variant>

#include "errors/core_error.hpp"

namespace core_fips {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(CoreError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  CoreError& error() & { return std::get<1>(v_); }
  CoreError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, CoreError> v_;
};

// Success without a value.
struct Done {};
using Status = Result<Done>;

}  // namespace core_fips
