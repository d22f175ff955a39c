// The exception family of the program. Every failure travels as a vexception
// (or a class derived from it) carrying a trail of places: each operation that
// lets it pass adds where it was and what it was doing, innermost first.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct Place {
  std::string context;   // what the operation was doing, often with its arguments
  std::string function;  // "Class::method"
  int32_t line = 0;      // the fixed line number of the site
};

class vexception {
 public:
  explicit vexception(std::string message) : message_(std::move(message)) {}
  vexception(std::string message, Place place) : message_(std::move(message)) { places_.push_back(std::move(place)); }
  virtual ~vexception() = default;
  vexception(const vexception&) = default;
  vexception& operator=(const vexception&) = default;

  void addPlace(Place place) { places_.push_back(std::move(place)); }
  const std::string& message() const { return message_; }
  const std::vector<Place>& places() const { return places_; }
  // The message followed by one "\n   at context(function line N)" per place.
  std::string fullMessage() const;

 private:
  std::string message_;
  std::vector<Place> places_;
};

class vosexception : public vexception {
 public:
  vosexception(std::string message, uint32_t errorCode) : vexception(std::move(message)), errorCode_(errorCode) {}
  uint32_t errorCode() const { return errorCode_; }

 private:
  uint32_t errorCode_;
};

#define TARVO_OS_EXCEPTION(Name)                                                        \
  class Name : public vosexception {                                                    \
   public:                                                                              \
    Name(std::string message, uint32_t code) : vosexception(std::move(message), code) {} \
  };
TARVO_OS_EXCEPTION(VFileNotFoundException)
TARVO_OS_EXCEPTION(VPathNotFoundException)
TARVO_OS_EXCEPTION(VAccessDeniedException)
TARVO_OS_EXCEPTION(VOutOfMemoryException)
TARVO_OS_EXCEPTION(VSharingViolationException)
TARVO_OS_EXCEPTION(VEOFException)
TARVO_OS_EXCEPTION(VFileExistsException)
TARVO_OS_EXCEPTION(VInsufficientBufferException)
TARVO_OS_EXCEPTION(VAlreadyExistsException)
TARVO_OS_EXCEPTION(VPipeClosedException)
TARVO_OS_EXCEPTION(VServiceDoesNotExistException)
TARVO_OS_EXCEPTION(VServiceMarkedForDeleteException)
TARVO_OS_EXCEPTION(VServiceAlreadyExistsException)
TARVO_OS_EXCEPTION(VPasswordTooShortException)
#undef TARVO_OS_EXCEPTION

// Bad arguments and formatting failures.
class ArgumentException : public vexception {
 public:
  using vexception::vexception;
};

namespace vserializer {
// A malformed answer of the management service.
class invalidprotocol : public vexception {
 public:
  using vexception::vexception;
};
} // namespace vserializer

// The runtime family: standard runtime errors with 8-bit text, raised by the
// process launcher and the periphery.
namespace RunTime {
#define TARVO_RUNTIME_EXCEPTION(Name)        \
  class Name : public std::runtime_error {   \
   public:                                   \
    using std::runtime_error::runtime_error; \
  };
TARVO_RUNTIME_EXCEPTION(PathNotFoundException)
TARVO_RUNTIME_EXCEPTION(InvalidPathException)
TARVO_RUNTIME_EXCEPTION(AccessDeniedException)
TARVO_RUNTIME_EXCEPTION(SharingViolationException)
TARVO_RUNTIME_EXCEPTION(AlreadyExistsException)
TARVO_RUNTIME_EXCEPTION(DirectoryNotEmptyException)
TARVO_RUNTIME_EXCEPTION(NoneMappedException)
TARVO_RUNTIME_EXCEPTION(InvalidHandleException)
#undef TARVO_RUNTIME_EXCEPTION
} // namespace RunTime

// A processor fault (access violation and the like) inside a guarded operation.
class cwrpexception {
 public:
  explicit cwrpexception(uint32_t code) : code_(code) {}
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

// The system text of the code, then " (Error code N)", then " at " + text
// when a text is given. A code without a system text begins "Unknown error".
std::string formatSystemMessage(uint32_t errorCode, const std::string& text);

// Raises the class the code maps to (2 VFileNotFoundException, ...), with the
// message of formatSystemMessage and the place.
[[noreturn]] void throwOsException(const std::string& text, uint32_t errorCode, const Place& place);
// The same with the code of the current errno (for the path, 3 when a parent
// directory is missing).
[[noreturn]] void throwLastOsException(const std::string& text, const Place& place);

// Code 0: a plain std::runtime_error with the text. Otherwise "%s: (%d) %s"
// with the text, the code and systemErrorText, in the RunTime class of the code.
[[noreturn]] void throwRuntimeError(const std::string& text, uint32_t errorCode);

// The system text of a code; "Unknown error 0x%0lX" (or "IDispatch error #%d")
// when the system has none.
std::string systemErrorText(uint32_t errorCode);
