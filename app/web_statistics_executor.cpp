#include "app/web_statistics_executor.h"

#include <ctime>
#include <optional>
#include <sstream>
#include <unordered_set>

#include "app/params.h"
#include "awstats/awstats_run.h"
#include "config/registry.h"
#include "config/settings.h"
#include "config/web_stat_config.h"
#include "platform/fs.h"
#include "platform/process_identity.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"
#include "support/named_mutex.h"
#include "support/webspace_owner.h"
#include "support/worker.h"
#include "webalizer/address_names.h"
#include "webalizer/log_for_webalizer.h"

namespace {

namespace winerr = platform::winerr;

constexpr const char* kConfigFileName = "web_stat_executor.conf";
constexpr const char* kLogDirectory = "logs/iis";
// A configuration is found in the log directory, its subdirectories and
// theirs.
constexpr int kSearchDepth = 2;
constexpr const char* kRunMutex = "web_statistics_executor_run";
// How many configurations are processed at once: a dword under the
// program's key; absent or 0, the processors the program may use.
constexpr const char* kJobsValue = "StatisticsJobs";
// What a worker answers for a configuration it processed.
constexpr const char* kAWStatsDone = "awstats:";
constexpr const char* kWebalizerDone = "webalizer";

// Appends the files named fileName (letter case ignored) in directory and,
// down to depth more levels, in its subdirectories; a directory's own files
// come before those of its subdirectories. A link to a directory is not
// followed: the tree below the log directory is the customer's.
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
      if (subdirectories.isDirectory() && !subdirectories.isDots() &&
          !(subdirectories.attributes() & file_attribute::ReparsePoint))
        findFiles(VFileName::combine(directory, subdirectories.name()), fileName, found, depth - 1);
    } while (subdirectories.next());
  }
}

// The log directory of a webspace, when it is a directory one may search:
// raises, naming it, for a file, a link loop or a directory that cannot be
// read. In a webspace that a customer owns, no link on the way is followed.
void requireSearchableDirectory(const std::string& webspace, const std::string& logDirectory) {
  const Place place{formatString("Search for configuration files in '%s'", logDirectory),
                    "WebStatisticsExecutor::getConfigsList", 118};
  platform::fs::EntryStatus owner;
  const bool customers = platform::fs::statEntry(webspace, owner) == 0 && owner.owner != 0;
  std::string path = webspace;
  for (const char* component : {"logs", "iis"}) {
    path = VFileName::combine(path, component);
    platform::fs::EntryStatus status;
    if (const uint32_t code = platform::fs::statEntry(path, status)) throwOsException("Open " + path, code, place);
    if (status.isSymlink && customers)
      throw vexception(formatString("'%s' is a symbolic link in a webspace that belongs to a customer; it is not "
                                    "followed",
                                    path),
                       place);
    if (!status.isDirectory)
      throw vexception(formatString("'%s' is a %s, not a directory", path, status.kind), place);
  }
  platform::fs::DirectoryReader reader;
  if (const uint32_t code = reader.open(logDirectory)) throwOsException("Open " + logDirectory, code, place);
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

  searchFailures_.clear();
  const uint64_t started = platform::tickCount();
  const std::vector<std::string> paths = webspaceName.empty() ? getConfigsList() : getConfigsList(webspaceName);
  const std::string vhosts = getVhostsDir();
  const unsigned jobs = statisticsJobs();
  LogManager::instance().log(Result, "Statistics of %u configurations, %u at a time", paths.size(), jobs);

  // The client addresses of every Webalizer domain are looked up together
  // before the domains' workers start, which inherit the names: each address
  // is asked once per run, and the cache of the addresses without a name is
  // written by this process alone, never by a customer's worker.
  const AddressLookupSettings lookupSettings = addressLookupSettings();
  std::optional<AddressNames> names;
  if (lookupSettings.enabled) names = lookUpAddressNames(webalizerAddresses(paths, vhosts, domainName, jobs),
                                                         noNameFilePath(), lookupSettings, std::time(nullptr));

  // Each configuration is processed in a worker process of its own, which
  // works as the owner of its webspace: a customer's files can then give
  // the run no more than the customer has. Up to jobs of them run at once;
  // one configuration's logs are processed in order by its worker.
  std::vector<std::optional<std::string>> failures(paths.size());
  std::vector<std::string> answers(paths.size());  // kAWStatsDone + domain, kWebalizerDone, or "" (skipped)
  const auto place = [&](size_t i) {
    return Place{formatString("Calculate web statistics by config '%s'", paths[i]), "WebStatisticsExecutor::calculate",
                 82};
  };
  runInWorkers(
      paths.size(), jobs, place,
      [&](size_t i) -> std::string {
        workAsWebspaceOwner(webspaceDirectoryOf(vhosts, paths[i]));
        WebStatConfig config;
        if (!loadWebStatConfig(paths[i], config)) {
          LogManager::instance().log(Error, "Invalid config file '%s'. Skipped", paths[i]);
          return {};
        }
        if (!domainName.empty() && !text::equalsNoCase(domainName, config.domainName)) return {};
        const bool awstats = text::equalsNoCase(config.type, "awstats");
        const bool webalizer = text::equalsNoCase(config.type, "webalizer");
        if (awstats || webalizer) requirePlainNames(config, paths[i]);
        if (awstats) {
          processAWStatsConfig(config, jobs);
          return kAWStatsDone + config.domainName;  // its AWStats configuration stays
        }
        if (webalizer) {
          LogForWebalizer::processConfig(config, names ? &*names : nullptr);
          return kWebalizerDone;
        }
        return {};
      },
      [&](size_t i, WorkerOutcome outcome) {
        failures[i] = std::move(outcome.failure);
        answers[i] = std::move(outcome.answer);
      });

  std::vector<WebStatConfig> awstatsConfigs;
  size_t processed = 0, failed = searchFailures_.size(), skipped = 0;
  std::vector<std::string> errors = searchFailures_;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (failures[i]) {
      errors.push_back(*failures[i]);
      ++failed;
      continue;
    }
    if (answers[i].empty()) {
      ++skipped;
      continue;
    }
    ++processed;
    if (answers[i].rfind(kAWStatsDone, 0) != 0) continue;
    WebStatConfig config;
    config.domainName = answers[i].substr(std::string(kAWStatsDone).size());
    awstatsConfigs.push_back(config);
  }

  cleanAWstats(awstatsConfigs);
  LogManager::instance().log(Result,
                             "Statistics run ended after %.1f seconds: %u configurations processed, %u failed, %u "
                             "skipped; %s",
                             static_cast<double>(platform::tickCount() - started) / 1000.0, processed, failed, skipped,
                             names ? describeLookups(names->counts) : std::string("address lookups off"));
  if (!errors.empty())
    throw vexception(text::join(errors, "\n"), Place{"", "WebStatisticsExecutor::calculate", 91});
}

std::vector<std::string> WebStatisticsExecutor::webalizerAddresses(const std::vector<std::string>& paths,
                                                                  const std::string& vhosts,
                                                                  const std::string& domainName, unsigned jobs) {
  // Read by a worker per webspace, acting as its owner, as the domains' own
  // runs read them. A log that cannot be read here fails its domain later,
  // with the reason; here it only has no addresses.
  std::vector<std::string> webspaces;
  std::vector<std::vector<size_t>> configsOf;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string webspace = webspaceDirectoryOf(vhosts, paths[i]);
    if (webspaces.empty() || webspaces.back() != webspace) {
      webspaces.push_back(webspace);
      configsOf.emplace_back();
    }
    configsOf.back().push_back(i);
  }
  std::vector<std::string> addresses;
  std::unordered_set<std::string> seen;
  runInWorkers(
      webspaces.size(), jobs,
      [&](size_t w) {
        return Place{formatString("Collect the client addresses of the webspace '%s'", webspaces[w]),
                     "WebStatisticsExecutor::webalizerAddresses", 0};
      },
      [&](size_t w) -> std::string {
        workAsWebspaceOwner(webspaces[w]);
        std::vector<std::string> found;
        for (const size_t i : configsOf[w]) {
          WebStatConfig config;
          if (!loadWebStatConfig(paths[i], config) || !text::equalsNoCase(config.type, "webalizer")) continue;
          if (!domainName.empty() && !text::equalsNoCase(domainName, config.domainName)) continue;
          (void)guardCapture(Place{"", "WebStatisticsExecutor::webalizerAddresses", 0}, [&] {
            requirePlainNames(config, paths[i]);
            LogForWebalizer::collectAddresses(config, found);
          });
        }
        return text::join(found, "\n");
      },
      [&](size_t, WorkerOutcome outcome) {
        std::istringstream in(outcome.answer);
        for (std::string address; std::getline(in, address);)
          if (!address.empty() && seen.insert(address).second) addresses.push_back(address);
      });
  return addresses;
}

unsigned WebStatisticsExecutor::statisticsJobs() {
  uint32_t jobs = 0;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, kConfigKey, kJobsValue, jobs, registry::View32) != 0 || jobs == 0)
    jobs = platform::usableProcessorCount();
  return jobs;
}

std::vector<std::string> WebStatisticsExecutor::getConfigsList() {
  const std::string root = appendBackslash(existingVhostsDir());
  std::vector<std::string> configs;
  VFileFinder webspaces;
  if (webspaces.first(VFileName::combine(root, "*"))) {
    do {
      if (!webspaces.isDirectory() || webspaces.isDots()) continue;
      const std::string webspace = VFileName::combine(root, webspaces.name());
      const std::string logDirectory = VFileName::combine(webspace, kLogDirectory);
      // One webspace that cannot be searched fails alone.
      platform::fs::EntryStatus status;
      const uint32_t found = platform::fs::statEntry(logDirectory, status);
      if (found == winerr::FileNotFound || found == winerr::PathNotFound) continue;  // nothing to search
      const auto failure = guardCapture(Place{"", "WebStatisticsExecutor::getConfigsList", 118}, [&] {
        requireSearchableDirectory(webspace, logDirectory);
        findFiles(logDirectory, kConfigFileName, configs, kSearchDepth);
      });
      if (failure) searchFailures_.push_back(failure->fullMessage());
    } while (webspaces.next());
  }
  return configs;
}

std::string WebStatisticsExecutor::existingVhostsDir() {
  const std::string vhosts = getVhostsDir();
  const Place place{"", "WebStatisticsExecutor::getConfigsList", 110};
  if (vhosts.empty())
    throw vexception("The management service gives an empty virtual-hosts directory (HTTPD_VHOSTS_D); set it to the "
                     "directory of the webspaces",
                     place);
  bool isDirectory = false;
  if (!fileExist(vhosts, &isDirectory) || !isDirectory)
    throw vexception(formatString("The virtual-hosts directory '%s' (HTTPD_VHOSTS_D) does not exist or is no "
                                  "directory; no domain can be processed",
                                  vhosts),
                     place);
  return vhosts;
}

std::vector<std::string> WebStatisticsExecutor::getConfigsList(const std::string& webspaceName) {
  // The name comes from the command line; it must name a directory of the
  // virtual-hosts root, not a way out of it.
  if (!isPlainDirectoryName(webspaceName))
    throw vexception(refusedNameMessage("webspace name", webspaceName, "on the command line"),
                     Place{"", "WebStatisticsExecutor::getConfigsList", 118});
  const std::string directory = VFileName::combine(existingVhostsDir(), webspaceName + "/" + kLogDirectory);
  bool isDirectory = false;
  if (!fileExist(directory, &isDirectory) || !isDirectory)
    throw vexception(formatString("Directory '%s' does not exist", directory),
                     Place{"", "WebStatisticsExecutor::getConfigsList", 121});
  std::vector<std::string> found;
  findFiles(directory, kConfigFileName, found, kSearchDepth);
  return found;
}
