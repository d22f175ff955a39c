// The process-wide logger. A message goes, by level and switches, to the
// daily log file of the control panel, to the system log and to the console,
// in this order. A logging call never throws.
//
// Log file: <PRODUCT_ROOT_D>/admin/logs/tarvolog_<channel>YYYYMMDD.log, in
// UTF-16LE (FF FE first), one entry per message:
//   2026/12/04 18:30:50.123 4711 4720 Error: <text>CR LF
// Info, Warning and Result reach the file only while the registry value
// "Debug" is non-zero; Error, Unexpected and Crash always do.
#pragma once

#include <cstdint>
#include <string>

#include "support/errors.h"
#include "support/format.h"

enum LogLevel : int { Info = 0, Warning = 1, Result = 2, Error = 3, Unexpected = 4, Crash = 5 };

// "Info", "Warning", ... ; "Unknown level" for any other value.
const char* logLevelWord(int level);

namespace platform {
class SystemLog;
}

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
  // The registered event source, registering it first when none is held;
  // null when the registration failed (the next report tries again).
  platform::SystemLog* getEventLog() noexcept;

 private:
  LogManager();
  void reportEvent(LogLevel level, const std::string& message);
  struct Impl;
  Impl* impl_;
};

// Records one start or end of an external program in the "util_exec" channel
// (disabled unless the registry value log_util_exec_enabled is set).
void writeToUtilExecLog(bool start, const std::string& utility, const std::string& arguments,
                        uint64_t elapsedMilliseconds) noexcept;

// The debugging switch: the registry value "Debug", re-read on the 1st, 17th,
// 33rd ... query and cached in between. Every message queries it once.
bool debuggingEnabled();

// Writes one entry to a log channel: nothing when the channel's switch
// "log_<name>_enabled" (or, when absent, defaultEnabled) is 0. Raises what
// fails; the logger swallows it.
void writeLogChannelEntry(const std::string& channel, uint32_t defaultEnabled, const std::string& entryText);

// The registry key of the logging switches and the other program values.
inline constexpr const char* kConfigKey = "SOFTWARE\\Tarvo\\ZUL Config\\Config";
