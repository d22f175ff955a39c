#include "app/web_statistics_executor.h"

#include <optional>

#include "app/params.h"
#include "awstats/awstats_run.h"
#include "config/settings.h"
#include "config/web_stat_config.h"
#include "platform/text.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"
#include "support/named_mutex.h"
#include "webalizer/log_for_webalizer.h"

namespace {

constexpr const char* kConfigFileName = "web_stat_executor.conf";
constexpr const char* kLogDirectory = "logs/iis";
// A configuration is found in the log directory, its subdirectories and
// theirs.
constexpr int kSearchDepth = 2;
constexpr const char* kRunMutex = "web_statistics_executor_run";

// Appends the files named fileName (letter case ignored) in directory and,
// down to depth more levels, in its subdirectories; a directory's own files
// come before those of its subdirectories.
void findFiles(const std::string& directory, const std::string& fileName, std::vector<std::string>& found,
               int depth) {
  VFileFinder files;
  if (files.first(VFileName::combine(directory, fileName))) {
    do {
      if (!files.isDirectory() && !files.isDots()) found.push_back(VFileName::combine(directory, files.name()));
    } while (files.next());
  }
  if (depth == 0) return;
  VFileFinder subdirectories;
  if (subdirectories.first(VFileName::combine(directory, "*.*"))) {
    do {
      if (subdirectories.isDirectory() && !subdirectories.isDots())
        findFiles(VFileName::combine(directory, subdirectories.name()), fileName, found, depth - 1);
    } while (subdirectories.next());
  }
}

} // namespace

WebStatisticsExecutor::WebStatisticsExecutor() { command_ = "--calculate-all"; }

WebStatisticsExecutor::~WebStatisticsExecutor() = default;

int WebStatisticsExecutor::go(int count, char** arguments) {
  const Params params(count, arguments);
  struct Command {
    const char* name;
    void (*run)(WebStatisticsExecutor& app, const Params& params);
  };
  static const Command commands[] = {
      {"--calculate-all", [](WebStatisticsExecutor& app, const Params&) { app.calculate("", ""); }},
      {"--calculate-domain",
       [](WebStatisticsExecutor& app, const Params& params) {
         params.check({"--webspace-name", "--domain-name"});
         const std::string domain = params.get("--domain-name");
         const std::string webspace = params.get("--webspace-name");
         app.calculate(webspace, domain);
       }},
  };
  std::string possibleCommands;
  for (const Command& command : commands) {
    if (!possibleCommands.empty()) possibleCommands += "\n";
    possibleCommands += std::string("   ") + command.name;
    if (command_ == command.name) {
      command.run(*this, params);
      return 0;
    }
  }
  cmdNotSupported(possibleCommands);
}

void WebStatisticsExecutor::calculate(const std::string& webspaceName, const std::string& domainName) {
  // One run at a time over an installation: two runs would prepare and feed
  // the same log chunks to the engines and count their records twice. A
  // second run waits for the first and then finds only what is left.
  VMutex runLock(kRunMutex);
  if (!runLock.tryLock()) {
    LogManager::instance().log(Info, "Another statistics run holds '%s'; waiting for it to end", kRunMutex);
    runLock.lock();
  }

  const std::vector<std::string> paths = webspaceName.empty() ? getConfigsList() : getConfigsList(webspaceName);

  std::vector<WebStatConfig> awstatsConfigs;
  std::vector<std::string> errors;
  for (const std::string& path : paths) {
    const Place place{formatString("Calculate web statistics by config '%s'", path),
                      "WebStatisticsExecutor::calculate", 82};
    const std::optional<vexception> failure = guardCapture(place, [&] {
      WebStatConfig config;
      if (!loadWebStatConfig(path, config)) {
        LogManager::instance().log(Error, "Invalid config file '%s'. Skipped", path);
        return;
      }
      if (!domainName.empty() && !text::equalsNoCase(domainName, config.domainName)) return;
      if (text::equalsNoCase(config.type, "awstats")) {
        processAWStatsConfig(config);
        awstatsConfigs.push_back(config);
      } else if (text::equalsNoCase(config.type, "webalizer")) {
        LogForWebalizer::processConfig(config);
      }
    });
    if (failure) errors.push_back(failure->fullMessage());
  }

  cleanAWstats(awstatsConfigs);
  if (!errors.empty())
    throw vexception(text::join(errors, "\n"), Place{"", "WebStatisticsExecutor::calculate", 91});
}

std::vector<std::string> WebStatisticsExecutor::getConfigsList() {
  const std::string root = appendBackslash(getVhostsDir());
  std::vector<std::string> found;
  VFileFinder webspaces;
  if (webspaces.first(VFileName::combine(root, "*"))) {
    do {
      if (!webspaces.isDirectory() || webspaces.isDots()) continue;
      const std::string logDirectory = VFileName::combine(VFileName::combine(root, webspaces.name()), kLogDirectory);
      findFiles(logDirectory, kConfigFileName, found, kSearchDepth);
    } while (webspaces.next());
  }
  return found;
}

std::vector<std::string> WebStatisticsExecutor::getConfigsList(const std::string& webspaceName) {
  // The name comes from the command line; it must name a directory of the
  // virtual-hosts root, not a way out of it.
  if (!isPlainDirectoryName(webspaceName))
    throw vexception(refusedNameMessage("webspace name", webspaceName, "on the command line"),
                     Place{"", "WebStatisticsExecutor::getConfigsList", 118});
  const std::string directory = VFileName::combine(getVhostsDir(), webspaceName + "/" + kLogDirectory);
  bool isDirectory = false;
  if (!fileExist(directory, &isDirectory) || !isDirectory)
    throw vexception(formatString("Directory '%s' does not exist", directory),
                     Place{"", "WebStatisticsExecutor::getConfigsList", 121});
  std::vector<std::string> found;
  findFiles(directory, kConfigFileName, found, kSearchDepth);
  return found;
}
