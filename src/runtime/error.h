#pragma once

#include <optional>
#include <string>
#include <utility>

namespace lumewell {

// The program's error domain; errors of this domain carry an integer code and an English
// sentence that doubles as the localized description.
inline constexpr const char* kProgramErrorDomain = "LumewellRecorder";

struct Error {
  std::string domain;
  int code = 0;
  std::string localizedDescription;

  bool operator==(const Error&) const = default;
};

inline Error programError(int code, std::string message) {
  return Error{kProgramErrorDomain, code, std::move(message)};
}

// An error from the operating system: domain "posix", the errno, strerror's text with an
// optional context prefix ("Cannot create /x: Permission denied").
Error posixError(int errnum, const std::string& context = {});

using OptionalError = std::optional<Error>;

// A value or an error, for operations that produce something; never to be dropped.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
  Result(Error error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const T& operator*() const& { return *value_; }
  T& operator*() & { return *value_; }
  const T* operator->() const { return &*value_; }
  T* operator->() { return &*value_; }
  const Error& error() const { return *error_; }

 private:
  std::optional<T> value_;
  std::optional<Error> error_;
};

}  // namespace lumewell
