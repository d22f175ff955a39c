#include "support/errors.h"

#include "platform/text.h"
#include "platform/win_error.h"
#include "support/format.h"

std::string vexception::fullMessage() const {
  std::string out = message_;
  for (const Place& p : places_) {
    out += "\n   at ";
    out += p.context;
    out += "(";
    out += text::fromAnsi(p.function);
    out += " line ";
    out += std::to_string(p.line);
    out += ")";
  }
  return out;
}

std::string formatSystemMessage(uint32_t errorCode, const std::string& text) {
  std::string tail = formatString(" (Error code %lu)", static_cast<unsigned long>(errorCode));
  if (!text.empty()) tail += " at " + text;
  auto sys = platform::systemMessage(errorCode);
  if (!sys) return "Unknown error" + tail;
  std::string msg = *sys;
  while (!msg.empty() && (msg.back() == '\r' || msg.back() == '\n')) msg.pop_back();
  return msg + tail;
}

namespace {
template <class E>
[[noreturn]] void raise(E exception, const Place& place) {
  exception.addPlace(place);
  throw exception;
}
} // namespace

void throwOsException(const std::string& text, uint32_t errorCode, const Place& place) {
  std::string message = formatSystemMessage(errorCode, text);
  switch (errorCode) {
    case 2: raise(VFileNotFoundException(message, errorCode), place);
    case 3: raise(VPathNotFoundException(message, errorCode), place);
    case 5: raise(VAccessDeniedException(message, errorCode), place);
    case 14: raise(VOutOfMemoryException(message, errorCode), place);
    case 32: raise(VSharingViolationException(message, errorCode), place);
    case 38: raise(VEOFException(message, errorCode), place);
    case 80: raise(VFileExistsException(message, errorCode), place);
    case 122: raise(VInsufficientBufferException(message, errorCode), place);
    case 183: raise(VAlreadyExistsException(message, errorCode), place);
    case 232: raise(VPipeClosedException(message, errorCode), place);
    case 1060: raise(VServiceDoesNotExistException(message, errorCode), place);
    case 1072: raise(VServiceMarkedForDeleteException(message, errorCode), place);
    case 1073: raise(VServiceAlreadyExistsException(message, errorCode), place);
    case 2245: raise(VPasswordTooShortException(message, errorCode), place);
    default: raise(vosexception(message, errorCode), place);
  }
  __builtin_unreachable();
}

void throwLastOsException(const std::string& text, const Place& place) {
  throwOsException(text, platform::lastWinError(), place);
}

std::string systemErrorText(uint32_t errorCode) {
  std::string msg;
  if (auto sys = platform::systemMessage(errorCode)) {
    msg = *sys;
  } else if (errorCode >= 0x80040200u && errorCode <= 0x8004FFFFu) {
    msg = formatString("IDispatch error #%d", static_cast<int>((errorCode - 512) & 0xFFFF));
  } else {
    msg = formatString("Unknown error 0x%0lX", static_cast<unsigned long>(errorCode));
  }
  if (!msg.empty() && msg.back() == '\n') {
    msg.pop_back();
    if (!msg.empty() && msg.back() == '\r') msg.pop_back();
  }
  return msg;
}

void throwRuntimeError(const std::string& text, uint32_t errorCode) {
  if (errorCode == 0) throw std::runtime_error(formatString(text.c_str()));
  const std::string message = text::toAnsi(
      formatString("%s: (%d) %s", text, static_cast<int>(errorCode), systemErrorText(errorCode)));
  switch (errorCode) {
    case 2:
    case 3: throw RunTime::PathNotFoundException(message);
    case 5: throw RunTime::AccessDeniedException(message);
    case 6: throw RunTime::InvalidHandleException(message);
    case 15:
    case 26:
    case 34:
    case 123:
    case 161:
    case 267: throw RunTime::InvalidPathException(message);
    case 32:
    case 33:
    case 36: throw RunTime::SharingViolationException(message);
    case 80:
    case 183: throw RunTime::AlreadyExistsException(message);
    case 145: throw RunTime::DirectoryNotEmptyException(message);
    case 1332: throw RunTime::NoneMappedException(message);
    default: throw std::runtime_error(message);
  }
}
