// The process-wide logger. A message goes, by level and switches, to the
// daily log file of the control panel, to the system log and to the console.
// A logging call never throws.
#pragma once

#include <cstdint>
#include <string>

#include "support/errors.h"
#include "support/format.h"

enum LogLevel : int { Info = 0, Warning = 1, Result = 2, Error = 3, Unexpected = 4, Crash = 5 };

// "Info", "Warning", ... ; "Unknown level" for any other value.
const char* logLevelWord(int level);

class LogManager {
 public:
  static LogManager& instance();

  template <class... Args>
  void log(LogLevel level, const char* format, const Args&... args) noexcept {
    std::string textToLog;
    try {
      textToLog = formatString(format, args...);
    } catch (...) {
      return;  // a failed format loses the message, nothing more
    }
    dispatch(level, textToLog);
  }
  // The full text of the exception (message and places), without a format step.
  void logException(LogLevel level, const vexception& e) noexcept;
  // Writes an already formatted text to the outputs of its level.
  void dispatch(LogLevel level, const std::string& message) noexcept;

  // The event-source (system log) name: the running program's file name.
  const std::string& eventSourceName();

 private:
  LogManager();
  struct Impl;
  Impl* impl_;
};

// Records one start or end of an external program in the "util_exec" channel
// (disabled unless the registry value log_util_exec_enabled is set).
void writeToUtilExecLog(bool start, const std::string& utility, const std::string& arguments,
                        uint64_t elapsedMilliseconds) noexcept;

// The registry key of the logging switches and the other program values.
inline constexpr const char* kConfigKey = "SOFTWARE\\Tarvo\\ZUL Config\\Config";
