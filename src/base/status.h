// Status and StatusOr<T>: the result of an operation at an internal edge
// between modules (the table engine's Env, the audit dataset's steps), where
// an error is a value to pass on rather than an exception. The public edges
// keep raising the exceptions they are specified to raise.
//
// A Status is OK or an error with a code (an errno value, an engine error
// number: whatever the edge documents; never 0) and a message.
//
//   Status s = file->WriteAt(0, bytes, n);
//   if (!s.ok()) return WriteFailure(s.code());
//
//   StatusOr<std::unique_ptr<DbeFile>> file = env->OpenFile(path, true);
//   if (!file.ok()) return file.status();
//   Use(**file);
#ifndef TALLYVOX_BASE_STATUS_H_
#define TALLYVOX_BASE_STATUS_H_

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace tallyvox {

class [[nodiscard]] Status {
 public:
  // OK.
  Status() = default;
  static Status OK() { return Status(); }
  // An error. REQUIRES: code != 0.
  static Status Error(int code, std::string message = {}) {
    assert(code != 0);
    return Status(code, std::move(message));
  }

  bool ok() const { return code_ == 0; }
  // 0 when OK.
  int code() const { return code_; }
  const std::string& message() const { return message_; }
  // "OK", or "error CODE: MESSAGE" (for logs and test failures).
  std::string ToString() const {
    if (ok()) return "OK";
    std::string text = "error " + std::to_string(code_);
    if (!message_.empty()) text += ": " + message_;
    return text;
  }

  friend bool operator==(const Status& a, const Status& b) {
    return a.code_ == b.code_ && a.message_ == b.message_;
  }

 private:
  Status(int code, std::string message) : code_(code), message_(std::move(message)) {}

  int code_ = 0;
  std::string message_;
};

// A value of T, or the error that prevented it.
// Invariant: holds a value exactly when status().ok().
template <typename T>
class [[nodiscard]] StatusOr {
 public:
  // REQUIRES: !status.ok() (an OK status carries no value).
  StatusOr(Status status) : status_(std::move(status)) {  // NOLINT: implicit by design
    assert(!status_.ok());
    if (status_.ok()) status_ = Status::Error(-1, "OK status without a value");
  }
  StatusOr(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }

  // REQUIRES: ok().
  T& value() & {
    assert(ok());
    return *value_;
  }
  const T& value() const& {
    assert(ok());
    return *value_;
  }
  T&& value() && {
    assert(ok());
    return std::move(*value_);
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_STATUS_H_
