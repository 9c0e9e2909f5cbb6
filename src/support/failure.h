// Failures that travel inside the library as exceptions.
//
// Every failure carries a type name and a message; the provider engine puts
// both into its last-error text ("<prefix><type name>: <message>"), and the
// export guards turn any failure into the result code of their family.
#ifndef CRTELV_SUPPORT_FAILURE_H
#define CRTELV_SUPPORT_FAILURE_H

#include <exception>
#include <string>

namespace crtelv {

// Base of the library's own failures.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char *what() const noexcept override { return message_.c_str(); }
  const std::string &Message() const noexcept { return message_; }
  // The name shown in failure descriptions.
  virtual const char *TypeName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

// A broken internal assumption (an assertion), with the source place.
class EAssertionFailed : public Exception {
 public:
  using Exception::Exception;
  const char *TypeName() const noexcept override { return "EAssertionFailed"; }
};

// An operation that a concrete engine must provide but does not.
class EAbstractError : public Exception {
 public:
  EAbstractError() : Exception("Abstract Error") {}
  const char *TypeName() const noexcept override { return "EAbstractError"; }
};

// Builds the message "Assertion failure (<source>, line <line>)".
std::string AssertionMessage(const char *source, int line);

// The type name of any failure caught as std::exception, for descriptions.
const char *FailureTypeName(const std::exception &failure) noexcept;

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_FAILURE_H
