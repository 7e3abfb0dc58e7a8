// The project-wide failure types: every failure is an exception carrying only its message text.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace ordwin {

class Exception : public std::exception {
public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};

// Raised by the socket layer; the error code, where there is one, is in the socket's LastError.
class ESocketException : public Exception {
public:
  using Exception::Exception;
};

}  // namespace ordwin
