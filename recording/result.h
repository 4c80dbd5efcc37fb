// Result<T>: a value or an Error with a message a person can act on; the core's way of reporting failure.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace qmv {

struct Error {
  int code = 0;
  std::string message;
};

template <typename T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// For operations that produce nothing but may fail.
struct Done {};
using Status = Result<Done>;
inline Status okStatus() { return Done{}; }

}  // namespace qmv
