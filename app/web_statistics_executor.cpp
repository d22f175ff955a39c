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
#include "support/webspace_owner.h"
#include "support/worker.h"
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

  const std::string vhosts = getVhostsDir();
  const std::vector<std::string> paths = webspaceName.empty() ? getConfigsList() : getConfigsList(webspaceName);

  // Each configuration is processed in a worker process of its own, which
  // works as the owner of its webspace: a customer's files can then give
  // the run no more than the customer has.
  std::vector<std::optional<std::string>> failures(paths.size());
  std::vector<std::string> awstatsDomains(paths.size());  // of the domains AWStats processed
  const auto place = [&](size_t i) {
    return Place{formatString("Calculate web statistics by config '%s'", paths[i]), "WebStatisticsExecutor::calculate",
                 82};
  };
  runInWorkers(
      paths.size(), 1, place,
      [&](size_t i) -> std::string {
        workAsWebspaceOwner(webspaceDirectoryOf(vhosts, paths[i]));
        WebStatConfig config;
        if (!loadWebStatConfig(paths[i], config)) {
          LogManager::instance().log(Error, "Invalid config file '%s'. Skipped", paths[i]);
          return {};
        }
        if (!domainName.empty() && !text::equalsNoCase(domainName, config.domainName)) return {};
        if (text::equalsNoCase(config.type, "awstats")) {
          processAWStatsConfig(config);
          return config.domainName;  // its AWStats configuration stays
        } else if (text::equalsNoCase(config.type, "webalizer")) {
          LogForWebalizer::processConfig(config);
        }
        return {};
      },
      [&](size_t i, WorkerOutcome outcome) {
        failures[i] = std::move(outcome.failure);
        awstatsDomains[i] = std::move(outcome.answer);
      });

  std::vector<WebStatConfig> awstatsConfigs;
  for (const std::string& domain : awstatsDomains) {
    if (domain.empty()) continue;
    WebStatConfig config;
    config.domainName = domain;
    awstatsConfigs.push_back(config);
  }
  std::vector<std::string> errors;
  for (const std::optional<std::string>& failure : failures)
    if (failure) errors.push_back(*failure);

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
