// Guarded operations: every operation that does real work runs inside a guard.
// While it runs, processor faults are translated into cwrpexception and a
// cancellation point is held; whatever leaves it becomes a vexception with one
// more place, by one fixed chain of handlers:
//   std::exception -> new vexception from what() (8-bit text converted)
//   vexception     -> the place is added to the caught exception
//   XmlError       -> new vexception from the XML library's failure
//   cwrpexception  -> "C structured exception: 0x<code in lower-case hex>"
//   anything else  -> "Unexpected error"
#pragma once

#include <cxxabi.h>

#include <optional>
#include <utility>

#include "support/cancelation.h"
#include "support/errors.h"
#include "support/fault_translator.h"
#include "support/logging.h"

// Converts the exception in flight; call only inside a catch block.
vexception convertCurrentException(const Place& place);

// Runs op; a failure is raised again as a plain vexception carrying the place.
template <class Op>
decltype(auto) guardRethrow(const Place& place, Op&& op) {
  FaultTranslatorScope translator;
  ThreadCancelation::CancelationPoint point(ThreadCancelation::Synchronous);
  try {
    return std::forward<Op>(op)();
  } catch (abi::__forced_unwind&) {
    throw;  // a thread that is ending is no failure to convert
  } catch (...) {
    throw convertCurrentException(place);
  }
}

// Runs op; a failure is handed back instead of raised.
template <class Op>
std::optional<vexception> guardCapture(const Place& place, Op&& op) {
  FaultTranslatorScope translator;
  ThreadCancelation::CancelationPoint point(ThreadCancelation::Synchronous);
  try {
    std::forward<Op>(op)();
    return std::nullopt;
  } catch (abi::__forced_unwind&) {
    throw;  // a thread that is ending is no failure to convert
  } catch (...) {
    return convertCurrentException(place);
  }
}

// Runs op; a failure is logged at the level and passed over. True on success.
template <class Op>
bool guardLog(LogLevel level, const Place& place, Op&& op) {
  if (auto failure = guardCapture(place, std::forward<Op>(op))) {
    LogManager::instance().logException(level, *failure);
    return false;
  }
  return true;
}
