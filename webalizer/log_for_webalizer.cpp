// The Webalizer run of one domain's log chunks.
//
// Keeping the data: a chunk is deleted only after Webalizer has read it and
// ended with exit code 0. A chunk that is prepared but not yet processed
// carries a "<chunk>.prepared" marker, so a later run hands it to Webalizer
// without cutting its records again.
#include "webalizer/log_for_webalizer.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "config/settings.h"
#include "platform/account.h"
#include "platform/acl.h"
#include "platform/fs.h"
#include "platform/process_identity.h"
#include "platform/text.h"
#include "support/command_line.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/log_gathering.h"
#include "support/logging.h"
#include "support/named_mutex.h"
#include "support/process.h"
#include "support/rejected_logs.h"
#include "support/system_sort.h"
#include "webalizer/address_names.h"
#include "webalizer/log_preparation.h"
#include "webalizer/output_state.h"

namespace {
constexpr const char* kFunction = "LogForWebalizer::processLogFile";
constexpr uint32_t kAlreadyExists = 183;
constexpr uint32_t kFileExists = 80;

const char* const kLeftoverSuffixes[] = {".sort1", ".sort2", ".prepared"};

void removeQuietly(const std::string& path) {
  try {
    removeFile(path, true, false, 0, 0);
  } catch (const vexception& e) {
    LogManager::instance().logException(Warning, e);
  }
}

// A chunk's state after a killed run, from the files beside it:
//  - marker present: the chunk is complete and prepared; the temporary files
//    are dropped (a marker without its chunk is the end of a processed one);
//  - .sort1 present: it holds the unsorted records. What stands at the
//    chunk's path is the unfinished copy of them, which gives way to it, or
//    a newer chunk of the same name, which moves to a free name and is
//    processed next;
//  - .sort2 alone: the sorted records with their keys become the chunk.
void recoverChunk(const std::string& chunk) {
  LogManager& log = LogManager::instance();
  const std::string sort1 = sortInputPath(chunk);
  const std::string sort2 = sortOutputPath(chunk);
  const std::string marker = preparedMarkerPath(chunk);
  const bool hasChunk = fileExist(chunk);
  // What holds the records after the recovery reaches the disk before any
  // other copy goes: the killed run may have left it short of the disk.
  const auto flushHolder = [&](const std::string& holder) {
    flushFileToDisk(holder);
    flushDirectoryToDisk(directoryOf(holder));
  };
  if (fileExist(marker) && hasChunk) {
    if (fileExist(sort1) || fileExist(sort2)) flushHolder(chunk);
    removeQuietly(sort1);
    removeQuietly(sort2);
    return;
  }
  if (fileExist(sort1)) {
    flushHolder(sort1);
    removeQuietly(sort2);
    removeQuietly(marker);
    if (hasChunk) {
      moveNewerLogAside(chunk, sort1, kSortKeyLength, {std::begin(kLeftoverSuffixes), std::end(kLeftoverSuffixes)});
      removeFile(chunk, true, false, 0, 0);
    }
    renameFile(sort1, chunk, 1);
    log.log(Warning, "Log file %s was left by an interrupted run; its records are back in %s", sort1, chunk);
  } else if (fileExist(sort2)) {
    removeQuietly(marker);
    if (hasChunk) {
      log.log(Warning, "Log file %s was left by an interrupted run beside %s; both are kept", sort2, chunk);
      return;
    }
    renameFile(sort2, chunk, 1);
    log.log(Warning, "Log file %s was left by an interrupted run; its records are back in %s", sort2, chunk);
  } else if (fileExist(marker) && !hasChunk) {
    removeQuietly(marker);
  }
}

// Sets the output directory's rights on everything beneath it that the
// running account may change; links are not followed.
void repairPermissions(const std::string& directory, const platform::acl::Permissions& permissions) {
  std::vector<std::string> subdirectories;
  VFileFinder finder;
  for (bool found = finder.first(VFileName::combine(directory, "*.*")); found; found = finder.next()) {
    if (finder.isDots()) continue;
    const std::string path = VFileName::combine(directory, finder.name());
    if (finder.attributes() & file_attribute::ReparsePoint) continue;
    if (!finder.isDirectory()) {
      if (const uint32_t code = platform::acl::applyPermissions(path, permissions))
        throwOsException("Set permissions of " + path, code, Place{"", "repairPermissions", 0});
    } else {
      subdirectories.push_back(path);
    }
  }
  for (const std::string& path : subdirectories) {
    if (!platform::acl::mayChangePermissions(path)) continue;
    if (const uint32_t code = platform::acl::applyPermissions(path, permissions))
      throwOsException("Set permissions of " + path, code, Place{"", "repairPermissions", 0});
    repairPermissions(path, permissions);
  }
}

void removeAWStatsLeftovers(const std::string& output) {
  const std::string base = appendBackslash(output);
  guardLog(Warning, Place{"Unable to delete reparse point", kFunction, 147}, [&] {
    const std::string cgiBin = base + "AWStats/cgi-bin";
    if (fileExist(cgiBin) && (getFileAttributes(cgiBin) & file_attribute::ReparsePoint))
      removeDirReparsePoint(cgiBin);
  });
  guardLog(Warning, Place{"Unable to delete AWStats folder", kFunction, 159}, [&] {
    const std::string lockFile = base + "CopyAWStats.lock";
    if (!fileExist(lockFile)) {
      VFile lock;
      lock.open(lockFile, file_open::GenericWrite, 0, file_open::CreateNew,
                file_open::AttributeNormal | file_open::SequentialScan);
    }
    const std::string folder = base + "AWStats";
    if (fileExist(folder)) removeDir(folder, true, {});
    if (fileExist(lockFile)) removeFile(lockFile, true, false, 0, 0);
  });
}

// Starts Webalizer and waits for it; its output is read before the wait so
// that a talkative run never blocks.
void runWebalizer(const std::string& program, const std::string& arguments, const std::string& chunk) {
  vexecutil child;
  child.application = program;
  child.arguments = arguments;
  child.stdoutToPipe = true;
  child.stderrToStdout = true;
  try {
    child.start();
  } catch (const vosexception& e) {
    throwOsException("CreateProcess " + program + arguments, e.errorCode(), Place{"", kFunction, 128});
  }
  const std::string output = child.readOutput();
  child.waitForExit();
  const uint32_t code = child.exitCode();
  if (!output.empty()) LogManager::instance().log(Info, "Webalizer output: %s", output);
  if (code != 0) {
    const std::string message = formatString(
        "Webalizer ended with exit code %u; the log file %s is kept for the next run. Output: %s", code, chunk, output);
    // Only a chunk Webalizer takes no record of is refused for its records;
    // other failures (its configuration, its files) are no fault of the chunk.
    if (output.find("No valid records") != std::string::npos)
      throw LogRejectedException(message, output, Place{"", kFunction, 134});
    throw vexception(message, Place{"", kFunction, 134});
  }
}
// True when the chunk holds nothing but line ends: Webalizer finds no record
// in it and ends with an error, although nothing is lost by removing it.
bool holdsNoRecord(const std::string& chunk) {
  VFile file;
  file.open(chunk, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, 0);
  char buffer[4096];
  for (size_t got; (got = file.read(buffer, sizeof buffer)) != 0;)
    for (size_t i = 0; i < got; ++i)
      if (buffer[i] != '\r' && buffer[i] != '\n') return false;
  return true;
}
} // namespace

bool isPreparationLeftover(const std::string& path) {
  for (const char* suffix : kLeftoverSuffixes)
    if (text::endsWith(path, suffix)) return true;
  return false;
}

std::string backupFile(const std::string& path) {
  uint32_t code = 0;
  for (int attempt = 0;; ++attempt) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const std::string name =
        path + formatString("%d%d", static_cast<int>(platform::threadId()), static_cast<int32_t>(now));
    code = platform::fs::renameEntry(path, name, false);
    if (code == 0) return name;
    if (attempt >= 15 || (code != kAlreadyExists && code != kFileExists)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
  throwOsException("Can't create backup file: " + path, code, Place{"", "backupFile", 204});
}

namespace LogForWebalizer {

void recoverInterruptedPreparation(const std::string& directory) {
  std::vector<std::string> chunks;
  for (const LogSource& source : findLogSources(directory)) {
    for (const char* suffix : kLeftoverSuffixes) {
      if (!text::endsWith(source.path, suffix)) continue;
      const std::string chunk = source.path.substr(0, source.path.size() - std::string(suffix).size());
      if (chunks.empty() || chunks.back() != chunk) chunks.push_back(chunk);
    }
  }
  for (const std::string& chunk : chunks) recoverChunk(chunk);
}

void processConfig(const WebStatConfig& config, const AddressNames* names) {
  recoverInterruptedGathering(config.configDir);
  recoverInterruptedPreparation(config.configDir);
  std::vector<LogSource> chunks;
  for (const LogSource& source : findLogSources(config.configDir))
    if (!isPreparationLeftover(source.path) && !isGatheringFile(source.path)) chunks.push_back(source);
  // A prepared chunk has lost its sort keys: it is not cut again.
  chunks = gatherLogsOfEachKind(config.configDir, chunks, [](const LogSource& source) {
    return !fileExist(preparedMarkerPath(source.path));
  });
  processLogsInOrder(
      config.configDir, chunks, "Webalizer",
      [&](const LogSource& source) {
        requireRegularLogFile(source);
        processLogFile(source, config, names);
      },
      // A prepared chunk has lost its sort keys: its marker goes with it, so
      // that given back its name it is not cut again.
      [](const std::string& chunk, const std::string& aside) -> std::string {
        if (!fileExist(preparedMarkerPath(chunk))) return {};
        renameFile(preparedMarkerPath(chunk), preparedMarkerPath(aside), 1);
        return formatString(" together with its marker %s (it is prepared)", preparedMarkerPath(aside));
      });
}

void collectAddresses(const WebStatConfig& config, std::vector<std::string>& addresses) {
  std::unordered_set<std::string> seen(addresses.begin(), addresses.end());
  for (const LogSource& source : findLogSources(config.configDir)) {
    if (text::endsWith(source.path, ".prepared") || text::endsWith(source.path, kGatheredSuffix)) continue;
    requireRegularLogFile(source);
    collectClientAddresses(source.path, source.kind, addresses, seen);
  }
}

void processLogFile(const LogSource& source, const WebStatConfig& config, const AddressNames* names) {
  LogManager& log = LogManager::instance();
  log.log(Info, "Execute Webalizer for domain %s (webspace: %s)", config.domainName, config.webspaceName);

  const std::string program = VFileName::canonicalize(getWebalizerPath());
  const std::string root = VFileName::removeFileSpec(VFileName::removeFileSpec(program));
  const std::string webalizerConfig = VFileName::combine(root, "conf/webalizer.conf");
  // Webalizer runs as the webspace's owner: each account has a cache of its
  // own, which no other customer can read or spoil.
  const platform::account::Account* account = platform::account::acting();
  const std::string cacheDirectory = VFileName::combine(
      getProductRootDir(), account ? formatString("tmp/webalizer-dns/%u", account->uid) : std::string("tmp"));
  const std::string cacheFile = VFileName::combine(cacheDirectory, "webalizer.cache");
  const std::string output = VFileName::combine(statisticsDir(config), logKindInfo(source.kind).statSubdir);
  const std::string indexPath = VFileName::combine(output, "index.html");
  // Webalizer writes into both but creates neither.
  makeDir(output);
  requireDirectoryItself(output);
  if (const uint32_t code = platform::account::makeDirectoryForActingAccount(cacheDirectory))
    throwOsException("Create directory " + cacheDirectory, code, Place{"", kFunction, 0});

  recoverInterruptedWebalizerRun(output);
  if (holdsNoRecord(source.path)) {
    log.log(Info, "Log file %s holds no record; removed without running Webalizer", source.path);
    removeFile(source.path, true, false, 0, 0);
    removeQuietly(preparedMarkerPath(source.path));
    return;
  }

  const std::string backupPath = fileExist(indexPath) ? backupFile(indexPath) : std::string();
  try {
    if (fileExist(preparedMarkerPath(source.path))) {
      log.log(Info, "Log file %s is already prepared", source.path);
    } else {
      prepareLogForWebalizer(source);
    }

    saveWebalizerState(output);
    try {
      // The runs that share a cache file (one account's, in workers side by
      // side) take turns: each writes it afresh for its own chunk.
      VMutex cacheTurn(formatString("webalizer_cache_%u", account ? account->uid : 0u));
      cacheTurn.lock();
      struct Release {
        VMutex& mutex;
        ~Release() { mutex.unlock(); }
      } release{cacheTurn};
      // Webalizer only reads the names (-N 0): the lookups were made for
      // the whole night before. Only the chunk's own addresses go into the
      // file, so no customer sees another's visitors.
      bool withCache = false;
      if (names) {
        std::vector<std::string> addresses;
        std::unordered_set<std::string> seen;
        collectClientAddresses(source.path, source.kind, addresses, seen);
        withCache = writeWebalizerCache(cacheFile, addresses, *names, std::time(nullptr));
      }
      // -q, not -Q: Webalizer's own words on a chunk it refuses reach the log.
      const std::string arguments = " -q -c " + quoteCommandArgument(webalizerConfig) + " -n " +
                                    quoteCommandArgument(config.domainName) +
                                    (withCache ? " -D " + quoteCommandArgument(cacheFile) : std::string()) +
                                    " -N 0 -p " + logKindInfo(source.kind).webalizerFormat + " -o " +
                                    quoteCommandArgument(output) + " " + quoteCommandArgument(source.path);
      log.log(Info, "execute %s %s", program, arguments);
      runWebalizer(program, arguments, source.path);
      expectCompleteReports(output, source.path);
    } catch (...) {
      // What a failed run wrote is not trusted: the page and the counts
      // before it come back, and the kept chunk is counted from there.
      if (!backupPath.empty()) removeQuietly(indexPath);
      restoreWebalizerState(output);
      throw;
    }
    dropSavedWebalizerState(output);

    guardRethrow(Place{"Remove Awstats files", kFunction, 161}, [&] { removeAWStatsLeftovers(output); });
    guardLog(Warning, Place{"Unable to delete backup index html", kFunction, 168}, [&] {
      if (!backupPath.empty() && fileExist(backupPath)) platform::fs::removeFile(backupPath);
    });
    guardLog(Warning, Place{"Unable to fix permissions", kFunction, 174}, [&] {
      platform::acl::Permissions permissions;
      if (const uint32_t code = platform::acl::readPermissions(output, permissions))
        throwOsException("Read permissions of " + output, code, Place{"", kFunction, 174});
      repairPermissions(output, permissions);
    });
  } catch (...) {
    if (!backupPath.empty()) platform::fs::renameEntry(backupPath, indexPath, false);
    throw;
  }

  removeFile(source.path, true, false, 0, 0);
  removeQuietly(preparedMarkerPath(source.path));
  log.log(Info, "Webalizer finished");
}

} // namespace LogForWebalizer
