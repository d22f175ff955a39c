// Placeholder until the logging support lands: console output only.
#include "support/logging.h"

#include <cstdio>

const char* logLevelWord(int level) {
  static const char* const words[] = {"Info", "Warning", "Result", "Error", "Unexpected", "Crash"};
  return level >= 0 && level <= 5 ? words[level] : "Unknown level";
}

struct LogManager::Impl {
  std::string source = "web_statistics_executor";
  bool printed = false;
};

LogManager::LogManager() : impl_(new Impl) {}

LogManager& LogManager::instance() {
  static LogManager manager;
  return manager;
}

void LogManager::logException(LogLevel level, const vexception& e) noexcept { dispatch(level, e.fullMessage()); }

void LogManager::dispatch(LogLevel level, const std::string& message) noexcept {
  if (level < Result) return;
  if (impl_->printed) std::fputc('\n', stdout);
  impl_->printed = true;
  std::fputs(message.c_str(), stdout);
}

const std::string& LogManager::eventSourceName() { return impl_->source; }

void writeToUtilExecLog(bool, const std::string&, const std::string&, uint64_t) noexcept {}
