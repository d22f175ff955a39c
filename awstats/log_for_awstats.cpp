// The engine object of one log file and the directories it works in.
#include "awstats/log_for_awstats.h"

#include "support/file_ops.h"

LogForAWStats::LogForAWStats(const LogSource& source, const WebStatConfig& config)
    : source_(source), config_(config) {}

LogForAWStats::LogForAWStats(const LogSource& source, const WebStatConfig& config, std::string statisticsDirectory)
    : source_(source), config_(config), statisticsDirectory_(std::move(statisticsDirectory)) {}

// Asked of the management service once per object.
std::string LogForAWStats::statisticsDirectory() {
  if (!statisticsDirectory_) statisticsDirectory_ = statisticsDir(config_);
  return *statisticsDirectory_;
}

std::string LogForAWStats::outputDirectory(LogKind kind) {
  return VFileName::combine(statisticsDirectory(), logKindInfo(kind).statSubdir);
}
