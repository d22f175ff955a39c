// Logs an engine refuses. A refused log is kept and fails its domain, and
// since both engines skip records older than the last one they counted, the
// domain's later logs wait behind it. One refused on RejectedLogNights nights
// (registry, default 3) is set aside under a name no run takes for a log, and
// the later logs go on.
//
// The nights are counted in "log_rejections.txt" in the log directory, one
// line per log: nights, the last night (YYYYMMDD), size, modification time and
// name. A log that is changed (repaired, replaced) starts again from none.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "config/web_stat_config.h"
#include "support/errors.h"

// The engine read the log and refused it; engineWords is what it said.
class LogRejectedException : public vexception {
 public:
  LogRejectedException(std::string message, std::string engineWords, Place place)
      : vexception(std::move(message), std::move(place)), engineWords_(std::move(engineWords)) {}
  const std::string& engineWords() const { return engineWords_; }

 private:
  std::string engineWords_;
};

inline constexpr const char* kRejectionsFileName = "log_rejections.txt";
inline constexpr const char* kSetAsidePrefix = "rejected_";
inline constexpr const char* kRejectedNightsValue = "RejectedLogNights";

// The nights after which a refused log is set aside: RejectedLogNights under
// the program's key, 3 when absent or 0.
unsigned rejectedLogNights();

// The paths of the directory's logs refused on an earlier night and not
// changed since: they are not gathered with others, so that their nights go on
// counting.
std::set<std::string> logsRefusedBefore(const std::string& directory);

// Runs processLog over the logs of one directory in order. The first failure
// ends the domain with its exception, but for a log the engine refused on
// rejectedLogNights() nights: it is renamed to "rejected_<name>" (or the first
// free "rejected_<name>.1", ...), setAside is called with its old and new
// paths (what it gives back is added to the message), and the next log goes
// on. Each log set aside is an Error naming it and the
// engine's words: the last one is raised once every log was tried, the
// others are logged. engine names the engine in the messages.
void processLogsInOrder(const std::string& directory, const std::vector<LogSource>& logs, const char* engine,
                        const std::function<void(const LogSource&)>& processLog,
                        const std::function<std::string(const std::string&, const std::string&)>& setAside = {});
