#pragma once

#include <stdexcept>
#include <string>

namespace kq {

// The library's one error type: the formatted catalogue text (or an I/O failure) and, where the
// platform gave one, its error code as the failing call left it: every raise site reads
// GetLastError/errno into a local before any clean-up can overwrite it. Nothing of it crosses the COM
// boundary.
class EKqError : public std::runtime_error {
 public:
  EKqError(const std::u16string& message, int code = 0);
  const std::u16string& Message() const noexcept { return FMessage; }
  int Code() const noexcept { return FCode; }

 private:
  std::u16string FMessage;
  int FCode;
};

// Raised by the buffer views for an index they cannot reach: callers that walk the valid range never
// see it, and it carries no text for a user.
class ESilentAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "silent abort"; }
};

}  // namespace kq
