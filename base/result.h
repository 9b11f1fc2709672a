// Failures as values. A Status says whether an operation worked and, when it did not,
// what kind of failure it was and the lines that explain it; a Result<T> holds either a
// value or such a failure. The layers below the front end return these and print
// nothing: whoever ends up with a failure logs its lines once (log_status) and decides
// what it means for the run.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace busfold {

enum class ErrorCode : std::uint8_t {
  kOk = 0,
  kInvalidInput,  // damaged input, or input that breaks a rule of its format
  kUnsupported,   // well-formed input of a kind or with a feature we do not convert
  kIo,            // a read, write, seek or close failed, or a file could not be opened
  kOutOfMemory,
  kLimit,  // a bound that protects the run from hostile input was reached
  kNotFound,
};

class [[nodiscard]] Status {
public:
  Status() = default;  // success
  Status(const Status& other) { *this = other; }
  Status& operator=(const Status& other) {
    if (this != &other)
      failure_ = other.failure_ ? std::make_unique<Failure>(*other.failure_) : nullptr;
    return *this;
  }
  Status(Status&&) noexcept = default;
  Status& operator=(Status&&) noexcept = default;

  static Status success() { return {}; }

  bool ok() const { return failure_ == nullptr; }
  ErrorCode code() const { return failure_ ? failure_->code : ErrorCode::kOk; }

  // The lines that explain the failure, in the order they are logged: the cause
  // first, then what each caller added. Empty for success and for failures that
  // were already explained.
  const std::vector<std::string>& messages() const;

  // Appends a line logged after those already there (ignored on success).
  Status& add_context(std::string line);

  // Printf-style: a failure with one line. An empty format gives a failure without
  // a line, for a failure whose reason needs no words of its own.
  friend Status make_error(ErrorCode code, const char* format, ...)
      __attribute__((format(printf, 2, 3)));

private:
  struct Failure {
    ErrorCode code;
    std::vector<std::string> messages;
  };
  std::unique_ptr<Failure> failure_;
};

Status make_error(ErrorCode code, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A value, or the failure that stood in its way.
template <class T> class [[nodiscard]] Result {
public:
  Result(T value) : value_(std::move(value)) {}           // NOLINT(google-explicit-constructor)
  Result(Status failure) : status_(std::move(failure)) {  // NOLINT(google-explicit-constructor)
    if (status_.ok()) status_ = make_error(ErrorCode::kInvalidInput, "%s", "Missing result");
  }

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  Status take_status() { return std::move(status_); }

  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

private:
  std::optional<T> value_;
  Status status_;
};

// Returns the failure of an expression that gives a Status, from a function that
// returns a Status or a Result.
#define BUSFOLD_TRY(expression)                                                                    \
  do {                                                                                             \
    ::busfold::Status busfold_try_status_ = (expression);                                          \
    if (!busfold_try_status_.ok()) return busfold_try_status_;                                     \
  } while (0)

}  // namespace busfold
