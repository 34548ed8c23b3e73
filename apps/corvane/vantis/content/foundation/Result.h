// The one way a step of the library says how it went: `Result<T>` holds the
// step's product, or the one message it failed with; `Status` is the same
// for a step that produces nothing. Messages follow the library's rule: a
// sentence the user sees, or a lower-case fragment that a caller embeds in
// its own sentence, never both in one type's contract.
//
//   Result<Manifest> fetched = fetchManifest(...);
//   if (!fetched) return fetched.failure();
//   use(*fetched);
//
// Plain values; any thread. Not an exception: nothing here throws, and a
// failure carries no code, since every caller only shows or passes the text.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace vantis::content {

// What a failed step hands back: its message.
struct Failure {
  std::string message;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value is a success
  Result(Failure failure) : error_(std::move(failure.message)) {}  // NOLINT

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }

  // The message; empty on success.
  const std::string& error() const { return error_; }
  // The failure as it stands, to hand on to a caller of another type.
  Failure failure() const { return Failure{error_}; }

  // The product; only on success.
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  std::optional<T> value_;
  std::string error_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;  // success
  Result(Failure failure) : ok_(false), error_(std::move(failure.message)) {}  // NOLINT

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const std::string& error() const { return error_; }
  Failure failure() const { return Failure{error_}; }

 private:
  bool ok_ = true;
  std::string error_;
};

using Status = Result<void>;

}  // namespace vantis::content
