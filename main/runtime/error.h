// Error values and Expected<T>: the one way failures travel between layers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kx {

// The system's error object: a short human-readable domain, an integer code
// (1 for the program's own errors, the HTTP status for service refusals) and a
// user-readable description. What the user sees is the description.
struct Error {
  std::string domain;
  int64_t code = 0;
  std::string description;

  // "domain (code): description", the form registration failures are shown in.
  std::string summary() const;
  bool operator==(const Error&) const = default;
};

inline Error makeError(std::string domain, int64_t code, std::string description = {}) {
  return Error{std::move(domain), code, std::move(description)};
}

// A value or an Error. Modelled on std::expected, which C++20 lacks.
template <typename T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Expected<void> {
 public:
  Expected() = default;
  Expected(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

using Status = Expected<void>;

}  // namespace kx
