// KsException: the common base of every error this library raises, and the
// assertion failure used for internal consistency checks.
//
// Every named error class of the library derives from ks::Exception and
// carries exactly one message text; what() returns that text unchanged.
// Callers that want to catch "any error of this library" catch ks::Exception.
//
// KS_ASSERT(cond, text) throws EAssertionFailed whose message is
// "TEXT (UNIT, line N)", where UNIT is the source file's name without folder
// and extension (for example "KsStompFrame").
//
// Thread safety: exception objects are values; they may be thrown and caught
// on any thread.
#pragma once

#include <exception>
#include <string>

#include "KsExport.hpp"

namespace ks {

// The common base of the library's errors: catch ks::Exception for any of
// them.
class KS_API Exception : public std::exception {
 public:
  // An error whose text is message.
  explicit Exception(std::string message) : message_(std::move(message)) {}
  // The text, unchanged.
  const char* what() const noexcept override { return message_.c_str(); }
  // The text.
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Raised by KS_ASSERT. Distinct from every protocol or messaging error.
class KS_API EAssertionFailed : public Exception {
 public:
  using Exception::Exception;
};

// Raised where an interface query that must succeed does not; the message is
// always "Interface not supported".
class KS_API EIntfCastError : public Exception {
 public:
  EIntfCastError() : Exception("Interface not supported") {}
};

// Formats "%s (%s, line %d)" from text, the unit taken from file, and line,
// and throws EAssertionFailed.
[[noreturn]] KS_API void RaiseAssertion(const char* text, const char* file, int line);

// The unit name of a source path: "stomp/KsStompFrame.cpp" -> "KsStompFrame".
KS_API std::string UnitNameOf(const char* file);

}  // namespace ks

// The library's consistency check (see above).
#define KS_ASSERT(cond, text)                                   \
  do {                                                          \
    if (!(cond)) ::ks::RaiseAssertion((text), __FILE__, __LINE__); \
  } while (0)
